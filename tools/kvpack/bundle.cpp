// Bundles (a header, then a plain tar of "allinfo.json", the members and
// their signatures) and signed OS images, as the daemon takes them.
#include <archive.h>
#include <archive_entry.h>
#include <cJSON.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
#include "security/decrypt.h"

namespace kvpack {

namespace {

constexpr std::size_t kChunk = 65536;
// Longest member name: the device moves members with command lines of at
// most 400 characters that also carry its two folder names.
constexpr std::size_t kMaxMemberName = 200;

using kv::Json;

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A member name the device can move out of its bundle folder: a plain name
// whose characters its command runner admits.
kv::Status CheckMemberName(const std::string& name) {
  if (bundle_IsPlainFileName(name.c_str()) == 0) {
    return kv::Error(0, "fileName \"" + name + "\" is not a plain file name (no folder, quote or \"..\")");
  }
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0) {
    return kv::Error(0, "fileName \"" + name + "\" holds the character '" + std::string(1, refused) +
                            "', which the device refuses in its commands");
  }
  if (name.size() > kMaxMemberName) {
    return kv::Error(0, "fileName \"" + name + "\" is longer than " + std::to_string(kMaxMemberName) + " characters");
  }
  if (name == "allinfo.json") {
    return kv::Error(0, "fileName allinfo.json is taken by the manifest");
  }
  return kv::Ok();
}

kv::Status AddEntry(archive* tar, const std::string& name, la_int64_t size, std::time_t mtime) {
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
  if (archive_write_header(tar, entry.get()) != ARCHIVE_OK) return ArchiveError(tar, "cannot add " + name);
  return kv::Ok();
}

kv::Status AddText(archive* tar, const std::string& name, const std::string& text, std::time_t mtime) {
  if (auto added = AddEntry(tar, name, static_cast<la_int64_t>(text.size()), mtime); !added) return added;
  if (!text.empty() && archive_write_data(tar, text.data(), text.size()) != static_cast<la_ssize_t>(text.size())) {
    return ArchiveError(tar, "cannot add " + name);
  }
  return kv::Ok();
}

// A regular file open for reading, with its size.
struct RegularFile {
  kv::File file;
  std::uint64_t size = 0;
};

kv::Result<RegularFile> OpenRegular(const std::string& path) {
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  if (!in) return kv::SystemError("cannot open " + path);
  struct stat st {};
  if (::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode))
    return kv::Error(0, path + " is not a regular file");
  return RegularFile{std::move(in), static_cast<std::uint64_t>(st.st_size)};
}

// Adds the member file under name, feeding its bytes to signer when given.
kv::Status AddMember(archive* tar, const BundleMember& member, Signer* signer, std::time_t mtime) {
  auto opened = OpenRegular(member.path);
  if (!opened) return opened.error();
  const std::uint64_t size = opened.value().size;
  const kv::File in = std::move(opened.value().file);
  if (auto added = AddEntry(tar, member.fileName, static_cast<la_int64_t>(size), mtime); !added) {
    return added;
  }
  std::vector<char> chunk(kChunk);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    total += got;
    if (total > size) break;
    if (archive_write_data(tar, chunk.data(), got) != static_cast<la_ssize_t>(got)) {
      return ArchiveError(tar, "cannot add " + member.fileName);
    }
    if (signer != nullptr && !signer->Update(chunk.data(), got)) {
      return kv::Error(0, "cannot sign " + member.path);
    }
  }
  if (std::ferror(in.get()) != 0 || total != size) {
    return kv::Error(0, "cannot read " + member.path + " (changed while packing?)");
  }
  return kv::Ok();
}

// Whether a member is an application container (a .CRY that is not the OS
// image): the device decrypts it and checks the package it holds against
// the member's signature.
bool IsContainerMember(const BundleMember& member) {
  const std::size_t dot = member.fileName.rfind('.');
  return !member.image && dot != std::string::npos && strcasecmp(member.fileName.c_str() + dot + 1, "cry") == 0;
}

