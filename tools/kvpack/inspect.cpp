// Inspection runs the daemon's own checks (header check, decryption core,
// signature check) inside a throwaway sandbox root, so that its answer is the
// daemon's answer.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/identity.h"
#include "core/handles.h"
#include "core/paths.h"
#include "intake/scandir.h"
#include "kvpack/kvpack.h"
#include "security/cryheader.h"
#include "security/decrypt.h"
#include "security/sign.h"

namespace kvpack {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// A sandbox device root with the daemon's folders, removed on destruction;
// the daemon's paths point into it while it lives.
class Sandbox {
 public:
  bool Create(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvpack-inspect-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot create a temporary folder: " + std::string(std::strerror(errno));
      return false;
    }
    root_ = pattern;
    for (const char* dir :
         {"/opt", "/opt/kv2", "/opt/kv2/swfw", "/home", "/home/root", "/home/root/bundle", "/home/root/.sign"}) {
      if (::mkdir((root_ + dir).c_str(), 0755) != 0) {
        *error = "cannot prepare " + root_ + dir;
        return false;
      }
    }
    paths_SetRoot(root_);
    return true;
  }
  ~Sandbox() {
    if (root_.empty()) return;
    paths_SetRoot("");
    ::nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  [[nodiscard]] const std::string& root() const { return root_; }

 private:
  std::string root_;
};

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && ::strncasecmp(s.c_str() + s.size() - n, suffix, n) == 0;
}

