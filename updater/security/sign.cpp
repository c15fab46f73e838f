#include "security/sign.h"

#include <openssl/pem.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "security/bulkio.h"

namespace {

// The digest does not depend on how the file is cut into chunks.
constexpr std::size_t kVerifyChunkSize = kBulkChunkSize;
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
  va_end(again);
  return line;
}

// Largest public key and signature file read: far above any real one (an
// RSA-16384 signature is 2,048 bytes, under 3 KiB in Base64), so that a huge
// or endless file fails the check instead of the process.
constexpr long long kTextFileLimit = 65536;

// Opens a file for reading without waiting: a FIFO in its place is seen by
// fstat and refused, never waited on. st receives what fstat says.
kv::Fd OpenNoWait(const std::string& path, struct stat& st) {
  kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd && ::fstat(fd.get(), &st) != 0) fd.reset();
  return fd;
}

// Reads a regular file of the size fstat gave (at most kTextFileLimit), no
// more than that even when it grows meanwhile.
void ReadText(int fd, long long size, std::string& text) {
  text.assign(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
}

// A refused check: the reason is the line the check logs for it.
kv::Error Refused(std::string line) { return kv::Error(0, std::move(line)); }

}  // namespace

bool sign_VerifyFile(const char* keyText, const char* path, long long size, const char* signatureText) {
  if (keyText == nullptr || path == nullptr || signatureText == nullptr) return false;

  kv::Bio keyBio(BIO_new_mem_buf(keyText, -1));
  kv::Pkey key(keyBio ? PEM_read_bio_PUBKEY(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    kv::ClearSslErrors();
    return false;
  }

  // Base64 decoding of the signature; it can never yield more than three
  // quarters of its text.
  const std::string_view text(signatureText);
  long capacity = static_cast<long>(text.size() * 3 / 4);
  if (text.size() >= 2 && text.substr(text.size() - 2) == "==") {
    capacity -= 2;
  } else if (!text.empty() && text.back() == '=') {
    capacity -= 1;
  }
  capacity = capacity < 0 ? 1 : capacity + 1;
  std::string signature(static_cast<std::size_t>(capacity), '\0');
  std::size_t signatureLength = 0;
  {
    kv::Bio chain(BIO_new(BIO_f_base64()));
    BIO* source = BIO_new_mem_buf(signatureText, static_cast<int>(text.size()));
    if (!chain || source == nullptr) {
      BIO_free(source);
      kv::ClearSslErrors();
      return false;
    }
    BIO_push(chain.get(), source);
    while (signatureLength < signature.size()) {
      const int got = BIO_read(chain.get(), signature.data() + signatureLength,
                               static_cast<int>(signature.size() - signatureLength));
      if (got <= 0) break;
      signatureLength += static_cast<std::size_t>(got);
    }
    // Text that is not Base64 yields a short signature, which the final
    // step refuses; the decoder's complaint is not kept.
    kv::ClearSslErrors();
  }

  kv::MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    kv::ClearSslErrors();
    return false;
  }
  if (size == 0) return false;

  kv::Fd in(::open(path, O_RDONLY | O_CLOEXEC));
  if (!in) return false;
  bulkio_AdviseSequential(in.get(), 0);
  kv::CMemory<unsigned char> chunk = bulkio_AllocChunk(kVerifyChunkSize);
  if (!chunk) return false;
  for (;;) {
    const BulkRead r = bulkio_ReadFull(in.get(), chunk.get(), kVerifyChunkSize);
    if (r.got > 0 && EVP_DigestVerifyUpdate(ctx.get(), chunk.get(), r.got) != 1) {
      kv::ClearSslErrors();
      return false;
    }
    // A read error ends the stream early; what was read is not the package.
    if (r.failed) return false;
    if (r.got < kVerifyChunkSize) break;  // the end of the file
  }

  const int verdict =
      EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signatureLength);
  if (verdict != 1) kv::ClearSslErrors();
  return verdict == 1;
}

