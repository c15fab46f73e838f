#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/handles.h"
#include "kvpack/kvpack.h"

namespace kvpack {

std::string DefaultSignaturePath(const std::string& package) {
  const std::size_t slash = package.rfind('/');
  const std::size_t dot = package.rfind('.');
  const bool dotInName = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (dotInName ? package.substr(0, dot) : package) + ".sign64";
}

Signer::Signer() = default;
Signer::~Signer() = default;

bool Signer::Init(const std::string& privateKey, std::string* error) {
  std::string pem;
  if (!ReadWholeFile(privateKey, &pem, error)) return false;
  kv::Bio keyBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  key_.reset(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key_) {
    kv::ClearSslErrors();
    *error = privateKey + " is not a PEM private key (an encrypted key is not supported)";
    return false;
  }
  keyName_ = privateKey;
  return Restart(error);
}

bool Signer::Restart(std::string* error) {
  ctx_.reset(EVP_MD_CTX_new());
  total_ = 0;
  if (!ctx_ || !key_ || EVP_DigestSignInit(ctx_.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign with " + keyName_;
    return false;
  }
  return true;
}

bool Signer::Update(const void* data, std::size_t n) {
  total_ += n;
  if (n == 0) return true;
  if (EVP_DigestSignUpdate(ctx_.get(), data, n) != 1) {
    kv::ClearSslErrors();
    return false;
  }
  return true;
}

bool Signer::Finish(const std::string& what, std::string* base64, std::string* error) {
  if (total_ == 0) {
    // The device refuses an empty package whatever its signature.
    *error = what + " is empty; the device never accepts an empty package";
    return false;
  }
  std::size_t length = 0;
  if (EVP_DigestSignFinal(ctx_.get(), nullptr, &length) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign " + what;
    return false;
  }
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSignFinal(ctx_.get(), signature.data(), &length) != 1) {
    kv::ClearSslErrors();
    *error = "cannot sign " + what;
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
  base64->assign(text, static_cast<std::size_t>(textLength));
  return true;
}

bool SignFile(const std::string& privateKey, const std::string& input, const std::string& output, std::string* error) {
  Signer signer;
  if (!signer.Init(privateKey, error)) return false;
  kv::File in = kv::OpenFile(input.c_str(), "rb");
  if (!in) {
    *error = "cannot open " + input + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> chunk(65536);
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    if (!signer.Update(chunk.data(), got)) {
      *error = "cannot sign " + input;
      return false;
    }
  }
  if (std::ferror(in.get()) != 0) {
    *error = "cannot read " + input;
    return false;
  }
  std::string text;
  if (!signer.Finish(input, &text, error)) return false;

  OutputFile out;
  if (!out.Open(output, error)) return false;
  if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) {
    *error = "cannot write " + output;
    return false;
  }
  return out.Commit(error);
}

}  // namespace kvpack
