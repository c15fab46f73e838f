#include <openssl/evp.h>
#include <sys/stat.h>

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

kv::Status Signer::Init(const std::string& privateKey, const KeyAccess& access) {
  auto loaded = LoadPrivateKey(privateKey, access);
  if (!loaded) return loaded.error();
  session_ = std::move(loaded.value().session);
  key_ = std::move(loaded.value().key);
  keyName_ = privateKey;
  return Restart();
}

std::string Signer::Describe() const {
  if (!key_) return "no key";
  const char* type = EVP_PKEY_get0_type_name(key_.get());
  return std::string(type != nullptr ? type : "unknown") + "-" + std::to_string(EVP_PKEY_get_bits(key_.get()));
}

kv::Status Signer::Restart() {
  ctx_.reset(EVP_MD_CTX_new());
  total_ = 0;
  if (!ctx_ || !key_ || EVP_DigestSignInit(ctx_.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot sign with " + keyName_);
  }
  return kv::Ok();
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

kv::Result<std::string> Signer::Finish(const std::string& what) {
  if (total_ == 0) {
    // The device refuses an empty package whatever its signature.
    return kv::Error(0, what + " is empty; the device never accepts an empty package");
  }
  std::size_t length = 0;
  if (EVP_DigestSignFinal(ctx_.get(), nullptr, &length) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot sign " + what);
  }
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSignFinal(ctx_.get(), signature.data(), &length) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot sign " + what);
  }

  // Base64 in 64-character lines, each ended by a line feed: the form the
  // device's Base64 filter reads.
  kv::Bio chain(BIO_new(BIO_f_base64()));
  BIO* memory = BIO_new(BIO_s_mem());
  if (!chain || memory == nullptr) {
    BIO_free(memory);
    return kv::Error(0, "out of memory");
  }
  BIO_push(chain.get(), memory);
  if (BIO_write(chain.get(), signature.data(), static_cast<int>(length)) != static_cast<int>(length) ||
      BIO_flush(chain.get()) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot encode the signature");
  }
  char* text = nullptr;
  const long textLength = BIO_get_mem_data(memory, &text);
  return std::string(text, static_cast<std::size_t>(textLength));
}

kv::Status SignFile(const std::string& privateKey, const std::string& input, const std::string& output,
                    const SignOptions& options) {
  if (const std::string name = BaseName(output); name.size() > kMaxFileNameBytes) {
    return kv::Error(0, name + ": a file name holds at most " + std::to_string(kMaxFileNameBytes) +
                            " bytes; the device finds a signature under the package's whole name up to its "
                            "last full stop, so this package cannot be signed under this name");
  }
  // Refused before the key is opened, so that nobody types a pass phrase in
  // vain; the commit refuses again should the output appear meanwhile.
  struct stat st {};
  if (!options.replace && ::lstat(output.c_str(), &st) == 0) {
    return kv::Error(0, output + " exists; give --force to replace it");
  }
  Signer signer;
  if (auto ready = signer.Init(privateKey, options.access); !ready) return ready;
  if (options.keyType != nullptr) *options.keyType = signer.Describe();
  kv::File in = kv::OpenFile(input.c_str(), "rb");
  if (!in) return kv::SystemError("cannot open " + input);
  std::vector<unsigned char> chunk(65536);
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (got == 0) break;
    if (!signer.Update(chunk.data(), got)) {
      return kv::Error(0, "cannot sign " + input);
    }
  }
  if (std::ferror(in.get()) != 0) {
    return kv::Error(0, "cannot read " + input);
  }
  const auto signature = signer.Finish(input);
  if (!signature) return signature.error();
  const std::string& text = signature.value();

  OutputFile out;
  if (auto opened = out.Open(output); !opened) return opened;
  if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) {
    return kv::Error(0, "cannot write " + output);
  }
  return out.Commit(options.replace);
}

}  // namespace kvpack