// Feeds signer with the package a container member decrypts to under key,
// as the device will check it.
kv::Status SignContainedPackage(const BundleMember& member, const CryKey& key, Signer& signer) {
  auto opened = OpenRegular(member.path);
  if (!opened) return opened.error();
  const int in = ::fileno(opened.value().file.get());
  std::string head(kCryHeaderReadSize, '\0');
  const ssize_t got = ::pread(in, head.data(), head.size(), 0);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(head.data(), head.size()), "all");
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  kv::Fd plain(::memfd_create("kvpack-member", MFD_CLOEXEC));
  if (!ctx || !plain || !decrypt_InitCipher(ctx.get(), key.key, key.iv)) {
    return kv::Error(0, "cannot decrypt " + member.path + " here");
  }
  if (!decrypt_Stream(ctx.get(), in, scan.offset, plain.get())) {
    return kv::Error(0, "cannot sign " + member.path +
                            ": it does not decrypt with the container key (the key of "
                            "kvpack cry; give it with --key-file)");
  }
  std::vector<char> chunk(kChunk);
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(plain.get(), chunk.data(), chunk.size(), at);
    if (n < 0) return kv::Error(0, "cannot sign " + member.path);
    if (n == 0) return kv::Ok();
    if (!signer.Update(chunk.data(), static_cast<std::size_t>(n))) return kv::Error(0, "cannot sign " + member.path);
    at += n;
  }
}

// The bundle's own name must make the device's scan take it for a bundle.
kv::Status CheckBundleName(const std::string& output) {
  const std::string name = BaseName(output);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || ::strncasecmp(name.c_str() + dot + 1, "CRY", 3) != 0) {
    return kv::Error(0, "bundle name " + name + " must have an extension beginning with CRY (as in .CRY)");
  }
  if (name.rfind("IMAGE", 0) == 0) {
    return kv::Error(0, "a name beginning with IMAGE is taken for the OS image");
  }
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0 || name.find('\'') != std::string::npos ||
      name.find('"') != std::string::npos) {
    return kv::Error(0, "bundle name " + name + " holds a character the device refuses in commands");
  }
  return kv::Ok();
}

// The manifest keys the device reads (without regard to case).
constexpr const char* kManifestKeys[] = {"packageName", "swRev", "platformName", "fileType", "fileName"};

// Edits needed to turn a into b, ignoring case (for "did you mean").
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Replaces the string value of key in item (found without regard to case).
void SetString(cJSON* item, const char* key, const std::string& value) {
  cJSON* old = cJSON_GetObjectItem(item, key);
  if (old != nullptr && old->string != nullptr) {
    (void)cJSON_ReplaceItemInObjectCaseSensitive(item, old->string, cJSON_CreateString(value.c_str()));
  }
}

// Checks one manifest item as the devices will read it: platform
// identifiers become the platform names devices compare (a note), and an
// item that no device would install, or a key no device reads, draws a
// warning.
void ReviewItem(cJSON* item, const std::string& where, BundleMembers& list) {
  for (const cJSON* k = item->child; k != nullptr; k = k->next) {
    if (std::any_of(std::begin(kManifestKeys), std::end(kManifestKeys),
                    [k](const char* known) { return ::strcasecmp(k->string, known) == 0; })) {
      continue;
    }
    std::string warning = where + ": the key \"" + k->string + "\" is not one a device reads";
    for (const char* known : kManifestKeys) {
      if (Distance(k->string, known) <= 2) warning += std::string(" (did you mean ") + known + "?)";
    }
    list.warnings.push_back(warning);
  }
  const cJSON* platformItem = cJSON_GetObjectItem(item, "platformName");
  const cJSON* packageItem = cJSON_GetObjectItem(item, "packageName");
  const cJSON* typeItem = cJSON_GetObjectItem(item, "fileType");
  const std::string package = cJSON_IsString(packageItem) ? packageItem->valuestring : "";
  const std::string type = cJSON_IsString(typeItem) ? typeItem->valuestring : "";
  // An application member is found by the platform name as its packageName.
  if ((type == "APP-IPK" || type == "APP-CRY") && PlatformImageType(package) != 0 && PlatformName(package) != package) {
    list.notes.push_back(where + ": packageName " + package + " written as " + PlatformName(package) +
                         ", the platform name devices compare");
    SetString(item, "packageName", PlatformName(package));
  }
  if (!cJSON_IsString(platformItem)) {
    list.warnings.push_back(where + ": no platformName: no device installs it");
    return;
  }
  std::string platforms = platformItem->valuestring;
  const std::string given = platforms;
  for (int i = 0; i < 3; ++i) {
    const std::string id = kPlatformIds[i];
    for (std::size_t at; (at = platforms.find(id)) != std::string::npos;)
      platforms.replace(at, id.size(), kPlatformNames[i]);
  }
  if (platforms != given) {
    list.notes.push_back(where + ": platformName " + given + " written as " + platforms +
                         ", the platform names devices compare");
    SetString(item, "platformName", platforms);
  }
  const bool named = std::any_of(std::begin(kPlatformNames), std::end(kPlatformNames),
                                 [&platforms](const char* n) { return platforms.find(n) != std::string::npos; });
  const bool image = package == "image";
  if (image && !named) {
    list.warnings.push_back(where + ": an OS image for platformName \"" + platforms +
                            "\" is installed on no device: the image step takes only an item that names the "
                            "device's platform (kv2-touch, korvel-r, korvel-sr), and \"all\" does not count");
  } else if (!named && platforms.find("all") == std::string::npos) {
    list.warnings.push_back(where + ": platformName \"" + platforms +
                            "\" names no platform (all, kv2-touch, korvel-r, korvel-sr): no device installs it");
  }
}

}  // namespace

