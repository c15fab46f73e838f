#include "intake/bundle.h"

#include <archive.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "core/statefile.h"
#include "intake/headerwalk.h"
#include "intake/rollback.h"
#include "intake/scandir.h"
#include "intake/unpack.h"
#include "security/sign.h"

namespace {

using kv::Json;

char gItemValue[501];

const cJSON* ItemString(const cJSON* manifest, const char* key, int index) {
  const cJSON* item = cJSON_GetArrayItem(manifest, index);
  if (item == nullptr) return nullptr;
  const cJSON* value = cJSON_GetObjectItem(item, key);  // keys match without regard to case
  return cJSON_IsString(value) && value->valuestring != nullptr ? value : nullptr;
}

int ArraySize(const cJSON* manifest) { return cJSON_IsArray(manifest) ? cJSON_GetArraySize(manifest) : 0; }

void Run(const std::string& line) { cmd_Run(line.c_str()); }

// The member is about to leave the bundle folder as `file` in the watch
// folder: from here until its road ends the journal names it, so that a
// start after a kill knows where it is.
void RecordMember(const std::string& member, const std::string& file) {
  JournalEntry entry = journal_Current();
  entry.member = member;
  entry.file = file;
  if (kv::Status written = journal_Write(std::move(entry)); !written) {
    log_Print(3, "scandir_Check&PrepInstaller, journal not written: %s\n", written.error().message().c_str());
  }
}

}  // namespace

void bundle_CreateFolder() {
  char line[512];
  std::snprintf(line, sizeof line, "mkdir -p \"%s%s\"", paths_WorkFolder(), "bundle/");
  cmd_Run(line);
}

int bundle_HeaderLengthFromText(const char* data, std::size_t n) {
  if (n > 1000) n = 1000;
  char text[1001];
  std::memcpy(text, data, n);
  text[n] = '\0';
  int length = 0;
  header_WalkLines(text, false, [&length](const char* key, char** rest) {
    if (std::strcmp(key, "HEADERLENGTH") == 0) {
      if (const char* value = header_NextValue(rest)) {
        log_Print(3, "idserver_StartServer, found: HEADERLENGTH=%s\n", value);
        length = static_cast<int>(std::strtol(value, nullptr, 10));
      }
    }
    return true;
  });
  return length;
}

int bundle_GetHeaderLength(const char* folder, const char* name) {
  const std::string path = std::string(folder) + name;
  kv::File f = kv::OpenFile(path.c_str(), "rb");
  if (!f) {
    log_PrintPriority(kPriorityError, 3, "idserver_StartServer, Can't open infile %s\n", path.c_str());
    return 0;
  }
  log_Print(2, "idserver_StartServer, opened infile successfully: %s\n", path.c_str());
  char data[1000];
  const std::size_t n = std::fread(data, 1, sizeof data, f.get());
  return bundle_HeaderLengthFromText(data, n);
}

