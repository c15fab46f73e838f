// Inspection runs the daemon's own checks (the watch folder scan's rules,
// header check, decryption, control data unpack, signature check) inside a
// throwaway sandbox root, so that its answer is the daemon's answer. The
// file comes from anyone: it is opened without waiting, must be a regular
// file, and only as many bytes as the device reads are read or copied.
#include <cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/pem.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/printable.h"
#include "core/safefile.h"
#include "install/imageupdate.h"
#include "intake/opkg.h"
#include "intake/scandir.h"
#include "kvpack/inspect_sandbox.h"
#include "kvpack/kvpack.h"
#include "security/cryheader.h"
#include "security/decrypt.h"
#include "security/sign.h"

namespace kvpack {

namespace inspect {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

std::string Extension(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string Stem(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void Fact(std::vector<InspectFact>& facts, std::string topic, std::string text) {
  facts.push_back({std::move(topic), std::move(text)});
}

Outcome Rejected(std::string reason, std::string kind = {}) {
  return {InspectVerdict::kRejected, std::move(reason), std::move(kind)};
}

// Why the device's watch folder scan would refuse the name (it removes such a
// file unread), or empty when it takes it.
std::string RefusedName(const std::string& name) {
  const char c = scandir_RefusedNameCharacter(name.c_str());
  if (c == '\0') return {};
  return "the device's watch folder scan refuses the name (it holds " + cmd_RefusedByteText(c) +
         ", which its command lines cannot carry) and removes the file unread";
}

// What is wrong with a signature file as the device reads it, in words;
// empty when it looks like a Base64 signature.
std::string SignatureProblem(const std::string& path) {
  auto opened = OpenInput(path);
  if (!opened) return "is missing";
  const Input& in = opened.value();
  if (!S_ISREG(in.st.st_mode)) return "is not a regular file";
  if (static_cast<std::uint64_t>(in.st.st_size) > kTextFileMax) return "is larger than the 64 KiB the device reads";
  if (in.st.st_size == 0) return "is empty";
  std::string text(static_cast<std::size_t>(in.st.st_size), '\0');
  const ssize_t got = ::pread(in.fd.get(), text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '+' && c != '/' && c != '=') {
      return "is not Base64 (it holds characters outside the Base64 alphabet)";
    }
    ++digits;
  }
  if (digits % 4 != 0) return "is not Base64 (its length is not a multiple of four)";
  return {};
}

// The device's signature check of the package at packagePath against
// bundle folder + signatureName, in words.
Outcome CheckSignature(const InspectOptions& options, const std::string& packagePath, const std::string& signatureName,
                       std::vector<InspectFact>& facts) {
  const std::string signaturePath = paths_BundleFolder() + signatureName;
  const std::string problem = SignatureProblem(signaturePath);
  if (problem == "is missing") {
    Fact(facts, "signature", "missing: the device finds no " + signatureName);
    return Rejected("missing signature " + signatureName);
  }
  if (options.publicKey.empty()) {
    Fact(facts, "signature", signatureName + " present, not checked (no --public-key)");
    return {InspectVerdict::kNotChecked, "signature " + signatureName + " not checked: no --public-key given", {}};
  }
  const kv::Status checked = sign_CheckWith(packagePath, signaturePath);
  if (checked) {
    Fact(facts, "signature", signatureName + " verifies with " + BaseName(options.publicKey));
    return {InspectVerdict::kAccepted, {}, {}};
  }
  std::string why;
  if (!problem.empty()) {
    why = signatureName + " " + problem;
  } else if (checked.error().message().find("sparse") != std::string::npos) {
    why = "the signed file is sparse (it holds fewer bytes than its size); the device refuses it unread";
  } else {
    why = signatureName + " does not verify with " + BaseName(options.publicKey) +
          ": signed with another key, or the file changed after it was signed";
  }
  Fact(facts, "signature", why);
  return Rejected("bad signature: " + why);
}

std::string DescribeElements(const CryHeaderScan& scan) {
  std::string text;
  for (const CryHeaderElement& e : scan.elements) {
    if (!text.empty()) text += ", ";
    text += e.key + "=" + e.value + (e.counted ? "" : " (does not count)");
  }
  return text.empty() ? "none" : text;
}

// Why a header scored below 4, in words.
std::string ExplainFakeHeader(const CryHeaderScan& scan, const std::string& platform) {
  if (scan.end == CryWalkEnd::kNoLineFeed) return "the header holds no line feed in its first 999 bytes";
  int headerLength = 0;
  int platformCount = 0;
  int swPart = 0;
  int packageName = 0;
  std::string reasons;
  for (const CryHeaderElement& e : scan.elements) {
    if (e.key == "HEADERLENGTH" && e.counted) ++headerLength;
    if (e.key == "HEADERLENGTH" && !e.counted) reasons += "HEADERLENGTH " + e.value + " is not between 0 and 1000; ";
    if (e.key == "PLATFORMNAME" && e.counted) ++platformCount;
    if (e.key == "PLATFORMNAME" && !e.counted) {
      reasons += "PLATFORMNAME " + e.value + " is neither all nor " + platform;
      if (PlatformImageType(e.value) != 0 && PlatformId(e.value) != e.value) {
        reasons += " (a container header names the platform " + PlatformId(e.value) + ")";
      }
      reasons += "; ";
    }
    if (e.key == "SWPART") ++swPart;
    if (e.key == "PACKAGENAME") ++packageName;
  }
  if (headerLength + platformCount + swPart + packageName == scan.score) {
    if (headerLength == 0 && reasons.find("HEADERLENGTH") == std::string::npos) reasons += "no HEADERLENGTH; ";
    if (platformCount == 0 && reasons.find("PLATFORMNAME") == std::string::npos) reasons += "no PLATFORMNAME; ";
    if (swPart == 0) reasons += "no SWPART; ";
    if (packageName == 0) reasons += "no PACKAGENAME; ";
  }
  if (scan.end == CryWalkEnd::kNoCrLf) {
    reasons += "the walk stopped at a line not ended by CR LF (only the first line may end with a bare LF); ";
  }
  if (reasons.size() >= 2) reasons.resize(reasons.size() - 2);
  return "too few header elements (score " + std::to_string(scan.score) + " of 4): " + reasons;
}

void RemoveIn(const std::string& folder, std::initializer_list<std::string> names) {
  for (const std::string& n : names) {
    if (!n.empty()) (void)std::remove((folder + n).c_str());
  }
}

// The ipk road: the package is taken into the work folder, its control data
// unpacked (bounded as the device bounds it), renamed after its Package
// field, and its signature checked: the one named after the name it arrived
// under, else the one named after its Package field.
Outcome CheckPackage(const InspectOptions& options, const std::string& found, std::vector<InspectFact>& facts) {
  const std::string watch = paths_WatchFolder();
  const std::string work = paths_WorkFolder();
  if (::rename((watch + found).c_str(), (work + found).c_str()) != 0) {
    return Rejected("the device cannot take " + found + " into its work folder");
  }
  {
    QuietStreams quiet;
    opkg_ClearControlInfo();
    (void)opkg_Unpack(work.c_str(), found.c_str());
    (void)opkg_extractControlInfo(work.c_str());
  }
  const OpkgControlInfo& info = opkg_GetControlInfo();
  const std::string package = info.package;
  const std::string version = info.version;
  RemoveIn(work, {"control"});
  if (package.empty() || opkg_IsPlainPackageName(info.package) == 0) {
    RemoveIn(work, {found});
    if (package.empty()) {
      return Rejected(
          "the device finds no Package field in its control data (not an ipk, or its control.tar.gz is damaged or "
          "larger than the device reads)",
          "ipk package");
    }
    return Rejected("its Package field \"" + package + "\" is not a plain file name", "ipk package");
  }
  Fact(facts, "control", "package " + package + ", version " + version);
  const std::string item = package + ".ipk";
  if (item != found) (void)::rename((work + found).c_str(), (work + item).c_str());
  const std::string arrived = sign_SignatureName(found);
  const std::string named = package + ".sign64";
  const bool withArrived = !arrived.empty() && Exists(paths_BundleFolder() + arrived);
  Outcome outcome = CheckSignature(options, work + item, withArrived ? arrived : named, facts);
  if (!withArrived && !arrived.empty() && arrived != named && outcome.reason == "missing signature " + named) {
    outcome.reason = "missing signature: neither " + arrived + " nor " + named;
  }
  outcome.kind = "ipk package";
  if (outcome.verdict == InspectVerdict::kAccepted && package == "kvupdaterd") {
    Fact(facts, "version", "the device refuses its own package when older than the one it runs");
  }
  // The device renames an accepted package's signature after it.
  if (outcome.verdict != InspectVerdict::kRejected && withArrived && arrived != named) {
    (void)::rename((paths_BundleFolder() + arrived).c_str(), (paths_BundleFolder() + named).c_str());
  }
  RemoveIn(work, {item});
  return outcome;
}

// The container road: taken into the work folder, header checked, payload
// decrypted into the watch folder as <name without extension>.ipk, which
// then takes the ipk road.
Outcome CheckContainer(const InspectOptions& options, const std::string& found, std::vector<InspectFact>& facts) {
  const std::string watch = paths_WatchFolder();
  const std::string work = paths_WorkFolder();
  const std::string path = work + found;
  if (::rename((watch + found).c_str(), path.c_str()) != 0) {
    return Rejected("the device cannot take " + found + " into its work folder");
  }
  struct Cleanup {
    std::string path;
    ~Cleanup() { (void)std::remove(path.c_str()); }
  } cleanup{path};
  const char* platform = config_GetPlatformId();
  int offset = 0;
  int check = 0;
  {
    QuietStreams quiet;
    check = Decrypt_CheckInstallerFile(&offset, path.c_str());
  }
  switch (check) {
    case kCryHeaderOk: break;
    case kCryBadName: return Rejected("the name contains neither .cry nor .CRY", "CRY container");
    case kCryNoFile:
    case kCryCannotOpen: return Rejected("the container cannot be opened", "CRY container");
    case kCryFakeHeader: {
      std::string head(kCryHeaderReadSize, '\0');
      kv::Result<Input> in = OpenInput(path);
      const ssize_t got = in ? ::pread(in.value().fd.get(), head.data(), head.size(), 0) : 0;
      head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
      const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(head.data(), head.size()), platform);
      Fact(facts, "header", DescribeElements(scan));
      return Rejected(ExplainFakeHeader(scan, platform), "CRY container");
    }
    default: return Rejected("the device's header check refuses it", "CRY container");
  }
  Fact(facts, "header", "accepted, payload at byte " + std::to_string(offset));

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!decrypt_InitCipher(ctx.get(), options.key.key, options.key.iv)) {
    return Rejected("AES-256-CBC cannot be set up here", "CRY container");
  }
  kv::Result<Input> in = OpenInput(path);
  const std::string package = Stem(found) + ".ipk";
  kv::Fd out(::open((watch + package).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!in || !out) return Rejected("the container cannot be decrypted here", "CRY container");
  const auto stream = decrypt_Stream(ctx.get(), in.value().fd.get(), offset, out.get());
  out.reset();
  if (!stream) {
    RemoveIn(watch, {package});
    const DecryptedImage& part = stream.error().image;
    switch (stream.error().kind) {
      case DecryptFailure::kNoHeader: return Rejected("the payload is shorter than one AES block", "CRY container");
      case DecryptFailure::kVerificatorFailed:
        return Rejected("the payload does not decrypt with this CRY key (another key, or a damaged payload)",
                        "CRY container");
      case DecryptFailure::kIncomplete:
        return Rejected("the payload ends after " + std::to_string(part.written) + " of " +
                            std::to_string(part.imageLength) + " bytes",
                        "CRY container");
      default: return Rejected("the payload cannot be decrypted", "CRY container");
    }
  }
  Fact(facts, "payload", "decrypts to " + std::to_string(stream.value().imageLength) + " bytes, taken as " + package);
  Outcome outcome = CheckPackage(options, package, facts);
  RemoveIn(watch, {package});
  outcome.kind = "CRY container";
  return outcome;
}

// The image road: taken into the work folder as IMAGE.CRY and checked
// against IMAGE.sign64 in the bundle folder; nothing else of it is read.
Outcome CheckImage(const InspectOptions& options, const std::string& found, std::vector<InspectFact>& facts) {
  const std::string path = std::string(paths_WorkFolder()) + kImageFile;
  if (::rename((paths_WatchFolder() + found).c_str(), path.c_str()) != 0) {
    return Rejected("the device cannot take " + found + " into its work folder", "OS image");
  }
  Fact(facts, "image", "no header check: its signature decides");
  Outcome outcome = CheckSignature(options, path, "IMAGE.sign64", facts);
  (void)std::remove(path.c_str());
  outcome.kind = "OS image";
  return outcome;
}

}  // namespace

Sandbox::~Sandbox() {
  if (root_.empty()) return;
  paths_SetRoot("");
  ::nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

kv::Status Sandbox::Create(const InspectOptions& options, int imageType) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvpack-inspect-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return kv::SystemError("cannot create a temporary folder");
  root_ = pattern;
  for (const char* dir : {"/opt", "/opt/kv2", "/opt/kv2/swfw", "/opt/kv2/log", "/home", "/home/root",
                          "/home/root/bundle", "/home/root/.sign"}) {
    if (::mkdir((root_ + dir).c_str(), 0755) != 0) return kv::Error(errno, "cannot prepare a temporary folder");
  }
  paths_SetRoot(root_);
  config_SetPlatform(imageType);
  kv::File info = kv::OpenFile(paths_Device(devpath::kImageInfo).c_str(), "w");
  if (!info) return kv::Error(errno, "cannot prepare a temporary folder");
  std::fprintf(info.get(), "image_name=kvpack-inspect\n");
  if (options.haveImageRev) std::fprintf(info.get(), "image_version=%s\n", options.imageRev.c_str());
  info.reset();
  if (!options.publicKey.empty()) {
    auto key = OpenInput(options.publicKey);
    if (!key) return key.error();
    if (!S_ISREG(key.value().st.st_mode) || static_cast<std::uint64_t>(key.value().st.st_size) > kTextFileMax) {
      return kv::Error(0, options.publicKey + " is not a regular file of at most 64 KiB");
    }
    std::string text(static_cast<std::size_t>(key.value().st.st_size), '\0');
    const ssize_t got = ::pread(key.value().fd.get(), text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    kv::Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    kv::Pkey pkey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    kv::ClearSslErrors();
    if (!pkey) return kv::Error(0, options.publicKey + " is not a PEM public key");
    kv::File out = kv::OpenFile(paths_Device(devpath::kPublicKey).c_str(), "wb");
    if (!out || std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) {
      return kv::Error(0, "cannot prepare a temporary folder");
    }
  }
  return kv::Ok();
}

kv::Result<Input> OpenInput(const std::string& path) {
  Input in;
  in.fd = kv::Fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in.fd) return kv::SystemError("cannot open " + path);
  if (::fstat(in.fd.get(), &in.st) != 0) return kv::SystemError("cannot read " + path);
  return in;
}

kv::Status CopyInto(const Input& in, const std::string& target, std::uint64_t limit) {
  kv::Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out) return kv::SystemError("cannot prepare a temporary folder");
  std::vector<char> chunk(65536);
  std::uint64_t at = 0;
  while (at < limit) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), limit - at));
    const ssize_t got = ::pread(in.fd.get(), chunk.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return kv::SystemError("cannot read the file");
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t n = ::write(out.get(), chunk.data() + done, static_cast<std::size_t>(got - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kv::SystemError("cannot write a temporary file");
      done += n;
    }
    at += static_cast<std::uint64_t>(got);
  }
  return kv::Ok();
}

