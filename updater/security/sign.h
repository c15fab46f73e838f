// Detached package signatures: a Base64 ".sign64" file in the bundle folder,
// checked with SHA-256 against the device's public key
// "/home/root/.sign/ipksignkeypublic.pem" (any key type the PEM public-key
// reader accepts; RSA uses PKCS #1 v1.5).
#pragma once

#include <string>

#include "core/result.h"

// Mode of sign_VerifyPackage whose package lies in the watch folder; every
// other mode (the loop uses 2) means the work folder.
inline constexpr int kSignModeWatchFolder = 3;
inline constexpr int kSignModeWorkFolder = 2;

// Verifies the package name (no folder) in the watch folder (mode 3) or the
// work folder (any other mode) against <bundle folder><name up to its last
// full stop, however long>.sign64 (sign_SignatureName). Returns 1 when the
// signature is valid, 0 otherwise; logs the outcome at level 1. A package
// with holes is refused before it is read ("Signature check, file %s is
// sparse: ..."). Never changes or removes a file.
[[nodiscard]] int sign_VerifyPackage(const char* name, int mode);

// The line sign_VerifyPackage logs for a valid signature.
inline constexpr const char* kSignatureOkLine = "Signature check, Signature OK!, Continuing installation";

// The same check without logging; a refusal's message is the line that
// sign_VerifyPackage logs for it.
[[nodiscard]] kv::Status sign_Check(const char* name, int mode);

// The name of a package's signature file: the whole package file name up to
// its last full stop, followed by ".sign64"; empty when the name has no full
// stop. The packaging tool names signatures the same way. The name is not
// cut: a package whose stem is too long for a signature file name (more than
// 248 bytes, with the file system's 255) simply has no signature.
std::string sign_SignatureName(const std::string& name);

// The same check of the package file at packagePath against the signature
// file at signaturePath (full paths), for a package whose signature is not
// (yet) the one named after it: a package still under the name it arrived
// with, a bundle member in the bundle folder.
[[nodiscard]] kv::Status sign_CheckWith(const std::string& packagePath, const std::string& signaturePath);

// sign_CheckWith, with the outcome logged as sign_VerifyPackage logs it.
// Returns 1 when the signature is valid, 0 otherwise.
[[nodiscard]] int sign_VerifyWith(const std::string& packagePath, const std::string& signaturePath);

// Verifies the whole file at path, read from its start to its end with read(2)
// through one chunk buffer, against the Base64 signature text with the PEM
// public key text.
// size is the file's size; a size of 0 fails. True only when the final
// verification step reports success.
[[nodiscard]] bool sign_VerifyFile(const char* keyText, const char* path, long long size, const char* signatureText);
