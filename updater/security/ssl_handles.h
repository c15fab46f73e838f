// Owning handles for the OpenSSL objects of the security module, so that every
// path through a function releases them.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace kv {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Frees a whole BIO chain.
struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free_all(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Drops whatever a failed OpenSSL call left on the thread's error queue, so
// that one failure does not leak into the next check.
inline void ClearSslErrors() { ERR_clear_error(); }

}  // namespace kv