QuietStreams::QuietStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
  kv::Fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null) return;
  out_ = kv::Fd(::fcntl(1, F_DUPFD_CLOEXEC, 3));
  err_ = kv::Fd(::fcntl(2, F_DUPFD_CLOEXEC, 3));
  if (out_) (void)::dup2(null.get(), 1);
  if (err_) (void)::dup2(null.get(), 2);
}

QuietStreams::~QuietStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (out_) (void)::dup2(out_.get(), 1);
  if (err_) (void)::dup2(err_.get(), 2);
}

Outcome CheckDrop(const InspectOptions& options, const std::string& name, std::vector<InspectFact>& facts,
                  bool bundleMember) {
  if (const std::string refused = RefusedName(name); !refused.empty()) return Rejected(refused, "file");
  int kind = 0;
  {
    QuietStreams quiet;
    kind = scandir_GetFileType(paths_WatchFolder(), name.c_str());
  }
  switch (kind) {
    case kInstallerImage: return CheckImage(options, name, facts);
    case kInstallerIpk: return CheckPackage(options, name, facts);
    case kInstallerAppCry: return CheckContainer(options, name, facts);
    case kInstallerBundle:
      RemoveIn(paths_WatchFolder(), {name});
      if (bundleMember) {
        return {InspectVerdict::kNotChecked,
                "a bundle inside a bundle: the device unpacks it once this one is worked through; inspect it on its "
                "own",
                "bundle"};
      }
      return Rejected("a bundle", "bundle");
    default: break;
  }
  RemoveIn(paths_WatchFolder(), {name});
  const std::string extension = Extension(name);
  if (::strcasecmp(extension.c_str(), "CRY") == 0) {
    return Rejected(
        "its header names no FILETYPE the device takes (APP-CRY, UPDATE, UPDATE-FULL or UPDATEFULL); the device "
        "removes it",
        "CRY container");
  }
  return Rejected("the device takes only .CRY containers and .ipk packages from its watch folder", "file");
}

}  // namespace inspect

