// Bundles (a header, then a plain tar of "allinfo.json", the members and
// their signatures) and signed OS images, as the daemon takes them.
#include <archive.h>
#include <archive_entry.h>
#include <cJSON.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include "core/cmd.h"
#include "core/handles.h"
#include "intake/bundle.h"
#include "kvpack/kvpack.h"
#include "security/cryheader.h"

namespace kvpack {

namespace {

constexpr std::size_t kChunk = 65536;
// Longest member name: the device moves members with command lines of at
// most 400 characters that also carry its two folder names.
constexpr std::size_t kMaxMemberName = 200;

using kv::Json;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A member name the device can move out of its bundle folder: a plain name
// whose characters its command runner admits.
bool CheckMemberName(const std::string& name, std::string* error) {
  if (bundle_IsPlainFileName(name.c_str()) == 0) {
    *error = "fileName \"" + name + "\" is not a plain file name (no folder, quote or \"..\")";
    return false;
  }
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0) {
    *error = "fileName \"" + name + "\" holds the character '" + std::string(1, refused) +
             "', which the device refuses in its commands";
    return false;
  }
  if (name.size() > kMaxMemberName) {
    *error = "fileName \"" + name + "\" is longer than " + std::to_string(kMaxMemberName) + " characters";
    return false;
  }
  if (name == "allinfo.json") {
    *error = "fileName allinfo.json is taken by the manifest";
    return false;
  }
  return true;
}

la_ssize_t WriteToFile(archive*, void* file, const void* buffer, size_t n) {
  const std::size_t written = std::fwrite(buffer, 1, n, static_cast<std::FILE*>(file));
  return written == n ? static_cast<la_ssize_t>(n) : -1;
}

std::string ArchiveError(archive* a, const std::string& what) {
  const char* text = archive_error_string(a);
  return what + (text != nullptr ? std::string(": ") + text : std::string());
}

bool AddEntry(archive* tar, const std::string& name, la_int64_t size, std::time_t mtime, std::string* error) {
  Entry entry(archive_entry_new());
  archive_entry_set_pathname(entry.get(), name.c_str());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), 0644);
  archive_entry_set_size(entry.get(), size);
  archive_entry_set_mtime(entry.get(), mtime, 0);
  archive_entry_set_uid(entry.get(), 0);
  archive_entry_set_gid(entry.get(), 0);
  archive_entry_set_uname(entry.get(), "root");
  archive_entry_set_gname(entry.get(), "root");
  if (archive_write_header(tar, entry.get()) != ARCHIVE_OK) {
    *error = ArchiveError(tar, "cannot add " + name);
    return false;
  }
  return true;
}

bool AddText(archive* tar, const std::string& name, const std::string& text, std::time_t mtime, std::string* error) {
  if (!AddEntry(tar, name, static_cast<la_int64_t>(text.size()), mtime, error)) return false;
  if (!text.empty() && archive_write_data(tar, text.data(), text.size()) != static_cast<la_ssize_t>(text.size())) {
    *error = ArchiveError(tar, "cannot add " + name);
    return false;
  }
  return true;
}

// Opens a regular file for reading and gives its size.
kv::File OpenRegular(const std::string& path, std::uint64_t* size, std::string* error) {
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  struct stat st {};
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return {};
  }
  if (::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    return {};
  }
  *size = static_cast<std::uint64_t>(st.st_size);
  return in;
}

// Adds the member file under name, feeding its bytes to signer when given.
bool AddMember(archive* tar, const BundleMember& member, Signer* signer, std::string* error) {
  std::uint64_t size = 0;
  kv::File in = OpenRegular(member.path, &size, error);
  if (!in) return false;
  if (!AddEntry(tar, member.fileName, static_cast<la_int64_t>(size), std::time(nullptr), error)) return false;
  std::vector<char> chunk(kChunk);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    total += got;
    if (total > size) break;
    if (archive_write_data(tar, chunk.data(), got) != static_cast<la_ssize_t>(got)) {
      *error = ArchiveError(tar, "cannot add " + member.fileName);
      return false;
    }
    if (signer != nullptr && !signer->Update(chunk.data(), got)) {
      *error = "cannot sign " + member.path;
      return false;
    }
  }
  if (std::ferror(in.get()) != 0 || total != size) {
    *error = "cannot read " + member.path + " (changed while packing?)";
    return false;
  }
  return true;
}