namespace {

// A payload member is unpacked under its own name only when that name stays
// inside the bundle folder, as a manifest "fileName" must.
bool IsMemberName(const std::string& name) { return bundle_IsPlainFileName(name.c_str()) == 1; }

// Unpacks the payload of the bundle fd (st its fstat), a plain tar from
// offset to the end, into bundleFolder. Nothing is read beyond the bytes the
// file holds: a sparse file is refused before any reading, the tar is read
// without any decompression (a compressed payload is no tar here), and the
// members together may claim no more bytes than the payload holds. Members
// are written into a staging folder and taken out only once the whole
// payload was read and admitted. Returns 1 when unpacked, 0 when refused.
int UnpackPayload(int fd, const struct stat& st, int offset, const char* name, const std::string& bundleFolder) {
  if (!safefile_IsDense(fd, st)) {
    log_PrintPriority(kPriorityError, 1,
                      "bundle_UnPack, %s is sparse: it holds fewer bytes than its size, not unpacked\n", name);
    return 0;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // A HEADERLENGTH beyond the file (or below 0) leaves no payload.
  const std::uint64_t at = offset > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), size) : 0;
  const std::uint64_t payload = offset >= 0 ? size - at : 0;
  if (::lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) return 0;
  kv::Result<std::string> staging = unpack_MakeStaging(bundleFolder);
  if (!staging) return 0;
  auto source = std::make_unique<UnpackSource>();
  source->fd = fd;
  source->left = payload;
  source->readLeft = payload;
  kv::ArchiveReader tar(archive_read_new());
  kv::Result<std::vector<std::string>, UnpackRefusal> members = UnpackRefusal::kDamaged;
  if (tar && archive_read_support_format_tar(tar.get()) == ARCHIVE_OK && unpack_OpenSource(tar.get(), *source)) {
    members = unpack_Members(tar.get(), staging.value(), IsMemberName, UnpackLimits{payload, payload});
  }
  tar.reset();
  int result = 0;
  if (members) {
    // The manifest comes last: while it is missing the bundle counts as not
    // unpacked, so a kill in between leaves a bundle that is unpacked again,
    // never half of one that is worked through.
    std::vector<std::string> names = members.value();
    std::stable_partition(names.begin(), names.end(), [](const std::string& n) { return n != "allinfo.json"; });
    for (const std::string& member : names) (void)unpack_TakeMember(staging.value(), bundleFolder, member);
    result = 1;
  } else {
    switch (members.error()) {
      case UnpackRefusal::kSpecialMember:
        log_PrintPriority(kPriorityError, 1,
                          "bundle_UnPack, the payload of %s holds a device node, a FIFO or a member of another type, "
                          "not unpacked\n",
                          name);
        break;
      case UnpackRefusal::kOverCap:
      case UnpackRefusal::kOverTotal:
        log_PrintPriority(
            kPriorityError, 1,
            "bundle_UnPack, the members of the payload of %s claim more bytes than it holds, not unpacked\n", name);
        break;
      case UnpackRefusal::kCannotWrite:
        log_PrintPriority(kPriorityError, 1,
                          "bundle_UnPack, a member of the payload of %s cannot be written, not unpacked\n", name);
        break;
      case UnpackRefusal::kDamaged:
        log_PrintPriority(
            kPriorityError, 1,
            "bundle_UnPack, the payload of %s is not a plain tar archive (compressed, cut short or of another "
            "format), not unpacked\n",
            name);
        break;
    }
  }
  unpack_RemoveStaging(staging.value());
  return result;
}

}  // namespace

int bundle_UnPack(const char* watchFolder, const char* name, const char* workFolder) {
  if (scandir_TakeFile(watchFolder, name, workFolder, name) == 0) return 0;
  return bundle_UnPackTaken(workFolder, name);
}

int bundle_UnPackTaken(const char* workFolder, const char* name) {
  const std::string work = workFolder;
  ::sync();
  const int offset = bundle_GetHeaderLength(workFolder, name);
  Run("chown root:root \"" + work + name + "\"");
  ::sync();

  const std::string inPath = work + name;
  struct stat st {};
  kv::Result<kv::Fd> in = safefile_OpenRegular(inPath, &st);
  if (!in) {
    log_PrintPriority(kPriorityError, 3, "bundle_UnPack, Can't open infile %s\n", inPath.c_str());
    return 0;
  }
  const int result = UnpackPayload(in.value().get(), st, offset, name, work + "bundle/");
  in.value().reset();
  ::sync();
  Run("rm \"" + inPath + "\"");
  ::sync();
  return result;
}

int bundle_FindItem(const cJSON* manifest, const char* key, const char* value) {
  const int n = ArraySize(manifest);
  for (int i = 0; i < n; ++i) {
    const cJSON* v = ItemString(manifest, key, i);
    if (v != nullptr && std::strcmp(v->valuestring, value) == 0) return i;
  }
  return -1;
}

int bundle_FindItemPair(const cJSON* manifest, const char* key1, const char* value1, const char* key2,
                        const char* value2) {
  const int n = ArraySize(manifest);
  for (int i = 0; i < n; ++i) {
    const cJSON* a = ItemString(manifest, key1, i);
    const cJSON* b = ItemString(manifest, key2, i);
    if (a != nullptr && b != nullptr && std::strcmp(a->valuestring, value1) == 0 &&
        std::strcmp(b->valuestring, value2) == 0) {
      return i;
    }
  }
  return -1;
}

const char* bundle_GetItemString(const cJSON* manifest, const char* key, int index) {
  const cJSON* v = ItemString(manifest, key, index);
  kv::CopyBounded(gItemValue, v != nullptr ? v->valuestring : "", 500);
  return gItemValue;
}