namespace {

using inspect::Fact;
using inspect::Input;
using inspect::Outcome;
using inspect::RefusedName;

const char* VerdictWord(InspectVerdict v) {
  switch (v) {
    case InspectVerdict::kAccepted: return "accepted";
    case InspectVerdict::kRejected: return "rejected";
    case InspectVerdict::kNotChecked: return "not-checked";
  }
  return "rejected";
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && ::strncasecmp(s.c_str() + s.size() - n, suffix, n) == 0;
}

// What the device does with a single file in its watch folder, the
// signature that comes with it placed where the device takes it from.
kv::Status InspectSingle(const InspectOptions& options, const std::string& file, const std::string& signature,
                         const Input& in, InspectReport& r) {
  const std::string name = BaseName(file);
  const std::string watch = paths_WatchFolder();
  const std::string extension = name.substr(std::min(name.size(), name.rfind('.') + 1));
  const bool image = name.rfind("IMAGE", 0) == 0 && ::strncasecmp(extension.c_str(), "CRY", 3) == 0;
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) {
    const std::string wanted = name.substr(0, dot) + ".sign64";
    Fact(r.facts, "signature wanted",
         (image ? std::string("IMAGE.sign64") : wanted) +
             " beside it in the watch folder (the device moves it to where it checks), or inside a bundle" +
             (::strncasecmp(extension.c_str(), "CRY", 3) == 0 && !image ? "; it signs the decrypted package" : ""));
    // The signature goes where the device moves a dropped one: into its
    // bundle folder under its own name.
    const std::string source =
        !signature.empty() ? signature : file.substr(0, file.size() - name.size()) + name.substr(0, dot) + ".sign64";
    auto opened = inspect::OpenInput(source);
    if (!opened) {
      Fact(r.facts, "signature given", "none (" + BaseName(source) + " is not there)");
    } else if (!S_ISREG(opened.value().st.st_mode)) {
      Fact(r.facts, "signature given", BaseName(source) + " is not a regular file; the device does not take it");
    } else {
      // One byte beyond the device's cap is enough for it to refuse the file.
      const std::string target = paths_BundleFolder() + (image ? std::string("IMAGE.sign64") : wanted);
      if (auto copied = inspect::CopyInto(opened.value(), target, inspect::kTextFileMax + 1); !copied) return copied;
      Fact(r.facts, "signature given", BaseName(source));
    }
  }
  if (auto copied = inspect::CopyInto(in, watch + name, static_cast<std::uint64_t>(in.st.st_size)); !copied) {
    return copied;
  }
  const Outcome outcome = inspect::CheckDrop(options, name, r.facts, false);
  r.kind = outcome.kind;
  r.verdict = outcome.verdict;
  r.reason = outcome.reason;
  return kv::Ok();
}

