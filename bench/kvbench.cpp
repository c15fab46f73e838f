// kvbench: the measuring half of bench/run.sh. Each command does one thing so
// that the script can time it from outside, the same way it times openssl.
//
//   kvbench payload OUT MIB      write an encrypted payload of MIB MiB (offset 0)
//   kvbench keyhex               print the build's key and IV as hex
//   kvbench decrypt FILE         run the decryption core over FILE into /dev/null
//   kvbench verify FILE SIGN64 PUBLIC.pem
//                                run the signature check over FILE
// decrypt and verify print the peak resident memory of the process (KiB).
#include <openssl/evp.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "security/crykey.h"
#include "security/decrypt.h"
#include "security/sign.h"
#include "security/ssl_handles.h"

namespace {

long PeakKib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string Slurp(const char* path) {
  std::string text;
  kv::File in = kv::OpenFile(path, "rb");
  if (!in) return text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) text.append(chunk, n);
  return text;
}

int Payload(const char* out, long mib) {
  const std::uint64_t total = static_cast<std::uint64_t>(mib) << 20;
  // Verification header + image fill the file exactly, with 4 padding bytes.
  const auto image = static_cast<std::uint32_t>(total - 16);
  kv::File file = kv::OpenFile(out, "wb");
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!file || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, crykey_Assemble(), crykey_GetIv()) != 1) {
    std::fprintf(stderr, "kvbench: cannot write %s\n", out);
    return 1;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<unsigned char> plain(1 << 20);
  std::vector<unsigned char> cipher(plain.size() + 16);
  std::uint32_t x = 12345;
  for (std::uint64_t done = 0; done < total; done += plain.size()) {
    for (unsigned char& c : plain) {
      x = x * 1103515245u + 12345u;
      c = static_cast<unsigned char>(x >> 16);
    }
    if (done == 0) {
      std::memcpy(plain.data() + 4, &image, 4);  // little-endian host
      const std::uint32_t verificator = 0u - image;
      std::memcpy(plain.data() + 8, &verificator, 4);
    }
    int n = 0;
    EVP_EncryptUpdate(ctx.get(), cipher.data(), &n, plain.data(), static_cast<int>(plain.size()));
    if (std::fwrite(cipher.data(), 1, static_cast<std::size_t>(n), file.get()) != static_cast<std::size_t>(n)) {
      std::fprintf(stderr, "kvbench: cannot write %s\n", out);
      return 1;
    }
  }
  return 0;
}

int Decrypt(const char* path) {
  kv::File in = kv::OpenFile(path, "rb");
  kv::File out = kv::OpenFile("/dev/null", "wb");
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!in || !out || !decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv())) {
    std::fprintf(stderr, "kvbench: cannot open %s\n", path);
    return 1;
  }
  const DecryptOutcome o = decrypt_Stream(ctx.get(), in.get(), 0, out.get());
  if (o.status != DecryptStatus::kOk) {
    std::fprintf(stderr, "kvbench: decryption failed (%d)\n", static_cast<int>(o.status));
    return 1;
  }
  std::printf("%ld\n", PeakKib());
  return 0;
}

int Verify(const char* path, const char* signature, const char* publicKey) {
  const std::string sig = Slurp(signature);
  const std::string key = Slurp(publicKey);
  kv::File in = kv::OpenFile(path, "rb");
  if (!in || std::fseek(in.get(), 0, SEEK_END) != 0) return 1;
  const long size = std::ftell(in.get());
  if (!sign_VerifyFile(key.c_str(), path, size, sig.c_str())) {
    std::fprintf(stderr, "kvbench: signature check failed\n");
    return 1;
  }
  std::printf("%ld\n", PeakKib());
  return 0;
}

std::string Hex(const unsigned char* p, std::size_t n) {
  std::string s;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "payload" && argc == 4) return Payload(argv[2], std::atol(argv[3]));
  if (command == "keyhex" && argc == 2) {
    std::printf("%s %s\n", Hex(crykey_Assemble(), kCryKeySize).c_str(), Hex(crykey_GetIv(), kCryIvSize).c_str());
    return 0;
  }
  if (command == "decrypt" && argc == 3) return Decrypt(argv[2]);
  if (command == "verify" && argc == 5) return Verify(argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: kvbench payload OUT MIB | keyhex | decrypt FILE | verify FILE SIGN64 PUBLIC.pem\n");
  return 2;
}