int bundle_ItemContains(const cJSON* manifest, const char* key, const char* text, int index) {
  // Every value contains the empty text: a device that does not know its
  // platform would take the members of every platform.
  if (text == nullptr || text[0] == '\0') return 0;
  const cJSON* v = ItemString(manifest, key, index);
  return v != nullptr && std::strstr(v->valuestring, text) != nullptr ? 1 : 0;
}

void bundle_RemoveItemAndSave(const char* path, cJSON* manifest, int index) {
  cJSON_DeleteItemFromArray(manifest, index);
  if (ArraySize(manifest) == 0) log_Print(1, "scandir - Last item in bundle started, <allinfo.json empty>\n");
  kv::CMemory<char> text(cJSON_Print(manifest));
  // A manifest that cannot be written keeps its old content; the item then
  // comes again in the next pass.
  (void)statefile_Write(path, text ? text.get() : "");
  ::sync();
}

int bundle_Pending() {
  struct stat st {};
  return ::lstat((std::string(paths_BundleFolder()) + "allinfo.json").c_str(), &st) == 0 ? 1 : 0;
}

int bundle_ImageRefusedAsOlder(const char* swRev, const char* running) { return rollback_Refused(swRev, running); }

int bundle_IsInstallerName(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr && (strcasecmp(dot + 1, "CRY") == 0 || strcasecmp(dot + 1, "IPK") == 0) ? 1 : 0;
}

int bundle_IsPlainFileName(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return 0;
  return std::strpbrk(name, "/\"'") == nullptr ? 1 : 0;
}

namespace {

// One pass over the manifest, with the names the steps share.
class ManifestStep {
 public:
  ManifestStep(cJSON* manifest, std::string path)
      : manifest_(manifest),
        path_(std::move(path)),
        work_(paths_WorkFolder()),
        bundle_(work_ + "bundle/"),
        watch_(paths_WatchFolder()) {}

  // The item's file name when it is a plain name whose file exists in the
  // bundle folder; empty otherwise. A name that could reach outside the
  // bundle folder or add arguments to a command line counts as missing. A
  // name holding a byte that no command line may carry could never be moved
  // (and would reach the update log and the in-flight record as it stands,
  // line feeds included): its member is deleted, the name not logged. A
  // member that keeps its name in the watch folder (installer) must be one
  // the scan takes; one that it would leave there for ever is deleted.
  std::string MemberName(int index, bool installer = true) {
    const std::string name = bundle_GetItemString(manifest_, "fileName", index);
    if (bundle_IsPlainFileName(name.c_str()) == 0) {
      log_PrintPriority(kPriorityError, 1,
                        "scandir_Check&PrepInstaller - fileName \"%s\" is not a plain file name, item dropped\n",
                        name.c_str());
      return {};
    }
    if (char refused = 0; cmd_IsAllowedLine(name, &refused) == 0) {
      DeleteMember(name);
      log_PrintPriority(kPriorityError, 1,
                        "scandir_Check&PrepInstaller - fileName of item %d holds %s, which no command line may carry, "
                        "item dropped\n",
                        index, cmd_RefusedByteText(refused).c_str());
      return {};
    }
    if (installer && bundle_IsInstallerName(name.c_str()) == 0) {
      DeleteMember(name);
      log_PrintPriority(kPriorityError, 1,
                        "scandir_Check&PrepInstaller - fileName \"%s\" is neither a container nor a package, "
                        "item dropped\n",
                        name.c_str());
      return {};
    }
    return name;
  }
  bool Exists(const std::string& name) const { return !name.empty() && ::access((bundle_ + name).c_str(), F_OK) == 0; }
  std::string MoveLine(const std::string& name, const std::string& to) const {
    return "mv \"" + bundle_ + name + "\" \"" + to + "\"";
  }
  void Drop(int index) { bundle_RemoveItemAndSave(path_.c_str(), manifest_, index); }
  // True when the member in the bundle folder verifies against its own
  // signature there. A sparse member is not read whole: it claims more bytes
  // than it cost to make.
  bool Signed(const std::string& name) const {
    const std::string signature = sign_SignatureName(name);
    if (signature.empty()) return false;
    struct stat st {};
    kv::Result<kv::Fd> member = safefile_OpenRegular(bundle_ + name, &st);
    if (!member || !safefile_IsDense(member.value().get(), st)) return false;
    return sign_CheckWith(bundle_ + name, bundle_ + signature).ok();
  }
  void DeleteMember(const std::string& name) {
    if (!name.empty()) (void)std::remove((bundle_ + name).c_str());
  }

