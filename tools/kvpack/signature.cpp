#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/handles.h"
#include "kvpack/kvpack.h"
#include "security/ssl_handles.h"

namespace kvpack {

std::string DefaultSignaturePath(const std::string& package) {
  const std::size_t slash = package.rfind('/');
  const std::size_t dot = package.rfind('.');
  const bool dotInName = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (dotInName ? package.substr(0, dot) : package) + ".sign64";
}

bool SignFile(const std::string& privateKey, const std::string& input, const std::string& output,
              std::string* error) {
  std::string pem;
  if (!ReadWholeFile(privateKey, &pem, error)) return false;
  kv::Bio keyBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  kv::Pkey key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    kv::ClearSslErrors();
    *error = privateKey + " is not a PEM private key (an encrypted key is not supported)";
    return false;
  }

  kv::File in = kv::OpenFile(input.c_str(), "rb");
  if (!in) {
    *error = "cannot open " + input + ": " + std::strerror(errno);
    return false;
  }
  kv::MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign with " + privateKey;
    return false;
  }
  std::vector<unsigned char> chunk(65536);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    total += got;
    if (EVP_DigestSignUpdate(ctx.get(), chunk.data(), got) != 1) {
      kv::ClearSslErrors();
      *error = "cannot sign " + input;
      return false;
    }
  }
  if (std::ferror(in.get()) != 0) {
    *error = "cannot read " + input;
    return false;
  }
  if (total == 0) {
    // The device refuses an empty package whatever its signature.
    *error = input + " is empty; the device never accepts an empty package";
    return false;
  }
  std::size_t length = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign " + input;
    return false;
  }
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign " + input;
    return false;
  }

  // Base64 in 64-character lines, each ended by a line feed: the form the
  // device's Base64 filter reads.
  kv::Bio chain(BIO_new(BIO_f_base64()));
  BIO* memory = BIO_new(BIO_s_mem());
  if (!chain || memory == nullptr) {
    BIO_free(memory);
    *error = "out of memory";
    return false;
  }
  BIO_push(chain.get(), memory);
  if (BIO_write(chain.get(), signature.data(), static_cast<int>(length)) != static_cast<int>(length) ||
      BIO_flush(chain.get()) != 1) {
    kv::ClearSslErrors();
    *error = "cannot encode the signature";
    return false;
  }
  char* text = nullptr;
  const long textLength = BIO_get_mem_data(memory, &text);

  OutputFile out;
  if (!out.Open(output, error)) return false;
  if (std::fwrite(text, 1, static_cast<std::size_t>(textLength), out.get()) != static_cast<std::size_t>(textLength)) {
    *error = "cannot write " + output;
    return false;
  }
  return out.Commit(error);
}

}  // namespace kvpack
