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
  kv::Status Create() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvpack-inspect-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return kv::SystemError("cannot create a temporary folder");
    root_ = pattern;
    for (const char* dir :
         {"/opt", "/opt/kv2", "/opt/kv2/swfw", "/home", "/home/root", "/home/root/bundle", "/home/root/.sign"}) {
      if (::mkdir((root_ + dir).c_str(), 0755) != 0) return kv::Error(errno, "cannot prepare " + root_ + dir);
    }
    paths_SetRoot(root_);
    return kv::Ok();
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

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && ::strncasecmp(s.c_str() + s.size() - n, suffix, n) == 0;
}

// Places the file at link inside the sandbox without copying it.
kv::Status LinkInto(const std::string& file, const std::string& link) {
  char real[PATH_MAX];
  if (::realpath(file.c_str(), real) == nullptr) return kv::SystemError("cannot find " + file);
  if (::symlink(real, link.c_str()) != 0) return kv::SystemError("cannot prepare " + link);
  return kv::Ok();
}

kv::Status CopyInto(const std::string& file, const std::string& target) {
  const auto data = ReadWholeFile(file);
  if (!data) return data.error();
  kv::File out = kv::OpenFile(target.c_str(), "wb");
  if (!out || std::fwrite(data.value().data(), 1, data.value().size(), out.get()) != data.value().size()) {
    return kv::Error(0, "cannot prepare " + target);
  }
  return kv::Ok();
}

// Runs the daemon's signature check on name in the sandbox's work folder (or,
// mode 3, its watch folder) with the given key and signature. Gives the
// reason the device refuses it, empty when it accepts it.
kv::Result<std::string> CheckSignature(const InspectOptions& options, const std::string& file, const std::string& name,
                                       const std::string& signature, int mode, std::FILE* report) {
  if (options.publicKey.empty()) return std::string("no --public-key given to check the signature with");
  const std::string folder = mode == kSignModeWatchFolder ? paths_WatchFolder() : paths_WorkFolder();
  kv::Status prepared = LinkInto(file, folder + name);
  if (prepared) prepared = CopyInto(options.publicKey, paths_Device(devpath::kPublicKey));
  if (!prepared) return prepared.error();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && !signature.empty()) {
    if (::access(signature.c_str(), F_OK) != 0) {
      std::fprintf(report, "  signature: %s does not exist\n", signature.c_str());
    } else if (auto copied = CopyInto(signature, paths_BundleFolder() + name.substr(0, dot) + ".sign64"); !copied) {
      return copied.error();
    }
  }
  const kv::Status checked = sign_Check(name.c_str(), mode);
  // The daemon's own line names sandbox paths; show device paths instead.
  std::string shown = checked.ok() ? kSignatureOkLine : checked.error().message();
  for (std::size_t at; (at = shown.find(paths_Root())) != std::string::npos;) shown.erase(at, paths_Root().size());
  std::fprintf(report, "  signature: %s\n", shown.c_str());
  return checked.ok() ? std::string() : "signature check failed: " + shown;
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

// The last line of the report: accepted when there is no reason to refuse.
bool Verdict(std::FILE* report, const std::string& refusal) {
  if (refusal.empty()) {
    std::fprintf(report, "ACCEPTED\n");
  } else {
    std::fprintf(report, "REJECTED: %s\n", refusal.c_str());
  }
  return refusal.empty();
}

// The verdict on a signature check, or the error that kept it from running.
kv::Result<bool> Verdict(std::FILE* report, const kv::Result<std::string>& refusal) {
  if (!refusal) return refusal.error();
  return Verdict(report, refusal.value());
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

kv::Result<bool> InspectContainer(const InspectOptions& options, const std::string& file, std::FILE* report) {
  const std::string name = BaseName(file);
  std::fprintf(report, "kvpack: CRY container %s, for platform %s\n", name.c_str(), options.platform.c_str());
  if (const std::string refused = RefusedName(name); !refused.empty()) return Verdict(report, refused);
  const std::string path = paths_WatchFolder() + name;
  if (auto linked = LinkInto(file, path); !linked) return linked.error();

  int offset = -12345;
  const int check = Decrypt_CheckInstallerFile(&offset, path.c_str());
  switch (check) {
    case kCryHeaderOk: break;
    case kCryBadName: return Verdict(report, "the name contains neither .cry nor .CRY");
    case kCryNoFile:
    case kCryCannotOpen: return Verdict(report, "the container cannot be opened");
    case kCryFakeHeader: {
      auto read = ReadWholeFile(file);
      if (!read) return read.error();
      std::string head = std::move(read).value();
      head.resize(std::min(head.size(), kCryHeaderReadSize));
      const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(head.data(), head.size()), config_GetPlatformId());
      std::fprintf(report, "  header elements: %s\n", DescribeElements(scan).c_str());
      return Verdict(report, ExplainFakeHeader(scan, options.platform));
    }
    default: return Verdict(report, "the header check answered " + std::to_string(check));
  }
  std::fprintf(report, "  header accepted, payload at offset %d\n", offset);

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!decrypt_InitCipher(ctx.get(), options.key.key, options.key.iv)) {
    return kv::Error(0, "cannot set up AES-256-CBC");
  }
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  const std::string plainPath = paths_WatchFolder() + std::string(kDecryptTempName);
  kv::File out = kv::OpenFile(plainPath.c_str(), "wb");
  if (!in || !out) return kv::Error(0, "cannot open " + (!in ? file : plainPath));
  const auto stream = decrypt_Stream(ctx.get(), ::fileno(in.get()), offset, ::fileno(out.get()));
  const bool closed = std::fclose(out.release()) == 0;
  if (!stream) {
    const DecryptedImage& part = stream.error().image;
    switch (stream.error().kind) {
      case DecryptFailure::kNoHeader: return Verdict(report, "the payload is shorter than one AES block");
      case DecryptFailure::kVerificatorFailed:
        return Verdict(report, "the verification header does not match (image length " +
                                   std::to_string(part.imageLength) + ", verificator " +
                                   std::to_string(part.verificator) + "): another key, or a damaged payload");
      case DecryptFailure::kIncomplete:
        return Verdict(report, "the payload ends after " + std::to_string(part.written) + " of " +
                                   std::to_string(part.imageLength) + " image bytes");
      default: return kv::Error(0, "the decryption could not run");
    }
  }
  if (!closed) return kv::Error(0, "cannot write the decrypted image");
  std::fprintf(report, "  payload: verification header OK, image of %u bytes\n", stream.value().imageLength);

  const auto read = ReadIpk(plainPath);
  if (!read) {
    std::fprintf(report, "  image: not an ipk the device can unpack (%s)\n", read.error().message().c_str());
    return Verdict(report, "the decrypted image is not an ipk package");
  }
  const ControlFields& fields = read.value();
  std::fprintf(report, "  image: ipk package %s, version %s\n", fields.package.c_str(), fields.version.c_str());
  if (options.publicKey.empty()) {
    std::fprintf(report, "  signature of the decrypted package: not checked (no --public-key)\n");
    return Verdict(report, std::string());
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
  return Verdict(report,
                 CheckSignature(options, plainPath, fields.package + ".ipk", signature, kSignModeWorkFolder, report));
}

