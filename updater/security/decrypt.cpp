#include "security/decrypt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/safefile.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "security/bulkio.h"
#include "security/crykey.h"

namespace {

// Line number the cipher failure message has always named; tools that read
// the system log match on it.
constexpr int kDecryptUpdateLine = 462;

void SyncAndWait(long microseconds) {
  ::sync();
  kv_SleepMicroseconds(microseconds);
}

DecryptSettleFn gSettle = SyncAndWait;

std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Hands n plaintext bytes to out; logs the failure where it is decided.
bool WriteImage(int out, const unsigned char* data, std::size_t n, DecryptedImage& image) {
  if (!bulkio_WriteAll(out, data, n)) {
    log_Print(3, "DeCrypt, write to outfile .IPKTMP failed\n");
    return false;
  }
  image.written += n;
  return true;
}

void LogVerificator(const DecryptedImage& o, long offset, bool withPriority) {
  const unsigned sum = o.imageLength + o.verificator;
  const int priority = withPriority ? kPriorityDebug : kPriorityNotice;
  log_PrintPriority(priority, 2, "DeCrypt, Verificator tHead-imagelength: %ud \n", o.imageLength);
  log_PrintPriority(priority, 2, "DeCrypt, Verificator tHead->verificator: %ud \n", o.verificator);
  log_PrintPriority(priority, 2, "DeCrypt, Verificator + imagelength: %ud (sb=0)\n", sum);
  log_PrintPriority(priority, 2, "DeCrypt, Verificator offsetlength: %ud \n", static_cast<unsigned>(offset));
}

// Creates the temporary plaintext file afresh: the output folder may be one
// that others can write, and whatever they put at the name (a link to a file
// of the system, a FIFO) is removed, never written through or waited on.
kv::File CreateTemporary(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {};
  kv::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return {};
  kv::File f(::fdopen(fd.get(), "w+b"));
  if (f) (void)fd.release();
  return f;
}

}  // namespace

void decrypt_SetSettleHook(DecryptSettleFn fn) { gSettle = fn != nullptr ? fn : SyncAndWait; }

bool decrypt_InitCipher(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv) {
  if (ctx == nullptr || EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv) != 1) {
    kv::ClearSslErrors();
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  return true;
}