std::string MemberSignatureName(const std::string& fileName) {
  const std::size_t dot = fileName.rfind('.');
  return (dot == std::string::npos ? fileName : fileName.substr(0, dot)) + ".sign64";
}

kv::Result<BundleMembers> ReadBundleMembers(const std::string& json) {
  BundleMembers list;
  Json root(cJSON_Parse(json.c_str()));
  if (!root || !cJSON_IsArray(root.get())) {
    return kv::Error(0, "the member list must be a JSON array of objects");
  }
  if (cJSON_GetArraySize(root.get()) == 0) {
    return kv::Error(0, "the member list is empty");
  }
  std::set<std::string> names{"allinfo.json"};
  int index = 0;
  for (cJSON* item = root->child; item != nullptr; item = item->next, ++index) {
    const std::string where = "member " + std::to_string(index + 1);
    if (!cJSON_IsObject(item)) {
      return kv::Error(0, where + " is not an object");
    }
    cJSON* path = cJSON_DetachItemFromObjectCaseSensitive(item, "path");
    const Json pathOwner(path);
    if (!cJSON_IsString(path) || path->valuestring[0] == '\0') {
      return kv::Error(0, where + " needs \"path\", the member's file");
    }
    BundleMember member;
    member.path = path->valuestring;
    // The daemon matches manifest keys without regard to case.
    const cJSON* fileName = cJSON_GetObjectItem(item, "fileName");
    if (fileName == nullptr) {
      member.fileName = BaseName(member.path);
      cJSON_AddStringToObject(item, "fileName", member.fileName.c_str());
    } else if (!cJSON_IsString(fileName)) {
      return kv::Error(0, where + ": \"fileName\" must be a string");
    } else {
      member.fileName = fileName->valuestring;
    }
    if (auto checked = CheckMemberName(member.fileName); !checked) return checked.error().WithContext(where);
    ReviewItem(item, where + " (" + member.fileName + ")", list);
    const cJSON* package = cJSON_GetObjectItem(item, "packageName");
    if (bundle_IsInstallerName(member.fileName.c_str()) == 0 &&
        !(cJSON_IsString(package) && std::strcmp(package->valuestring, "image") == 0)) {
      list.warnings.push_back(where + " (" + member.fileName +
                              "): neither a container (.CRY) nor a package (.ipk): devices delete it unused");
    }
    if (!names.insert(member.fileName).second) {
      return kv::Error(0, where + ": fileName " + member.fileName + " is used twice in the bundle");
    }
    member.image = cJSON_IsString(package) && std::strcmp(package->valuestring, "image") == 0;
    kv::CMemory<char> entry(cJSON_PrintUnformatted(item));
    member.entry = entry ? entry.get() : "";
    list.members.push_back(std::move(member));
  }
  if (list.members.size() > static_cast<std::size_t>(kManifestMaxItems)) {
    return kv::Error(0, "the member list has " + std::to_string(list.members.size()) + " members, more than the " +
                            std::to_string(kManifestMaxItems) + " a device takes");
  }
  kv::CMemory<char> text(cJSON_Print(root.get()));
  if (!text) return kv::Error(0, "out of memory");
  list.manifest = text.get();
  if (list.manifest.size() > static_cast<std::size_t>(kManifestMaxBytes)) {
    return kv::Error(0, "the manifest would be " + std::to_string(list.manifest.size()) + " bytes, more than the " +
                            std::to_string(kManifestMaxBytes) + " a device reads");
  }
  return list;
}

