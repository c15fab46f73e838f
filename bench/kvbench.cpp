// kvbench: the measuring half of bench/run.sh. Each command does one thing so
// that the script can alternate it with the reference it is compared with.
//
//   kvbench payload OUT MIB      write an encrypted payload of MIB MiB (offset 0)
//   kvbench keyhex               print the build's key and IV as hex
//   kvbench decrypt FILE [SECONDS]
//                                run the decryption core over FILE into /dev/null
//   kvbench verify FILE SIGN64 PUBLIC.pem [SECONDS]
//                                run the signature check over FILE
//   kvbench io FILE FOLDER       time one read of FILE from the page cache and
//                                one write of as many bytes into a new file in
//                                FOLDER, flushed to the disk (fsync); prints
//                                "<bytes> <read s> <write s>", each the best of 3
// decrypt and verify repeat whole passes over FILE until SECONDS (default 1)
// have passed, at least one, the way `openssl speed` repeats its loop, and
// print "<MiB/s> <peak resident KiB>": the throughput over all passes (each
// pass timed from opening the file to closing it, key and cipher set-up
// included) and the peak resident memory of the process.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "security/bulkio.h"
#include "security/crykey.h"
#include "security/decrypt.h"
#include "security/sign.h"

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

double Now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs pass() (which returns the bytes it went through, or -1) until seconds
// have passed, and prints the throughput and the peak memory.
template <typename Pass>
int Repeat(double seconds, Pass pass) {
  double spent = 0;
  double bytes = 0;
  do {
    const double start = Now();
    const long long n = pass();
    if (n < 0) return 1;
    spent += Now() - start;
    bytes += static_cast<double>(n);
  } while (spent < seconds);
  std::printf("%.0f %ld\n", bytes / (1 << 20) / spent, PeakKib());
  return 0;
}

long long FileBytes(const char* path) {
  kv::File in = kv::OpenFile(path, "rb");
  if (!in || std::fseek(in.get(), 0, SEEK_END) != 0) return -1;
  return std::ftell(in.get());
}

// One pass as DeCrypt makes it, without its waits and its copy.
long long DecryptPass(const char* path) {
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv())) return -1;
  kv::File in = kv::OpenFile(path, "rb");
  kv::File out = kv::OpenFile("/dev/null", "wb");
  if (!in || !out) {
    std::fprintf(stderr, "kvbench: cannot open %s\n", path);
    return -1;
  }
  const auto o = decrypt_Stream(ctx.get(), ::fileno(in.get()), 0, ::fileno(out.get()));
  if (!o) {
    std::fprintf(stderr, "kvbench: decryption failed (%d)\n", static_cast<int>(o.error().kind));
    return -1;
  }
  return static_cast<long long>(o.value().written + kVerificationHeaderSize);
}

int Decrypt(const char* path, double seconds) {
  return Repeat(seconds, [&] { return DecryptPass(path); });
}

int Verify(const char* path, const char* signature, const char* publicKey, double seconds) {
  const std::string sig = Slurp(signature);
  const std::string key = Slurp(publicKey);
  return Repeat(seconds, [&]() -> long long {
    const long long size = FileBytes(path);
    if (size < 0 || !sign_VerifyFile(key.c_str(), path, size, sig.c_str())) {
      std::fprintf(stderr, "kvbench: signature check failed\n");
      return -1;
    }
    return size;
  });
}

// The payload's one read and one write on the intake road, at the speeds of
// this machine: the reference of the intake benchmark's floor.
int Io(const char* path, const char* folder) {
  kv::CMemory<unsigned char> chunk = bulkio_AllocChunk(kBulkChunkSize);
  const std::string outPath = std::string(folder) + "/kvbench-io.tmp";
  double bestRead = 1e9;
  double bestWrite = 1e9;
  long long bytes = 0;
  for (int round = 0; round < 3 && chunk; ++round) {
    double start = Now();
    kv::Fd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (!in) return 1;
    bytes = 0;
    for (;;) {
      const BulkRead r = bulkio_ReadFull(in.get(), chunk.get(), kBulkChunkSize);
      if (r.failed) return 1;
      bytes += static_cast<long long>(r.got);
      if (r.got < kBulkChunkSize) break;
    }
    bestRead = std::min(bestRead, Now() - start);

    start = Now();
    kv::Fd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) return 1;
    for (long long left = bytes; left > 0;) {
      const auto n = static_cast<std::size_t>(std::min<long long>(left, kBulkChunkSize));
      if (!bulkio_WriteAll(out.get(), chunk.get(), n)) return 1;
      left -= static_cast<long long>(n);
    }
    if (::fsync(out.get()) != 0) return 1;
    bestWrite = std::min(bestWrite, Now() - start);
    ::unlink(outPath.c_str());
  }
  if (!chunk) return 1;
  std::printf("%lld %.6f %.6f\n", bytes, bestRead, bestWrite);
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
  const auto seconds = [&](int i) { return argc > i ? std::atof(argv[i]) : 1.0; };
  if (command == "decrypt" && (argc == 3 || argc == 4)) return Decrypt(argv[2], seconds(3));
  if (command == "verify" && (argc == 5 || argc == 6)) return Verify(argv[2], argv[3], argv[4], seconds(5));
  if (command == "io" && argc == 4) return Io(argv[2], argv[3]);
  std::fprintf(
      stderr,
      "usage: kvbench payload OUT MIB | keyhex | decrypt FILE [SECONDS] | verify FILE SIGN64 PUBLIC.pem [SECONDS]"
      " | io FILE FOLDER\n");
  return 2;
}