// The bundle's own name must make the device's scan take it for a bundle.
bool CheckBundleName(const std::string& output, std::string* error) {
  const std::string name = BaseName(output);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || ::strncasecmp(name.c_str() + dot + 1, "CRY", 3) != 0) {
    *error = "bundle name " + name + " must have an extension beginning with CRY (as in .CRY)";
    return false;
  }
  if (name.rfind("IMAGE", 0) == 0) {
    *error = "a name beginning with IMAGE is taken for the OS image";
    return false;
  }
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0 || name.find('\'') != std::string::npos ||
      name.find('"') != std::string::npos) {
    *error = "bundle name " + name + " holds a character the device refuses in commands";
    return false;
  }
  return true;
}

}  // namespace

std::string MemberSignatureName(const std::string& fileName) {
  const std::size_t dot = fileName.rfind('.');
  return (dot == std::string::npos ? fileName : fileName.substr(0, dot)) + ".sign64";
}

bool ReadBundleMembers(const std::string& json, std::vector<BundleMember>* members, std::string* manifest,
                       std::string* error) {
  members->clear();
  Json root(cJSON_Parse(json.c_str()));
  if (!root || !cJSON_IsArray(root.get())) {
    *error = "the member list must be a JSON array of objects";
    return false;
  }
  if (cJSON_GetArraySize(root.get()) == 0) {
    *error = "the member list is empty";
    return false;
  }
  std::set<std::string> names{"allinfo.json"};
  int index = 0;
  for (cJSON* item = root->child; item != nullptr; item = item->next, ++index) {
    const std::string where = "member " + std::to_string(index + 1);
    if (!cJSON_IsObject(item)) {
      *error = where + " is not an object";
      return false;
    }
    cJSON* path = cJSON_DetachItemFromObjectCaseSensitive(item, "path");
    const Json pathOwner(path);
    if (!cJSON_IsString(path) || path->valuestring[0] == '\0') {
      *error = where + " needs \"path\", the member's file";
      return false;
    }
    BundleMember member;
    member.path = path->valuestring;
    // The daemon matches manifest keys without regard to case.
    const cJSON* fileName = cJSON_GetObjectItem(item, "fileName");
    if (fileName == nullptr) {
      member.fileName = BaseName(member.path);
      cJSON_AddStringToObject(item, "fileName", member.fileName.c_str());
    } else if (!cJSON_IsString(fileName)) {
      *error = where + ": \"fileName\" must be a string";
      return false;
    } else {
      member.fileName = fileName->valuestring;
    }
    if (!CheckMemberName(member.fileName, error)) {
      *error = where + ": " + *error;
      return false;
    }
    if (!names.insert(member.fileName).second) {
      *error = where + ": fileName " + member.fileName + " is used twice in the bundle";
      return false;
    }
    kv::CMemory<char> entry(cJSON_PrintUnformatted(item));
    member.entry = entry ? entry.get() : "";
    members->push_back(std::move(member));
  }
  kv::CMemory<char> text(cJSON_Print(root.get()));
  if (!text) {
    *error = "out of memory";
    return false;
  }
  *manifest = text.get();
  return true;
}

bool BuildBundleHeader(const BundleOptions& options, std::string* header, std::string* error) {
  if (options.fileType != "UPDATE" && options.fileType != "UPDATE-FULL" && options.fileType != "UPDATEFULL") {
    *error = "bundle file type must be UPDATE, UPDATE-FULL or UPDATEFULL";
    return false;
  }
  if (options.headerLength < 1) {
    *error = "header length must be positive";
    return false;
  }
  std::vector<std::pair<const char*, std::string>> lines = {
      {"HEADERLENGTH", std::to_string(options.headerLength)},
      {"FILETYPE", options.fileType},
  };
  if (!options.platform.empty()) {
    if (!CheckToken("platform", options.platform, error)) return false;
    if (options.platform != "all" && PlatformImageType(options.platform) == 0) {
      *error = "platform must be all, KV2_TOUCH, KORVEL_R or KV_SR";
      return false;
    }
    lines.emplace_back("PLATFORMNAME", options.platform);
  }
  if (!options.swPart.empty()) {
    if (!CheckToken("software part", options.swPart, error)) return false;
    lines.emplace_back("SWPART", options.swPart);
  }
  if (!options.packageName.empty()) {
    if (!CheckToken("package name", options.packageName, error)) return false;
    lines.emplace_back("PACKAGENAME", options.packageName);
  }
  std::string text;
  if (!JoinHeaderLines(lines, &text, error)) return false;
  text += "\r\n";
  if (text.size() > static_cast<std::size_t>(options.headerLength)) {
    *error = "the header text takes " + std::to_string(text.size()) + " bytes and does not fit in a header length of " +
             std::to_string(options.headerLength);
    return false;
  }
  *header = std::move(text);
  return true;
}

