// Signing keys in a PKCS #11 token (a smart card, an HSM), reached through
// OpenSSL's pkcs11 engine: the key's secret stays in the token, which signs
// the digest that OpenSSL hands it.
//
// OpenSSL 3.0 marks the engine interface deprecated, but the distribution
// packages no PKCS #11 provider for it; the engine is the supported way there.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <memory>
#include <string>

#include "kvpack/kvpack.h"

namespace kvpack {

namespace {

// An engine initialised for use: finished, then freed.
struct EngineDeleter {
  void operator()(ENGINE* engine) const noexcept {
    (void)ENGINE_finish(engine);
    (void)ENGINE_free(engine);
  }
};

// The engine asks for a PIN through a UI method; this one answers every
// request with a failure, for runs where nobody can type one. The flag tells
// that the token did ask.
bool pinAsked = false;

int RefuseToRead(UI* /*ui*/, UI_STRING* /*uis*/) {
  pinAsked = true;
  return -1;
}

using UiMethod = std::unique_ptr<UI_METHOD, decltype([](UI_METHOD* m) { UI_destroy_method(m); })>;

// The reasons on OpenSSL's error queue (the engine's and its module's), which
// is then emptied.
std::string TakeSslReason() {
  std::string reasons;
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    const char* reason = ERR_reason_error_string(code);
    reasons += std::string(reasons.empty() ? ": " : "; ") + (reason != nullptr ? reason : "unknown reason");
  }
  return reasons;
}

}  // namespace

kv::Result<PrivateKey> LoadTokenKey(const std::string& uri, const KeyAccess& access) {
  ENGINE* found = ENGINE_by_id("pkcs11");
  if (found == nullptr) {
    ERR_clear_error();
    return kv::Error(0, "cannot reach " + uri +
                            ": OpenSSL's pkcs11 engine is not installed (Debian package libengine-pkcs11-openssl)");
  }
  if (!access.pkcs11Module.empty() &&
      ENGINE_ctrl_cmd_string(found, "MODULE_PATH", access.pkcs11Module.c_str(), 0) != 1) {
    ENGINE_free(found);
    return kv::Error(0, "the pkcs11 engine refuses the module " + access.pkcs11Module + TakeSslReason());
  }
  // The engine prints its module's complaints itself unless told not to;
  // kvpack says once what failed.
  if (!access.verbose) (void)ENGINE_ctrl_cmd_string(found, "QUIET", nullptr, 0);
  if (ENGINE_init(found) != 1) {
    const std::string reason = TakeSslReason();
    ENGINE_free(found);
    return kv::Error(0, "cannot start OpenSSL's pkcs11 engine" + reason);
  }
  std::shared_ptr<ENGINE> engine(found, EngineDeleter());
  if (access.havePass && ENGINE_ctrl_cmd_string(engine.get(), "PIN", access.pass.c_str(), 0) != 1) {
    return kv::Error(0, "the pkcs11 engine refuses the PIN" + TakeSslReason());
  }
  UiMethod refuse(UI_create_method("kvpack: no terminal"));
  if (!refuse || UI_method_set_reader(refuse.get(), RefuseToRead) != 0) {
    ERR_clear_error();
    return kv::Error(0, "out of memory");
  }
  pinAsked = false;
  const bool prompt = access.mayPrompt && !access.havePass;
  PrivateKey loaded;
  loaded.key.reset(ENGINE_load_private_key(engine.get(), uri.c_str(), prompt ? UI_OpenSSL() : refuse.get(), nullptr));
  if (!loaded.key) {
    const std::string reason = TakeSslReason();
    if (pinAsked) {
      return kv::Error(0, uri +
                              ": the token needs its PIN and there is no terminal to ask for it; give it with "
                              "--pass env:VAR, --pass file:PATH or --pass fd:N");
    }
    return kv::Error(0, "cannot load the private key " + uri + " from its token" + reason);
  }
  // The key's operations run in the module that the engine loaded: the
  // engine stays initialised for as long as the key is used.
  loaded.session = std::move(engine);
  return loaded;
}

}  // namespace kvpack