void AppendReportText(const InspectReport& r, const std::string& platform, std::string& text) {
  text += "kvpack: " + r.kind + " " + BaseName(r.file) + ", for platform " + PlatformName(platform) + " (" +
          PlatformId(platform) + ")\n";
  for (const InspectFact& f : r.facts) text += "  " + f.topic + ": " + f.text + "\n";
  int n = 0;
  for (const InspectMember& m : r.members) {
    std::string label = m.fileName.empty() ? std::string("(no fileName)") : m.fileName;
    if (!m.packageName.empty()) label += " [" + m.packageName + "]";
    if (!m.taken) {
      text += "  dropped " + label + ": " + m.reason + "\n";
      continue;
    }
    text += "  " + std::to_string(++n) + ". " + label + ", taken as " + m.role + ": ";
    switch (m.verdict) {
      case InspectVerdict::kAccepted: text += "accepted\n"; break;
      case InspectVerdict::kRejected: text += "REJECTED: " + m.reason + "\n"; break;
      case InspectVerdict::kNotChecked: text += "not checked: " + m.reason + "\n"; break;
    }
  }
  switch (r.verdict) {
    case InspectVerdict::kAccepted: text += "ACCEPTED\n"; break;
    case InspectVerdict::kRejected: text += "REJECTED: " + r.reason + "\n"; break;
    case InspectVerdict::kNotChecked: text += "NOT CHECKED: " + r.reason + "\n"; break;
  }
}