// Places the file at link inside the sandbox without copying it.
bool LinkInto(const std::string& file, const std::string& link, std::string* error) {
  char real[PATH_MAX];
  if (::realpath(file.c_str(), real) == nullptr) {
    *error = "cannot find " + file + ": " + std::strerror(errno);
    return false;
  }
  if (::symlink(real, link.c_str()) != 0) {
    *error = "cannot prepare " + link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CopyInto(const std::string& file, const std::string& target, std::string* error) {
  std::string data;
  if (!ReadWholeFile(file, &data, error)) return false;
  kv::File out = kv::OpenFile(target.c_str(), "wb");
  if (!out || std::fwrite(data.data(), 1, data.size(), out.get()) != data.size()) {
    *error = "cannot prepare " + target;
    return false;
  }
  return true;
}

// Runs the daemon's signature check on name in the sandbox's work folder (or,
// mode 3, its watch folder) with the given key and signature.
int CheckSignature(const InspectOptions& options, const std::string& file, const std::string& name,
                   const std::string& signature, int mode, std::FILE* report, std::string* why, std::string* error) {
  if (options.publicKey.empty()) {
    *why = "no --public-key given to check the signature with";
    return 0;
  }
  const std::string folder = mode == kSignModeWatchFolder ? paths_WatchFolder() : paths_WorkFolder();
  if (!LinkInto(file, folder + name, error)) return -1;
  if (!CopyInto(options.publicKey, paths_Device(devpath::kPublicKey), error)) return -1;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && !signature.empty()) {
    if (::access(signature.c_str(), F_OK) != 0) {
      std::fprintf(report, "  signature: %s does not exist\n", signature.c_str());
    } else if (!CopyInto(signature, paths_BundleFolder() + name.substr(0, dot) + ".sign64", error)) {
      return -1;
    }
  }
  const kv::Status checked = sign_Check(name.c_str(), mode);
  // The daemon's own line names sandbox paths; show device paths instead.
  std::string shown = checked.ok() ? kSignatureOkLine : checked.error().message();
  for (std::size_t at; (at = shown.find(paths_Root())) != std::string::npos;) shown.erase(at, paths_Root().size());
  std::fprintf(report, "  signature: %s\n", shown.c_str());
  if (!checked.ok()) *why = "signature check failed: " + shown;
  return checked.ok() ? 1 : 0;
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
      reasons += "PLATFORMNAME " + e.value + " is neither all nor " + platform + "; ";
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

int Verdict(std::FILE* report, int accepted, const std::string& why) {
  if (accepted == 1) {
    std::fprintf(report, "ACCEPTED\n");
  } else {
    std::fprintf(report, "REJECTED: %s\n", why.c_str());
  }
  return accepted == 1 ? 1 : 0;
}

// Why the device's watch folder scan would refuse the name (it removes such a
// file unread), or empty when it takes it.
std::string RefusedName(const std::string& name) {
  const char c = scandir_RefusedNameCharacter(name.c_str());
  if (c == '\0') return {};
  const auto byte = static_cast<unsigned char>(c);
  char shown[16];
  if (byte >= 0x20 && byte < 0x7f) {
    std::snprintf(shown, sizeof shown, "'%c'", c);
  } else {
    std::snprintf(shown, sizeof shown, "byte 0x%02x", byte);
  }
  return std::string("the device's watch folder scan refuses the name (it holds ") + shown +
         ", which its command lines cannot carry) and removes the file unread";
}

int InspectContainer(const InspectOptions& options, const std::string& file, std::FILE* report, std::string* error) {
  const std::string name = BaseName(file);
  std::fprintf(report, "kvpack: CRY container %s, for platform %s\n", name.c_str(), options.platform.c_str());
  if (const std::string refused = RefusedName(name); !refused.empty()) return Verdict(report, 0, refused);
  const std::string path = paths_WatchFolder() + name;
  if (!LinkInto(file, path, error)) return -1;

  int offset = -12345;
  const int check = Decrypt_CheckInstallerFile(&offset, path.c_str());
  switch (check) {
    case kCryHeaderOk: break;
    case kCryBadName: return Verdict(report, 0, "the name contains neither .cry nor .CRY");
    case kCryNoFile:
    case kCryCannotOpen: return Verdict(report, 0, "the container cannot be opened");
    case kCryFakeHeader: {
      std::string head;
      if (!ReadWholeFile(file, &head, error)) return -1;
      head.resize(std::min(head.size(), kCryHeaderReadSize));
      const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(head.data(), head.size()), config_GetPlatformId());
      std::fprintf(report, "  header elements: %s\n", DescribeElements(scan).c_str());
      return Verdict(report, 0, ExplainFakeHeader(scan, options.platform));
    }
    default: return Verdict(report, 0, "the header check answered " + std::to_string(check));
  }
  std::fprintf(report, "  header accepted, payload at offset %d\n", offset);

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!decrypt_InitCipher(ctx.get(), options.key.key, options.key.iv)) {
    *error = "cannot set up AES-256-CBC";
    return -1;
  }
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  const std::string plainPath = paths_WatchFolder() + std::string(kDecryptTempName);
  kv::File out = kv::OpenFile(plainPath.c_str(), "wb");
  if (!in || !out) {
    *error = "cannot open " + (!in ? file : plainPath);
    return -1;
  }
  const auto stream = decrypt_Stream(ctx.get(), ::fileno(in.get()), offset, ::fileno(out.get()));
  const bool closed = std::fclose(out.release()) == 0;
  if (!stream) {
    const DecryptedImage& part = stream.error().image;
    switch (stream.error().kind) {
      case DecryptFailure::kNoHeader: return Verdict(report, 0, "the payload is shorter than one AES block");
      case DecryptFailure::kVerificatorFailed:
        return Verdict(report, 0,
                       "the verification header does not match (image length " + std::to_string(part.imageLength) +
                           ", verificator " + std::to_string(part.verificator) +
                           "): another key, or a damaged payload");
      case DecryptFailure::kIncomplete:
        return Verdict(report, 0,
                       "the payload ends after " + std::to_string(part.written) + " of " +
                           std::to_string(part.imageLength) + " image bytes");
      default: *error = "the decryption could not run"; return -1;
    }
  }
  if (!closed) {
    *error = "cannot write the decrypted image";
    return -1;
  }
  std::fprintf(report, "  payload: verification header OK, image of %u bytes\n", stream.value().imageLength);

  ControlFields fields;
  std::string why;
  if (!ReadIpk(plainPath, &fields, &why)) {
    std::fprintf(report, "  image: not an ipk the device can unpack (%s)\n", why.c_str());
    return Verdict(report, 0, "the decrypted image is not an ipk package");
  }
  std::fprintf(report, "  image: ipk package %s, version %s\n", fields.package.c_str(), fields.version.c_str());
  if (options.publicKey.empty()) {
    std::fprintf(report, "  signature of the decrypted package: not checked (no --public-key)\n");
    return Verdict(report, 1, "");
  }
  // Without --signature: the container's own .sign64, else the one named
  // after the package, beside the container.
  std::string signature = options.signature;
  if (signature.empty()) {
    signature = DefaultSignaturePath(file);
    if (::access(signature.c_str(), F_OK) != 0) {
      const std::size_t slash = file.rfind('/');
      signature = (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + fields.package + ".sign64";
    }
  }
  const int ok =
      CheckSignature(options, plainPath, fields.package + ".ipk", signature, kSignModeWorkFolder, report, &why, error);
  return ok < 0 ? -1 : Verdict(report, ok, why);
}

int InspectImage(const InspectOptions& options, const std::string& file, std::FILE* report, std::string* error) {
  std::fprintf(report, "kvpack: OS image container %s (not header-checked; its signature decides)\n",
               BaseName(file).c_str());
  const std::size_t slash = file.rfind('/');
  const std::string signature = !options.signature.empty()   ? options.signature
                                : slash == std::string::npos ? std::string("IMAGE.sign64")
                                                             : file.substr(0, slash + 1) + "IMAGE.sign64";
  std::string why;
  const int ok = CheckSignature(options, file, "IMAGE.CRY", signature, kSignModeWatchFolder, report, &why, error);
  return ok < 0 ? -1 : Verdict(report, ok, why);
}

int InspectPackage(const InspectOptions& options, const std::string& file, const std::string& signatureFile,
                   std::FILE* report, std::string* error) {
  std::fprintf(report, "kvpack: ipk package %s\n", BaseName(file).c_str());
  if (const std::string refused = RefusedName(BaseName(file)); !refused.empty()) return Verdict(report, 0, refused);
  ControlFields fields;
  std::string why;
  if (!ReadIpk(file, &fields, &why)) return Verdict(report, 0, why);
  std::fprintf(report, "  control: package %s, version %s\n", fields.package.c_str(), fields.version.c_str());
  // The device renames a package after its control Package field, and its
  // signature with it, before checking the signature.
  const std::string signature = !signatureFile.empty() ? signatureFile : DefaultSignaturePath(file);
  const int ok =
      CheckSignature(options, file, fields.package + ".ipk", signature, kSignModeWorkFolder, report, &why, error);
  return ok < 0 ? -1 : Verdict(report, ok, why);
}

}  // namespace