namespace {

// The check of one package file against one signature file. signaturePath
// null: the package name has no full stop, so it names no signature
// (refused after the package and the key were found, as the lines go).
kv::Status CheckFiles(const std::string& packagePath, const std::string* signaturePath, const std::string& name) {
  long long packageSize = 0;
  {
    struct stat st {};
    kv::Fd package = OpenNoWait(packagePath, st);
    if (!package) {
      return Refused(Format("Signature check, file %s not found, aborting installation!", packagePath.c_str()));
    }
    if (!S_ISREG(st.st_mode)) {
      return Refused(
          Format("Signature check, file %s is not a regular file, aborting installation!", packagePath.c_str()));
    }
    // The whole file is hashed: one with holes would cost its full size to
    // read while it cost its maker next to nothing.
    if (!safefile_IsDense(package.get(), st)) {
      return Refused(
          Format("Signature check, file %s is sparse: it holds fewer bytes than its size, "
                 "aborting installation!",
                 packagePath.c_str()));
    }
    // st_size is an off_t of 64 bits (_FILE_OFFSET_BITS=64), so an OS image
    // of 2 GiB or more keeps its size on a 32-bit target too.
    packageSize = static_cast<long long>(st.st_size);
  }

  std::string keyText;
  {
    const std::string keyPath = paths_Device(devpath::kPublicKey);
    struct stat st {};
    kv::Fd keyFile = OpenNoWait(keyPath, st);
    if (!keyFile) return Refused("Signature check, public key not found, Aborting installation!");
    if (!S_ISREG(st.st_mode) || st.st_size > kTextFileLimit) {
      return Refused(
          Format("Signature check, public key is not a regular file of at most %lld bytes, "
                 "Aborting installation!",
                 kTextFileLimit));
    }
    if (st.st_size <= 0) {
      return Refused("Unable to identify size of /home/root/.sign/ipksignkeypublic.pem!");
    }
    ReadText(keyFile.get(), st.st_size, keyText);
  }

  if (signaturePath == nullptr) {
    return Refused(
        Format("Signature check, signature file %s with extension not found, "
               "aborting installation!",
               name.c_str()));
  }
  std::string signatureText;
  {
    struct stat st {};
    kv::Fd signatureFile = OpenNoWait(*signaturePath, st);
    if (!signatureFile) {
      return Refused(
          Format("Signature check, signature file %s not found, aborting installation!", signaturePath->c_str()));
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kTextFileLimit) {
      return Refused(
          Format("Signature check, signature file %s is not a regular file of at most %lld "
                 "bytes, aborting installation!",
                 signaturePath->c_str(), kTextFileLimit));
    }
    if (st.st_size <= 0) return Refused("Unable to identify size of signature file!");
    ReadText(signatureFile.get(), st.st_size, signatureText);
  }

  if (!sign_VerifyFile(keyText.c_str(), packagePath.c_str(), packageSize, signatureText.c_str())) {
    return Refused("Signature check, Bad signature!, Abort installation");
  }
  return kv::Ok();
}

int Logged(const kv::Status& checked) {
  log_Print(1, "%s\n", checked.ok() ? kSignatureOkLine : checked.error().message().c_str());
  return checked.ok() ? 1 : 0;
}

}  // namespace

std::string sign_SignatureName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot) + ".sign64";
}

kv::Status sign_Check(const char* name, int mode) {
  const std::string packageName = name != nullptr ? name : "";
  const std::string packagePath =
      (mode == kSignModeWatchFolder ? paths_WatchFolder() : paths_WorkFolder()) + packageName;
  const std::string signatureName = sign_SignatureName(packageName);
  if (signatureName.empty()) return CheckFiles(packagePath, nullptr, packageName);
  const std::string signaturePath = std::string(paths_BundleFolder()) + signatureName;
  return CheckFiles(packagePath, &signaturePath, packageName);
}

kv::Status sign_CheckWith(const std::string& packagePath, const std::string& signaturePath) {
  return CheckFiles(packagePath, &signaturePath, packagePath);
}

int sign_VerifyWith(const std::string& packagePath, const std::string& signaturePath) {
  return Logged(sign_CheckWith(packagePath, signaturePath));
}

int sign_VerifyPackage(const char* name, int mode) { return Logged(sign_Check(name, mode)); }