  cJSON* manifest_;
  std::string path_;
  std::string work_;
  std::string bundle_;
  std::string watch_;
};

int OwnPackage(ManifestStep& m, const char* platform) {
  log_Print(3, "scandir_Check&PrepInstaller1 - checking if 'allinfo.json' says kvupdaterd\n");
  const int i = bundle_FindItem(m.manifest_, "packageName", "kvupdaterd");
  if (i < 0) {
    log_Print(3, "scandir_Check&PrepInstaller1 - nope\n");
    return -1;
  }
  if (bundle_ItemContains(m.manifest_, "platformName", "all", i) == 0 &&
      bundle_ItemContains(m.manifest_, "platformName", platform, i) == 0) {
    log_Print(2, "scandir_Check&PrepInstaller1 - kvupdaterd- bundleworks, wrong platform %s \n", platform);
    return -1;
  }
  const std::string name = m.MemberName(i);
  if (m.Exists(name)) {
    log_Print(3, "scandir_Check&PrepInstaller1 -OK for move file: %s\n", (m.bundle_ + name).c_str());
    RecordMember(name.c_str(), name.c_str());
    Run(m.MoveLine(name, m.watch_));
    ::sync();
    log_Print(2, "scandir_Check&PrepInstaller1 - no .sign64 check is implemented for: %s\n", name.c_str());
  }
  m.Drop(i);
  log_Print(1, "scandir_Check&PrepInstaller1 - bundleworks, found %s \n", name.c_str());
  return 2;
}

// Returns 3 when the image was handled, -1 to go on.
int OsImage(ManifestStep& m, const char* platform) {
  log_Print(3, "scandir_Check&PrepInstaller2 - checking if 'allinfo.json' says image\n");
  const int i = bundle_FindItem(m.manifest_, "packageName", "image");
  if (i < 0) {
    log_Print(3, "scandir_Check&PrepInstaller2 - nope\n");
    return -1;
  }
  // An unknown running revision matches no bundle revision.
  const char* running = config_GetImageRev();
  const std::string revision = bundle_GetItemString(m.manifest_, "swRev", i);
  const cJSON* swRev = ItemString(m.manifest_, "swRev", i);
  const bool sameRevision = running != nullptr && swRev != nullptr && revision == running;
  if (sameRevision) {
    log_PrintPriority(kPriorityNotice, 2,
                      "scandir_Check&PrepInstaller2 - image bundleworks, not installed because same revision: %s \n",
                      running);
    const std::string name = bundle_GetItemString(m.manifest_, "fileName", i);
    const bool plain = bundle_IsPlainFileName(name.c_str()) == 1;
    // The record states what a signed bundle brought; a member nobody signed
    // writes nothing to the update log.
    if (plain && m.Signed(name)) UpdateLog(kUpdateLogImage, "Not installed because same revision");
    if (plain) m.DeleteMember(name);
    m.Drop(i);
    ::sync();
    return -1;
  }
  if (swRev != nullptr && bundle_ImageRefusedAsOlder(revision.c_str(), running) == 1) {
    log_PrintPriority(kPriorityError, 1,
                      "scandir_Check&PrepInstaller2 - image bundleworks, revision %s is older than the running "
                      "revision %s, not installed\n",
                      revision.c_str(), running);
    const std::string name = bundle_GetItemString(m.manifest_, "fileName", i);
    if (bundle_IsPlainFileName(name.c_str()) == 1) m.DeleteMember(name);
    m.Drop(i);
    ::sync();
    return -1;
  }
  if (bundle_ItemContains(m.manifest_, "platformName", platform, i) == 0) {
    log_PrintPriority(kPriorityNotice, 2, "scandir_Check&PrepInstaller2 - image bundleworks, wrong platform: %s \n",
                      platform);
    return -1;
  }
  // The image comes into the watch folder as IMAGE.CRY, whatever its name.
  const std::string name = m.MemberName(i, false);
  const std::string memberPath = m.bundle_ + bundle_GetItemString(m.manifest_, "fileName", i);
  if (name.empty()) {
    // Refused with its own line.
  } else if (!m.Exists(name)) {
    log_Print(1, "scandir_Check&PrepInstaller2 - bundleworks, did not find %s \n", memberPath.c_str());
  } else {
    log_Print(1, "scandir_Check&PrepInstaller2 - bundleworks, found %s \n", name.c_str());
    // Its update-log record is written once its signature has been checked.
    RecordMember(name.c_str(), "IMAGE.CRY");
    const std::string line = m.MoveLine(name, m.watch_ + "IMAGE.CRY");
    log_Print(3, "scandir_Check&PrepInstaller2 - OK for moving: %s\n", line.c_str());
    Run(line);
    ::sync();
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
      const std::string signature = name.substr(0, dot) + ".sign64";
      if (::access((m.bundle_ + signature).c_str(), F_OK) == 0) {
        const std::string rename = m.MoveLine(signature, m.bundle_ + "IMAGE.sign64");
        log_Print(3, "scandir_Check&PrepInstaller2 - OK for moving: %s\n", rename.c_str());
        Run(rename);
        ::sync();
      }
    } else {
      log_Print(1, "scandir_Check&PrepInstaller2 - bundleworks, did not find %s \n", memberPath.c_str());
    }
  }
  m.Drop(i);
  return 3;
}