int Inspect(const InspectOptions& options, const std::string& file, std::FILE* report, std::string* error) {
  const int type = PlatformImageType(options.platform);
  if (type == 0) {
    *error = "unknown platform \"" + options.platform + "\" (KV2_TOUCH, KORVEL_R or KV_SR)";
    return -1;
  }
  if (::access(file.c_str(), R_OK) != 0) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return -1;
  }
  Sandbox sandbox;
  if (!sandbox.Create(error)) return -1;
  config_SetPlatform(type);

  const std::string name = BaseName(file);
  if (name.rfind("IMAGE.CRY", 0) == 0) return InspectImage(options, file, report, error);
  if (EndsWithNoCase(name, ".sign64")) {
    if (options.package.empty()) {
      *error = "inspecting a signature needs --package <the package it signs>";
      return -1;
    }
    return InspectPackage(options, options.package, file, report, error);
  }
  if (EndsWithNoCase(name, ".ipk")) return InspectPackage(options, file, options.signature, report, error);
  if (name.find(".cry") != std::string::npos || name.find(".CRY") != std::string::npos ||
      EndsWithNoCase(name, ".cry")) {
    // The watch folder scan tells bundles from containers by the FILETYPE line.
    char head[500];
    std::size_t n = 0;
    if (kv::File in = kv::OpenFile(file.c_str(), "rb")) n = std::fread(head, 1, sizeof head, in.get());
    if (scandir_CryTypeFromText(head, n) == kInstallerBundle) {
      return InspectBundle(options, file, report, error);
    }
    return InspectContainer(options, file, report, error);
  }
  std::fprintf(report, "kvpack: %s\n", name.c_str());
  return Verdict(report, 0, "the device takes only .CRY containers and .ipk packages from its watch folder");
}

}  // namespace kvpack