std::optional<DecryptedImage> decrypt_PeekHeader(const EVP_CIPHER_CTX* ctx, int in, long offset) {
  if (offset < 0) return std::nullopt;
  std::array<unsigned char, 16> block{};
  ssize_t got;
  do {
    got = ::pread(in, block.data(), block.size(), static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(block.size())) return std::nullopt;
  kv::CipherCtx copy(EVP_CIPHER_CTX_new());
  std::array<unsigned char, 32> plain{};
  int produced = 0;
  if (!copy || EVP_CIPHER_CTX_copy(copy.get(), ctx) != 1 ||
      EVP_DecryptUpdate(copy.get(), plain.data(), &produced, block.data(), static_cast<int>(block.size())) != 1 ||
      produced < static_cast<int>(block.size())) {
    kv::ClearSslErrors();
    return std::nullopt;
  }
  DecryptedImage header;
  header.imageLength = ReadLe32(plain.data() + 4);
  header.verificator = ReadLe32(plain.data() + 8);
  return header;
}

std::uint64_t decrypt_ImageRoom(std::uint64_t payloadBytes) {
  const std::uint64_t whole = payloadBytes & ~static_cast<std::uint64_t>(15);
  return whole >= kVerificationHeaderSize ? whole - kVerificationHeaderSize : 0;
}

kv::Result<DecryptedImage, DecryptError> decrypt_Stream(EVP_CIPHER_CTX* ctx, int in, long offset, int out) {
  DecryptedImage image;
  const auto failed = [&image](DecryptFailure kind) { return DecryptError{kind, image}; };
  // One buffer: each chunk is decrypted where it was read and written out
  // from there, so the data crosses memory once on the way in and once out.
  kv::CMemory<unsigned char> chunk = bulkio_AllocChunk(kDecryptChunkSize);
  if (!chunk) {
    log_Print(3, "DeCrypt, Mem alloc Encrypted data failed.\n");
    return failed(DecryptFailure::kNoMemory);
  }
  // A negative offset cannot be reached; reading from wherever the descriptor
  // stands would take the header for ciphertext.
  if (offset < 0 || ::lseek(in, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return failed(DecryptFailure::kSeekFailed);
  }
  bulkio_AdviseSequential(in, static_cast<off_t>(offset));

  bool first = true;
  bool complete = false;
  bool last = false;
  std::uint64_t remaining = 0;
  while (!complete && !last) {
    const BulkRead r = bulkio_ReadFull(in, chunk.get(), kDecryptChunkSize);
    if (r.got < 16) {
      // Up to 15 trailing bytes cannot form a block and are ignored.
      if (r.got == 0 && r.failed) {
        return failed(DecryptFailure::kReadFailed);
      }
      break;
    }
    // A short chunk is the end of the payload. Only its whole blocks are
    // decrypted: a partial last block never yields plaintext, and keeping it
    // out of the cipher keeps in-place decryption exact.
    last = r.got < kDecryptChunkSize;
    const std::size_t whole = r.got & ~static_cast<std::size_t>(15);
    unsigned char* const data = chunk.get();
    int produced = 0;
    if (EVP_DecryptUpdate(ctx, data, &produced, data, static_cast<int>(whole)) != 1) {
      kv::ClearSslErrors();
      log_Print(3, "DeCrypt, Err Decrypterr, EVP_DecryptUpdate failed line %d\n", kDecryptUpdateLine);
      return failed(DecryptFailure::kCipherFailed);
    }
    const auto n = static_cast<std::uint64_t>(produced);
    if (first) {
      first = false;
      image.imageLength = ReadLe32(data + 4);
      image.verificator = ReadLe32(data + 8);
      if (static_cast<std::uint32_t>(image.imageLength + image.verificator) != 0) {
        log_Print(2, "DeCrypt, Verificator failed. Abort loading \n");
        LogVerificator(image, offset, false);
        return failed(DecryptFailure::kVerificatorFailed);
      }
      const std::uint64_t available = n - kVerificationHeaderSize;
      const std::uint64_t take = image.imageLength <= available ? image.imageLength : available;
      if (!WriteImage(out, data + kVerificationHeaderSize, take, image)) return failed(DecryptFailure::kWriteFailed);
      remaining = image.imageLength - take;
    } else {
      const std::uint64_t take = remaining <= n ? remaining : n;
      if (!WriteImage(out, data, take, image)) return failed(DecryptFailure::kWriteFailed);
      remaining -= take;
    }
    complete = remaining == 0;
    if (r.failed && !complete) {
      return failed(DecryptFailure::kReadFailed);
    }
  }

  if (first) return failed(DecryptFailure::kNoHeader);
  if (!complete) return failed(DecryptFailure::kIncomplete);
  return image;
}

int DeCrypt(const char* path, const char* outFolder, int offset) {
  std::array<char, 255> file{};
  kv::CopyBounded(file, path != nullptr ? path : "", 254);
  const std::string folder = outFolder != nullptr ? outFolder : "";
  const char* slash = std::strrchr(file.data(), '/');
  std::string packageBase = slash != nullptr ? slash + 1 : file.data();
  if (const std::size_t dot = packageBase.rfind('.'); dot != std::string::npos) packageBase.resize(dot);
  log_PrintPriority(kPriorityDebug, 3, "DeCrypt, offset=%ld\n", static_cast<long>(offset));

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv())) {
    log_Print(2, "DeCrypt, DeCrypt Err EVP_DecryptInit_ex");
    return -1;
  }

  // Only a regular container is read: no link followed, no FIFO waited on.
  struct stat st {};
  kv::Result<kv::Fd> opened = safefile_OpenRegular(file.data(), &st);
  if (!opened) {
    log_Print(3, "DeCrypt, Can't open infile .CRY\n");
    return -1;
  }
  kv::Fd in = std::move(opened).value();
  // What the container claims must cost what it holds: a file with holes is
  // not read through, and an image length that the ciphertext present
  // cannot hold is refused before the output exists. A header whose
  // verificator fails is left to the stream, which logs that failure.
  if (!safefile_IsDense(in.get(), st)) {
    log_PrintPriority(kPriorityError, 1, "DeCrypt, %s is sparse: it holds fewer bytes than its size, not decrypted\n",
                      file.data());
    return -1;
  }
  if (const std::optional<DecryptedImage> header = decrypt_PeekHeader(ctx.get(), in.get(), offset);
      header && static_cast<std::uint32_t>(header->imageLength + header->verificator) == 0) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t room = decrypt_ImageRoom(size - static_cast<std::uint64_t>(offset));
    if (header->imageLength > room) {
      log_PrintPriority(kPriorityError, 1,
                        "DeCrypt, %s claims an image of %u bytes, but its payload holds at most %llu, not decrypted\n",
                        file.data(), header->imageLength, static_cast<unsigned long long>(room));
      return -1;
    }
  }
  const std::string tempPath = folder + kDecryptTempName;
  kv::File out = CreateTemporary(tempPath);
  if (!out) {
    log_Print(3, "DeCrypt- Can't open outfile .IPKTMP\n");
    return -1;
  }

  const kv::Result<DecryptedImage, DecryptError> stream =
      decrypt_Stream(ctx.get(), in.get(), offset, ::fileno(out.get()));
  if (!stream) {
    switch (stream.error().kind) {
      case DecryptFailure::kVerificatorFailed:
      case DecryptFailure::kCipherFailed:
      case DecryptFailure::kNoMemory: return -1;  // logged and released without waiting
      default: break;
    }
  }

  in.reset();
  // A plaintext that did not reach the disk whole must not be installed. The
  // file stays open: the package is copied from this very descriptor, so
  // nothing put at the temporary name meanwhile can take its place.
  const bool flushed = std::fflush(out.get()) == 0 && ::fsync(::fileno(out.get())) == 0;
  gSettle(2000000);
  ctx.reset();
  if (!stream) return -1;
  if (!flushed) {
    log_Print(3, "DeCrypt, write to outfile .IPKTMP failed\n");
    return -1;
  }

  log_Print(2, "DeCrypt, Verificator OK. !!!\n");
  LogVerificator(stream.value(), offset, true);
  gSettle(1000000);
  log_Print(2, "DeCrypt OK!\n");

  // The package name must be one that command lines can carry: every later
  // step that moves or unpacks the package runs commands with it. A copy the
  // command runner refuses, or one that fails (a full disk), fails the step.
  const std::string packagePath = folder + packageBase + ".ipk";
  const std::string command = "cp -p '" + tempPath + "' '" + packagePath + "'";
  if (cmd_Check(command.c_str()) == 0) return -1;
  log_Print(3, "DeCrypt :%s\n", command.c_str());
  // The package takes the verified bytes by name, not by a second write: the
  // temporary file's inode, held open since it was written, gets the
  // package's name (whatever entry stood there is replaced, never followed),
  // and the caller's removal of the temporary name leaves it one link.
  const kv::Status linked = statefile_LinkFrom(::fileno(out.get()), packagePath);
  if (!linked) {
    log_Print(3, "DeCrypt, copy to %s failed: %s\n", packagePath.c_str(), linked.error().message().c_str());
    return -1;
  }
  gSettle(1000000);
  return 0;
}