kv::Result<std::string> BuildBundleHeader(const BundleOptions& options) {
  if (options.fileType != "UPDATE" && options.fileType != "UPDATE-FULL" && options.fileType != "UPDATEFULL") {
    return kv::Error(0, "bundle file type must be UPDATE, UPDATE-FULL or UPDATEFULL");
  }
  if (options.headerLength < 1) {
    return kv::Error(0, "header length must be positive");
  }
  std::vector<std::pair<const char*, std::string>> lines = {
      {"HEADERLENGTH", std::to_string(options.headerLength)},
      {"FILETYPE", options.fileType},
  };
  if (!options.platform.empty()) {
    if (auto checked = CheckToken("platform", options.platform); !checked) return checked.error();
    if (options.platform != "all" && PlatformImageType(options.platform) == 0) {
      return kv::Error(0, "platform must be all, KV2_TOUCH, KORVEL_R or KV_SR");
    }
    lines.emplace_back("PLATFORMNAME", options.platform == "all" ? options.platform : PlatformId(options.platform));
  }
  if (!options.swPart.empty()) {
    if (auto checked = CheckToken("software part", options.swPart); !checked) return checked.error();
    lines.emplace_back("SWPART", options.swPart);
  }
  if (!options.packageName.empty()) {
    if (auto checked = CheckToken("package name", options.packageName); !checked) return checked.error();
    lines.emplace_back("PACKAGENAME", options.packageName);
  }
  auto joined = JoinHeaderLines(lines);
  if (!joined) return joined.error();
  std::string text = std::move(joined).value() + "\r\n";
  if (text.size() > static_cast<std::size_t>(options.headerLength)) {
    return kv::Error(0, "the header text takes " + std::to_string(text.size()) +
                            " bytes and does not fit in a header length of " + std::to_string(options.headerLength));
  }
  return text;
}