bool WriteBundle(const BundleOptions& options, const std::string& membersJson, const std::string& output,
                 std::string* error) {
  if (!CheckBundleName(output, error)) return false;
  std::string header;
  if (!BuildBundleHeader(options, &header, error)) return false;
  std::string json;
  if (!ReadWholeFile(membersJson, &json, error)) return false;
  std::vector<BundleMember> members;
  std::string manifest;
  if (!ReadBundleMembers(json, &members, &manifest, error)) {
    *error = membersJson + ": " + *error;
    return false;
  }
  // A relative member path is taken from the current folder, or else from the
  // member list's folder.
  const std::string listFolder = Folder(membersJson);
  for (BundleMember& m : members) {
    if (m.path[0] != '/' && ::access(m.path.c_str(), F_OK) != 0 && !listFolder.empty() &&
        ::access((listFolder + m.path).c_str(), F_OK) == 0) {
      m.path = listFolder + m.path;
    }
  }

  Signer signer;
  if (!options.signKey.empty()) {
    if (!signer.Init(options.signKey, error)) return false;
    std::set<std::string> names;
    for (const BundleMember& m : members) names.insert(m.fileName);
    for (const BundleMember& m : members) {
      const std::string signature = MemberSignatureName(m.fileName);
      if (!names.insert(signature).second) {
        *error = "the signature " + signature + " of " + m.fileName + " clashes with another name in the bundle";
        return false;
      }
    }
  }

  OutputFile out;
  if (!out.Open(output, error)) return false;
  std::string filled = header;
  filled.resize(static_cast<std::size_t>(options.headerLength), '\0');
  if (std::fwrite(filled.data(), 1, filled.size(), out.get()) != filled.size()) {
    *error = "cannot write " + output;
    return false;
  }

  ArchiveWriter tar(archive_write_new());
  if (!tar || archive_write_set_format_pax_restricted(tar.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(tar.get(), 1) != ARCHIVE_OK ||
      archive_write_open(tar.get(), out.get(), nullptr, WriteToFile, nullptr) != ARCHIVE_OK) {
    *error = ArchiveError(tar.get(), "cannot start the tar payload");
    return false;
  }
  const std::time_t now = std::time(nullptr);
  if (!AddText(tar.get(), "allinfo.json", manifest, now, error)) return false;
  for (const BundleMember& m : members) {
    const bool sign = !options.signKey.empty();
    if (sign && !signer.Restart(error)) return false;
    if (!AddMember(tar.get(), m, sign ? &signer : nullptr, error)) return false;
    if (sign) {
      std::string text;
      if (!signer.Finish(m.path, &text, error)) return false;
      if (!AddText(tar.get(), MemberSignatureName(m.fileName), text, now, error)) return false;
    }
  }
  if (archive_write_close(tar.get()) != ARCHIVE_OK) {
    *error = ArchiveError(tar.get(), "cannot finish " + output);
    return false;
  }
  tar.reset();
  return out.Commit(error);
}

bool WriteImage(const std::string& privateKey, const std::string& image, const std::string& outFolder,
                std::string* error) {
  Signer signer;
  if (!signer.Init(privateKey, error)) return false;
  std::uint64_t size = 0;
  kv::File in = OpenRegular(image, &size, error);
  if (!in) return false;
  if (size == 0) {
    *error = image + " is empty; the device never accepts an empty image";
    return false;
  }
  struct stat st {};
  if (::mkdir(outFolder.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + outFolder + ": " + std::strerror(errno);
    return false;
  }
  if (::stat(outFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = outFolder + " is not a folder";
    return false;
  }

  const std::string folder = outFolder.back() == '/' ? outFolder : outFolder + "/";
  const std::string imagePath = folder + "IMAGE.CRY";
  OutputFile imageOut;
  if (!imageOut.Open(imagePath, error)) return false;
  std::vector<char> chunk(kChunk);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    total += got;
    if (std::fwrite(chunk.data(), 1, got, imageOut.get()) != got) {
      *error = "cannot write " + imagePath;
      return false;
    }
    if (!signer.Update(chunk.data(), got)) {
      *error = "cannot sign " + image;
      return false;
    }
  }
  if (std::ferror(in.get()) != 0 || total != size) {
    *error = "cannot read " + image + " (changed while packing?)";
    return false;
  }
  std::string text;
  if (!signer.Finish(image, &text, error)) return false;
  OutputFile signatureOut;
  const std::string signaturePath = folder + "IMAGE.sign64";
  if (!signatureOut.Open(signaturePath, error)) return false;
  if (std::fwrite(text.data(), 1, text.size(), signatureOut.get()) != text.size()) {
    *error = "cannot write " + signaturePath;
    return false;
  }
  if (!imageOut.Commit(error)) return false;
  if (!signatureOut.Commit(error)) {
    // Never leave an image behind without the signature that belongs to it.
    ::unlink(imagePath.c_str());
    return false;
  }
  return true;
}

}  // namespace kvpack