cJSON* ReportJson(const InspectReport& r, const std::string& platform) {
  cJSON* o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "file", r.file.c_str());
  cJSON_AddStringToObject(o, "kind", r.kind.c_str());
  cJSON_AddStringToObject(o, "platform", PlatformName(platform).c_str());
  cJSON_AddStringToObject(o, "verdict", VerdictWord(r.verdict));
  if (r.verdict != InspectVerdict::kAccepted) cJSON_AddStringToObject(o, "reason", r.reason.c_str());
  cJSON* facts = cJSON_AddArrayToObject(o, "facts");
  for (const InspectFact& f : r.facts) {
    cJSON* fact = cJSON_CreateObject();
    cJSON_AddStringToObject(fact, "topic", f.topic.c_str());
    cJSON_AddStringToObject(fact, "text", f.text.c_str());
    cJSON_AddItemToArray(facts, fact);
  }
  if (r.kind == "bundle") {
    cJSON* members = cJSON_AddArrayToObject(o, "members");
    for (const InspectMember& m : r.members) {
      cJSON* member = cJSON_CreateObject();
      cJSON_AddStringToObject(member, "fileName", m.fileName.c_str());
      cJSON_AddStringToObject(member, "packageName", m.packageName.c_str());
      cJSON_AddStringToObject(member, "outcome", m.taken ? "taken" : "dropped");
      if (m.taken) {
        cJSON_AddStringToObject(member, "role", m.role.c_str());
        cJSON_AddStringToObject(member, "verdict", VerdictWord(m.verdict));
      }
      if (!m.taken || m.verdict != InspectVerdict::kAccepted) {
        cJSON_AddStringToObject(member, "reason", m.reason.c_str());
      }
      cJSON_AddItemToArray(members, member);
    }
  }
  return o;
}