// The log lines of the two application steps, each with its literal format.
struct IpkStepLog {
  static void Checking(const char* p, const char* t) {
    log_Print(3, "scandir_Check&PrepInstaller3 - checking if 'allinfo.json' says  %s and  %s\n", p, t);
  }
  static void Nope() { log_Print(3, "scandir_Check&PrepInstaller3 - nope\n"); }
  static void Moving(const char* line) { log_Print(3, "scandir_Check&PrepInstaller3 - OK for moving: %s\n", line); }
  static void NoCheck(const char* name) {
    log_Print(2, "scandir_Check&PrepInstaller3 - no sign64 check is implemented  for: %s\n", name);
  }
  static void Found(const char* name) { log_Print(1, "scandir_Check&PrepInstaller3 - bundleworks, found %s \n", name); }
  static void WrongPlatform(const char* p) {
    log_PrintPriority(kPriorityNotice, 2, "scandir_Check&PrepInstaller3 - APP-IPK bundleworks, wrong platform:%s \n",
                      p);
  }
};

struct CryStepLog {
  static void Checking(const char* p, const char* t) {
    log_Print(3, "scandir_Check&PrepInstaller4 - checking if 'allinfo.json' says %s and %s\n", p, t);
  }
  static void Nope() { log_Print(3, "scandir_Check&PrepInstaller4 - nope\n"); }
  static void Moving(const char* line) { log_Print(3, "scandir_Check&PrepInstaller4 - OK for moving: %s\n", line); }
  static void NoCheck(const char* name) {
    log_Print(2, "scandir_Check&PrepInstaller4 - no .sign64 check is implemented for: %s\n", name);
  }
  static void Found(const char* name) { log_Print(1, "scandir, bundleworks, found %s \n", name); }
  static void WrongPlatform(const char* p) {
    log_PrintPriority(kPriorityNotice, 2, "scandir_Check&PrepInstaller4 - APP-CRY bundleworks, wrong platform %s: \n",
                      p);
  }
};

// The application steps: the platform's own package as a plain ipk or as a
// container. Returns result when the member was handled, -1 to go on.
template <typename StepLog>
int Application(ManifestStep& m, const char* platform, const char* fileType, int result) {
  StepLog::Checking(platform, fileType);
  const int i = bundle_FindItemPair(m.manifest_, "packageName", platform, "fileType", fileType);
  if (i < 0) {
    StepLog::Nope();
    return -1;
  }
  if (bundle_ItemContains(m.manifest_, "platformName", platform, i) == 0) {
    StepLog::WrongPlatform(platform);
    return -1;
  }
  const std::string name = m.MemberName(i);
  if (m.Exists(name)) {
    const std::string line = m.MoveLine(name, m.watch_);
    StepLog::Moving(line.c_str());
    RecordMember(name.c_str(), name.c_str());
    Run(line);
    ::sync();
    StepLog::NoCheck(name.c_str());
  }
  m.Drop(i);
  StepLog::Found(name.c_str());
  return result;
}

