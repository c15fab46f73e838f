// Feeds arbitrary payloads and offsets to the decryption core. The first byte
// chooses how the rest is used: odd, as ciphertext as it stands; even, as
// plaintext that the harness encrypts with the build's key first, so that
// inputs get past the verification header into the chunk arithmetic. Bytes
// 1 to 4 give the payload offset (may be negative or past the end).
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/handles.h"
#include "security/crykey.h"
#include "security/decrypt.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (size < 5 || sink < 0) return 0;
  const bool encrypt = (data[0] & 1) == 0;
  std::int32_t offset32;
  std::memcpy(&offset32, data + 1, 4);
  const long offset = offset32 % 4096;
  std::vector<unsigned char> container(data + 5, data + size);

  if (encrypt && container.size() >= 16) {
    // Encrypt every whole block; a partial last block stays as it is.
    const std::size_t whole = container.size() / 16 * 16;
    kv::CipherCtx enc(EVP_CIPHER_CTX_new());
    EVP_EncryptInit_ex(enc.get(), EVP_aes_256_cbc(), nullptr, crykey_Assemble(), crykey_GetIv());
    EVP_CIPHER_CTX_set_padding(enc.get(), 0);
    std::vector<unsigned char> out(whole + 16);
    int n = 0;
    EVP_EncryptUpdate(enc.get(), out.data(), &n, container.data(), static_cast<int>(whole));
    std::memcpy(container.data(), out.data(), static_cast<std::size_t>(n));
  }

  kv::Fd in(::memfd_create("container", MFD_CLOEXEC));
  if (!in) return 0;
  if (!container.empty() &&
      ::write(in.get(), container.data(), container.size()) != static_cast<ssize_t>(container.size())) {
    return 0;
  }
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  Check(decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv()));
  const auto stream = decrypt_Stream(ctx.get(), in.get(), offset, sink);
  const DecryptedImage& o = stream ? stream.value() : stream.error().image;

  const std::size_t payload = offset >= 0 && static_cast<std::size_t>(offset) < container.size()
                                  ? container.size() - static_cast<std::size_t>(offset)
                                  : 0;
  if (stream) {
    Check(o.written == o.imageLength);
    Check(static_cast<std::uint32_t>(o.imageLength + o.verificator) == 0);
    Check(o.written + kVerificationHeaderSize <= payload);
    return 0;
  }
  switch (stream.error().kind) {
    case DecryptFailure::kIncomplete: Check(o.written < o.imageLength); break;
    case DecryptFailure::kNoHeader:
    case DecryptFailure::kVerificatorFailed:
    case DecryptFailure::kSeekFailed: Check(o.written == 0); break;
    default: Check(false);
  }
  return 0;
}