bool IsScannedName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name[0] == '.') return false;
  const char* ext = name.c_str() + dot + 1;
  return ::strcasecmp(ext, "CRY") == 0 || ::strcasecmp(ext, "IPK") == 0;
}

}  // namespace

kv::Result<InspectReport> Inspect(const InspectOptions& options, const std::string& file) {
  const int type = PlatformImageType(options.platform);
  if (type == 0) {
    return kv::Error(0, "unknown platform \"" + options.platform +
                            "\" (KV2_TOUCH, KORVEL_R or KV_SR; or kv2-touch, korvel-r or korvel-sr)");
  }
  InspectReport r;
  r.file = file;
  std::string target = file;
  std::string signature = options.signature;
  if (EndsWithNoCase(file, ".sign64")) {
    if (options.package.empty()) return kv::Error(0, "inspecting a signature needs --package <the package it signs>");
    target = options.package;
    signature = file;
    r.file = target;
  }
  auto opened = inspect::OpenInput(target);
  if (!opened) return opened.error();
  const Input& in = opened.value();
  const std::string name = BaseName(target);
  r.kind = "file";
  if (!S_ISREG(in.st.st_mode)) {
    r.reason = "not a regular file (a FIFO, a device or a folder): the device's scan passes it over and never reads it";
    return r;
  }
  if (!safefile_IsDense(in.fd.get(), in.st)) {
    r.reason = "the file is sparse (it holds fewer bytes than its size): the device refuses it unread";
    return r;
  }
  inspect::Sandbox sandbox;
  if (auto created = sandbox.Create(options, type); !created) return created.error();
  if (const std::string refused = RefusedName(name); !refused.empty()) {
    r.reason = refused;
    return r;
  }
  if (EndsWithNoCase(name, ".cry") || name.find(".CRY") != std::string::npos ||
      name.find(".cry") != std::string::npos) {
    // The watch folder scan tells bundles from containers by the FILETYPE line.
    char head[500];
    const ssize_t n = ::pread(in.fd.get(), head, sizeof head, 0);
    if (n > 0 && scandir_CryTypeFromText(head, static_cast<std::size_t>(n)) == kInstallerBundle &&
        name.rfind("IMAGE", 0) != 0) {
      r.kind = "bundle";
      if (auto told = inspect::InspectBundle(options, name, in, r); !told) return told.error();
      return r;
    }
  }
  if (auto checked = InspectSingle(options, target, signature, in, r); !checked) return checked.error();
  return r;
}