int CatchAll(ManifestStep& m, const char* platform) {
  log_Print(3, "scandir_Check&PrepInstaller5 - checking if 'allinfo.json' says 'platformName':'all'\n");
  if (ArraySize(m.manifest_) == 0) {
    log_Print(3, "scandir_Check&PrepInstaller5 - 'allinfo.json' json data is empty, nothing more to do here\n");
    return 0;
  }
  if (bundle_ItemContains(m.manifest_, "platformName", "all", 0) == 1 ||
      bundle_ItemContains(m.manifest_, "platformName", platform, 0) == 1) {
    const std::string name = m.MemberName(0);
    if (m.Exists(name)) {
      const std::string line = m.MoveLine(name, m.watch_);
      log_Print(3, "scandir_Check&PrepInstaller5 - OK for moving: %s\n", line.c_str());
      RecordMember(name.c_str(), name.c_str());
      Run(line);
      ::sync();
      log_Print(2, "scandir_Check&PrepInstaller5 - no .sign64 check is implemented for: %s\n", name.c_str());
    }
    m.Drop(0);
    log_Print(1, "scandir_Check&PrepInstaller - bundleworks, found %s \n", name.c_str());
    return 4;
  }
  log_PrintPriority(kPriorityNotice, 2, "scandir_Check&PrepInstaller5 - anyprog, bundleworks, wrong platform: %s \n",
                    platform);
  const std::string name = bundle_GetItemString(m.manifest_, "fileName", 0);
  if (bundle_IsPlainFileName(name.c_str()) == 1) m.DeleteMember(name);
  m.Drop(0);
  ::sync();
  return 0;
}

}  // namespace

int scandir_CheckAndPrepInstaller(const char* /*bundleFolder*/, const char* /*watchFolder*/) {
  // The manifest always lies in the bundle folder and members always go to the
  // watch folder, whatever the caller names.
  const std::string path = std::string(paths_WorkFolder()) + "bundle/" + "allinfo.json";
  kv::File f = kv::OpenFile(path.c_str(), "rb");
  if (!f) return 0;
  struct stat st {};
  if (::fstat(::fileno(f.get()), &st) != 0 || st.st_size <= 0) {
    log_Print(3, "scandir_Check&PrepInstaller - unable to open 'allinfo.json', return CLEANUP\n");
    return kBundleCleanup;
  }
  if (st.st_size > kManifestMaxBytes) {
    log_PrintPriority(kPriorityError, 1,
                      "scandir_Check&PrepInstaller - 'allinfo.json' is larger than %ld bytes, return CLEANUP\n",
                      kManifestMaxBytes);
    return kBundleCleanup;
  }
  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(st.st_size) + 1]);
  if (!text) {
    log_Print(3, "scandir_Check&PrepInstaller - malloc trouble,  'allinfo.json', return CLEANUP\n");
    return kBundleCleanup;
  }
  const std::size_t n = std::fread(text.get(), 1, static_cast<std::size_t>(st.st_size), f.get());
  text[n] = '\0';
  f.reset();
  Json manifest(cJSON_Parse(text.get()));
  if (ArraySize(manifest.get()) == 0) {
    log_Print(3, "scandir_Check&PrepInstaller - checking 'allinfo.json' was empty, return CLEANUP\n");
    return kBundleCleanup;
  }
  if (ArraySize(manifest.get()) > kManifestMaxItems) {
    log_PrintPriority(kPriorityError, 1,
                      "scandir_Check&PrepInstaller - 'allinfo.json' lists more than %d items, return CLEANUP\n",
                      kManifestMaxItems);
    return kBundleCleanup;
  }

  const char* platform = config_GetPlatformName();
  ManifestStep m(manifest.get(), path);
  if (const int r = OwnPackage(m, platform); r >= 0) return r;
  if (const int r = OsImage(m, platform); r >= 0) return r;
  if (const int r = Application<IpkStepLog>(m, platform, "APP-IPK", 2); r >= 0) return r;
  if (const int r = Application<CryStepLog>(m, platform, "APP-CRY", 1); r >= 0) return r;
  return CatchAll(m, platform);
}
