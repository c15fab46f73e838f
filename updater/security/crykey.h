// The AES-256 key and the initialisation vector of CRY payloads.
//
// Both are provisioned by the build from a key file (CMake option
// KV_CRY_KEY_FILE); the definitions are generated. The key is never stored
// whole: crykey_Assemble stores it into a static buffer through a chain of
// three routines, each storing its own runs of bytes.
#pragma once

#include <cstddef>

inline constexpr std::size_t kCryKeySize = 32;
inline constexpr std::size_t kCryIvSize = 16;

// Assembles the key into the static 32-byte buffer and returns it. The buffer
// keeps the key after the call. Calls crykey_AssembleMiddle, then stores its
// own run.
const unsigned char* crykey_Assemble();

// Stores a run, calls crykey_AssembleInner, stores another run.
void crykey_AssembleMiddle(unsigned char* key);

// Stores the innermost run.
void crykey_AssembleInner(unsigned char* key);

// The 16-byte initialisation vector (a constant, the same for every container).
const unsigned char* crykey_GetIv();

// 1 when the build was configured with the repository's development key file.
int crykey_IsDevelopment();
