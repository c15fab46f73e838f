// Private keys that sign: PEM files (encrypted ones too) and keys in a PKCS #11
// token, with their pass phrase or PIN given the way the openssl tools take
// it, and never asked for where nobody can answer.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/handles.h"
#include "kvpack/kvpack.h"

namespace kvpack {

namespace {

// Longest pass phrase read from a file or descriptor: far above any real one,
// so that a wrong source (a large file, an endless pipe) fails quickly.
constexpr std::size_t kMaxPassBytes = 4096;

// The first line (without its line end) of what fd gives, reading no further.
kv::Result<std::string> FirstLine(int fd, const std::string& what) {
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("cannot read the pass phrase from " + what);
    if (n == 0 || c == '\n') break;
    if (line.size() == kMaxPassBytes) {
      OPENSSL_cleanse(line.data(), line.size());
      return kv::Error(0,
                       "the pass phrase from " + what + " is longer than " + std::to_string(kMaxPassBytes) + " bytes");
    }
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The state of one PEM key's decoding, handed to the pass phrase callback.
struct PassState {
  const KeyAccess* access = nullptr;
  const std::string* keyName = nullptr;
  bool asked = false;     // the key is encrypted: a pass phrase was asked for
  bool answered = false;  // one was given (by --pass or on the terminal)
  std::string prompted;   // what the terminal gave, kept for a second request
  ~PassState() { OPENSSL_cleanse(prompted.data(), prompted.size()); }
};

int CopyPass(const std::string& pass, char* buffer, int size) {
  if (pass.size() > static_cast<std::size_t>(size)) return -1;
  // OpenSSL takes the length returned, not a terminating NUL.
  std::copy(pass.begin(), pass.end(), buffer);
  return static_cast<int>(pass.size());
}

// OpenSSL's decoder may ask more than once for one key; the terminal is asked
// at most once, and never when standard input is not a terminal (a build
// server), where the answer is a failure that LoadPemKey then explains.
int PassCallback(char* buffer, int size, int /*rwflag*/, void* data) {
  auto* state = static_cast<PassState*>(data);
  state->asked = true;
  if (state->access->havePass) {
    state->answered = true;
    return CopyPass(state->access->pass, buffer, size);
  }
  if (state->answered) return CopyPass(state->prompted, buffer, size);
  if (!state->access->mayPrompt) return -1;
  std::vector<char> typed(kMaxPassBytes + 1, '\0');
  const std::string prompt = "Enter pass phrase for " + *state->keyName + ":";
  const int read = EVP_read_pw_string(typed.data(), static_cast<int>(typed.size()), prompt.c_str(), 0);
  if (read == 0) {
    state->answered = true;
    state->prompted = typed.data();
  }
  OPENSSL_cleanse(typed.data(), typed.size());
  return read == 0 ? CopyPass(state->prompted, buffer, size) : -1;
}

kv::Result<PrivateKey> LoadPemKey(const std::string& path, const KeyAccess& access) {
  auto read = ReadWholeFile(path);
  if (!read) return read.error();
  std::string pem = std::move(read).value();
  PassState state;
  state.access = &access;
  state.keyName = &path;
  PrivateKey loaded;
  {
    kv::Bio keyBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    loaded.key.reset(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, PassCallback, &state) : nullptr);
  }
  OPENSSL_cleanse(pem.data(), pem.size());
  if (loaded.key) return loaded;
  kv::ClearSslErrors();
  if (state.asked && !state.answered) {
    return kv::Error(0, path +
                            " is protected by a pass phrase and there is no terminal to ask for it; give it with "
                            "--pass env:VAR, --pass file:PATH or --pass fd:N");
  }
  if (state.asked) return kv::Error(0, "wrong pass phrase for " + path);
  return kv::Error(0, path + " is not a PEM private key");
}

// The device checks a SHA-256 signature with EVP_DigestVerify under its PEM
// public key: that works for these key types and no other (Ed25519 and Ed448
// sign without a separate digest; X25519, X448 and DH do not sign at all).
bool DeviceVerifies(const EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
    case EVP_PKEY_EC:
    case EVP_PKEY_DSA: return true;
    default: return false;
  }
}

}  // namespace

KeyAccess::~KeyAccess() { OPENSSL_cleanse(pass.data(), pass.size()); }

kv::Result<std::string> ReadPassSource(const std::string& source) {
  const std::string_view s(source);
  if (s.starts_with("pass:")) return std::string(s.substr(5));
  if (s.starts_with("env:")) {
    const std::string name(s.substr(4));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value == nullptr) return kv::Error(0, "--pass " + source + ": the variable " + name + " is not set");
    return std::string(value);
  }
  if (s.starts_with("file:")) {
    const std::string path(s.substr(5));
    const kv::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return kv::SystemError("--pass " + source + ": cannot open " + path);
    return FirstLine(fd.get(), path);
  }
  if (s.starts_with("fd:")) {
    const std::string digits(s.substr(3));
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || errno != 0 || fd < 0 || fd > 65535) {
      return kv::Error(0, "--pass " + source + ": fd: needs a descriptor number");
    }
    return FirstLine(static_cast<int>(fd), "descriptor " + digits);
  }
  if (s == "stdin") return FirstLine(STDIN_FILENO, "standard input");
  return kv::Error(0, "--pass " + source + ": expected pass:TEXT, env:VAR, file:PATH, fd:N or stdin");
}

bool IsTokenKey(const std::string& key) { return key.rfind("pkcs11:", 0) == 0; }

kv::Result<PrivateKey> LoadPrivateKey(const std::string& key, const KeyAccess& access) {
  auto loaded = IsTokenKey(key) ? LoadTokenKey(key, access) : LoadPemKey(key, access);
  if (!loaded) return loaded;
  const EVP_PKEY* pkey = loaded.value().key.get();
  if (!DeviceVerifies(pkey)) {
    const char* type = EVP_PKEY_get0_type_name(pkey);
    return kv::Error(0, key + " holds a key of type " + std::string(type != nullptr ? type : "unknown") +
                            ", which the device cannot verify: it checks SHA-256 signatures made with RSA, EC "
                            "(ECDSA) or DSA keys");
  }
  return loaded;
}

}  // namespace kvpack