kv::Result<bool> InspectImage(const InspectOptions& options, const std::string& file, std::FILE* report) {
  std::fprintf(report, "kvpack: OS image container %s (not header-checked; its signature decides)\n",
               BaseName(file).c_str());
  const std::size_t slash = file.rfind('/');
  const std::string signature = !options.signature.empty()   ? options.signature
                                : slash == std::string::npos ? std::string("IMAGE.sign64")
                                                             : file.substr(0, slash + 1) + "IMAGE.sign64";
  return Verdict(report, CheckSignature(options, file, "IMAGE.CRY", signature, kSignModeWatchFolder, report));
}

kv::Result<bool> InspectPackage(const InspectOptions& options, const std::string& file,
                                const std::string& signatureFile, std::FILE* report) {
  std::fprintf(report, "kvpack: ipk package %s\n", BaseName(file).c_str());
  if (const std::string refused = RefusedName(BaseName(file)); !refused.empty()) return Verdict(report, refused);
  const auto read = ReadIpk(file);
  if (!read) return Verdict(report, read.error().message());
  const ControlFields& fields = read.value();
  std::fprintf(report, "  control: package %s, version %s\n", fields.package.c_str(), fields.version.c_str());
  // The device renames a package after its control Package field, and its
  // signature with it, before checking the signature.
  const std::string signature = !signatureFile.empty() ? signatureFile : DefaultSignaturePath(file);
  return Verdict(report,
                 CheckSignature(options, file, fields.package + ".ipk", signature, kSignModeWorkFolder, report));
}

}  // namespace

kv::Result<bool> Inspect(const InspectOptions& options, const std::string& file, std::FILE* report) {
  const int type = PlatformImageType(options.platform);
  if (type == 0) return kv::Error(0, "unknown platform \"" + options.platform + "\" (KV2_TOUCH, KORVEL_R or KV_SR)");
  if (::access(file.c_str(), R_OK) != 0) return kv::SystemError("cannot read " + file);
  Sandbox sandbox;
  if (auto created = sandbox.Create(); !created) return created.error();
  config_SetPlatform(type);

  const std::string name = BaseName(file);
  if (name.rfind("IMAGE.CRY", 0) == 0) return InspectImage(options, file, report);
  if (EndsWithNoCase(name, ".sign64")) {
    if (options.package.empty()) return kv::Error(0, "inspecting a signature needs --package <the package it signs>");
    return InspectPackage(options, options.package, file, report);
  }
  if (EndsWithNoCase(name, ".ipk")) return InspectPackage(options, file, options.signature, report);
  if (name.find(".cry") != std::string::npos || name.find(".CRY") != std::string::npos ||
      EndsWithNoCase(name, ".cry")) {
    // The watch folder scan tells bundles from containers by the FILETYPE line.
    char head[500];
    std::size_t n = 0;
    if (kv::File in = kv::OpenFile(file.c_str(), "rb")) n = std::fread(head, 1, sizeof head, in.get());
    if (scandir_CryTypeFromText(head, n) == kInstallerBundle) {
      if (auto told = InspectBundle(options, file, report); !told) return told.error();
      return true;
    }
    return InspectContainer(options, file, report);
  }
  std::fprintf(report, "kvpack: %s\n", name.c_str());
  return Verdict(report, "the device takes only .CRY containers and .ipk packages from its watch folder");
}

}  // namespace kvpack