int InspectFiles(const InspectOptions& options, const std::vector<std::string>& files, bool json, std::FILE* out) {
  // A folder stands for the files the device's scan would take from it.
  std::vector<std::string> targets;
  std::vector<std::pair<std::string, std::string>> errors;  // file, message
  for (const std::string& f : files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      targets.push_back(f);
      continue;
    }
    std::vector<std::string> names;
    if (kv::Dir dir{::opendir(f.c_str())}) {
      while (const dirent* e = ::readdir(dir.get())) {
        if (IsScannedName(e->d_name)) names.emplace_back(e->d_name);
      }
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) errors.emplace_back(f, "holds no .CRY or .ipk file the device would take");
    const std::string folder = f.back() == '/' ? f : f + "/";
    for (const std::string& n : names) targets.push_back(folder + n);
  }
  bool rejected = false;
  bool notChecked = false;
  std::string text;
  kv::Json array(cJSON_CreateArray());
  for (const std::string& t : targets) {
    const kv::Result<InspectReport> report = Inspect(options, t);
    if (!report) {
      errors.emplace_back(t, report.error().message());
      if (json) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "file", t.c_str());
        cJSON_AddStringToObject(o, "error", report.error().message().c_str());
        cJSON_AddItemToArray(array.get(), o);
      }
      continue;
    }
    rejected = rejected || report.value().verdict == InspectVerdict::kRejected;
    notChecked = notChecked || report.value().verdict == InspectVerdict::kNotChecked;
    if (json) {
      cJSON_AddItemToArray(array.get(), ReportJson(report.value(), options.platform));
    } else {
      if (!text.empty()) text += "\n";
      AppendReportText(report.value(), options.platform, text);
    }
  }
  if (json) {
    for (const auto& error : errors) {
      if (std::find(targets.begin(), targets.end(), error.first) == targets.end()) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "file", error.first.c_str());
        cJSON_AddStringToObject(o, "error", error.second.c_str());
        cJSON_AddItemToArray(array.get(), o);
      }
    }
    kv::CMemory<char> printed(cJSON_Print(array.get()));
    text = printed ? std::string(printed.get()) + "\n" : std::string();
  }
  // The report quotes the file (header values, member names, package
  // fields), which may come from anyone: control bytes are shown as '?'.
  std::fputs(kv::Printable(text, true).c_str(), out);
  std::fflush(out);
  for (const auto& [file, message] : errors) {
    if (!json) std::fprintf(stderr, "kvpack: %s: %s\n", file.c_str(), kv::Printable(message, false).c_str());
  }
  if (!errors.empty()) return 2;
  if (rejected) return 1;
  return notChecked ? 3 : 0;
}

}  // namespace kvpack