kv::Status WriteBundle(const BundleOptions& options, const std::string& membersJson, const std::string& output) {
  if (auto checked = CheckBundleName(output); !checked) return checked;
  const auto header = BuildBundleHeader(options);
  if (!header) return header.error();
  const auto json = ReadWholeFile(membersJson);
  if (!json) return json.error();
  auto list = ReadBundleMembers(json.value());
  if (!list) return list.error().WithContext(membersJson);
  for (const std::string& note : list.value().notes) std::fprintf(stderr, "kvpack: note: %s\n", note.c_str());
  for (const std::string& warning : list.value().warnings) {
    std::fprintf(stderr, "kvpack: warning: %s\n", warning.c_str());
  }
  if (options.strict && !list.value().warnings.empty()) {
    return kv::Error(
        0, "refused (--strict): the member list draws " + std::to_string(list.value().warnings.size()) + " warning(s)");
  }
  std::vector<BundleMember>& members = list.value().members;
  const std::string& manifest = list.value().manifest;
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
    if (auto ready = signer.Init(options.signKey, options.signAccess); !ready) return ready;
    std::set<std::string> names;
    for (const BundleMember& m : members) names.insert(m.fileName);
    for (const BundleMember& m : members) {
      const std::string signature = MemberSignatureName(m.fileName);
      if (!names.insert(signature).second) {
        return kv::Error(
            0, "the signature " + signature + " of " + m.fileName + " clashes with another name in the bundle");
      }
    }
  }

  OutputFile out;
  if (auto opened = out.Open(output); !opened) return opened;
  std::string filled = header.value();
  filled.resize(static_cast<std::size_t>(options.headerLength), '\0');
  if (std::fwrite(filled.data(), 1, filled.size(), out.get()) != filled.size()) {
    return kv::Error(0, "cannot write " + output);
  }

  ArchiveWriter tar(archive_write_new());
  if (!tar || archive_write_set_format_pax_restricted(tar.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(tar.get(), 1) != ARCHIVE_OK ||
      archive_write_open(tar.get(), out.get(), nullptr, WriteToFile, nullptr) != ARCHIVE_OK) {
    return ArchiveError(tar.get(), "cannot start the tar payload");
  }
  const auto sourceDate = SourceDateEpoch();
  if (!sourceDate) return sourceDate.error();
  const std::time_t now = sourceDate.value().value_or(std::time(nullptr));
  if (auto added = AddText(tar.get(), "allinfo.json", manifest, now); !added) return added;
  const bool sign = !options.signKey.empty();
  for (const BundleMember& m : members) {
    // A container's signature covers the package inside it.
    const bool container = sign && IsContainerMember(m);
    kv::Status added = sign ? signer.Restart() : kv::Ok();
    if (added) added = AddMember(tar.get(), m, sign && !container ? &signer : nullptr, now);
    if (added && container) added = SignContainedPackage(m, options.cryKey, signer);
    if (!added) return added;
    if (sign) {
      const auto signature = signer.Finish(m.path);
      if (!signature) return signature.error();
      if (added = AddText(tar.get(), MemberSignatureName(m.fileName), signature.value(), now); !added) return added;
    }
  }
  if (archive_write_close(tar.get()) != ARCHIVE_OK) return ArchiveError(tar.get(), "cannot finish " + output);
  tar.reset();
  return out.Commit();
}

kv::Status WriteImage(const std::string& privateKey, const std::string& image, const std::string& outFolder,
                      const KeyAccess& access) {
  Signer signer;
  if (auto ready = signer.Init(privateKey, access); !ready) return ready;
  auto source = OpenRegular(image);
  if (!source) return source.error();
  const std::uint64_t size = source.value().size;
  const kv::File in = std::move(source.value().file);
  if (size == 0) {
    return kv::Error(0, image + " is empty; the device never accepts an empty image");
  }
  struct stat st {};
  if (::mkdir(outFolder.c_str(), 0755) != 0 && errno != EEXIST) return kv::SystemError("cannot create " + outFolder);
  if (::stat(outFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return kv::Error(0, outFolder + " is not a folder");
  }

  const std::string folder = outFolder.back() == '/' ? outFolder : outFolder + "/";
  const std::string imagePath = folder + "IMAGE.CRY";
  OutputFile imageOut;
  if (auto opened = imageOut.Open(imagePath); !opened) return opened;
  std::vector<char> chunk(kChunk);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    total += got;
    if (std::fwrite(chunk.data(), 1, got, imageOut.get()) != got) {
      return kv::Error(0, "cannot write " + imagePath);
    }
    if (!signer.Update(chunk.data(), got)) {
      return kv::Error(0, "cannot sign " + image);
    }
  }
  if (std::ferror(in.get()) != 0 || total != size) {
    return kv::Error(0, "cannot read " + image + " (changed while packing?)");
  }
  const auto signature = signer.Finish(image);
  if (!signature) return signature.error();
  const std::string& text = signature.value();
  OutputFile signatureOut;
  const std::string signaturePath = folder + "IMAGE.sign64";
  if (auto opened = signatureOut.Open(signaturePath); !opened) return opened;
  if (std::fwrite(text.data(), 1, text.size(), signatureOut.get()) != text.size()) {
    return kv::Error(0, "cannot write " + signaturePath);
  }
  if (auto committed = imageOut.Commit(); !committed) return committed;
  if (auto committed = signatureOut.Commit(); !committed) {
    // Never leave an image behind without the signature that belongs to it.
    ::unlink(imagePath.c_str());
    return committed;
  }
  return kv::Ok();
}

}  // namespace kvpack
