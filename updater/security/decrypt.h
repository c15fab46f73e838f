// CRY containers: the integrity check of the header and the decryption of the
// payload into an installable package.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/result.h"
#include "security/bulkio.h"

// Results of Decrypt_CheckInstallerFile.
inline constexpr int kCryHeaderOk = 1;
inline constexpr int kCryIsImage = 3;
inline constexpr int kCryBadName = -1;
inline constexpr int kCryNoFile = -2;
inline constexpr int kCryCannotOpen = -3;
inline constexpr int kCryNoMemory = -4;  // kept for callers; the header buffer is fixed, so never returned
inline constexpr int kCryFakeHeader = -6;

// Checks the header of the container at path (at most 254 characters used).
//   1  header accepted; *offset = its HEADERLENGTH (payload offset)
//   3  the base name begins with "IMAGE.CRY" (OS image; the file is not opened)
//  -1  the base name contains neither ".cry" nor ".CRY"
//  -2  the file does not exist
//  -3  the file cannot be opened
//  -6  too few header elements; *offset = 0
// *offset is untouched for 3, -1, -2 and -3. Never modifies the container.
[[nodiscard]] int Decrypt_CheckInstallerFile(int* offset, const char* path);

// Name of the temporary plaintext file in the output folder.
inline constexpr const char* kDecryptTempName = "INSTALLER.IPKTMP";

// Decrypts the payload of the container at path (at most 254 characters used)
// from offset into <outFolder>INSTALLER.IPKTMP, checks its verification header
// and copies the image to <outFolder><container name without its last
// extension>.ipk. outFolder ends with a slash and may be a folder that others
// can write: the temporary file is created afresh (whatever stood at its name
// is removed, never written through), and the copy is made from its open
// descriptor into a new file renamed over the package's name. Only a regular
// container is read (no link followed, no FIFO waited on), and only a dense
// one: a container with holes ("... is sparse: ...") and one whose
// verification header claims an image larger than its ciphertext can hold
// ("... claims an image of N bytes, but its payload holds at most M, ...")
// are refused with one line before the output file is created.
// Returns 0 when the image was decrypted, verified and copied into place, -1
// on every failure: also when the package name holds a character that the
// command runner refuses (the level-0 "Illegal character" line; no later step
// could move it) and when the copy fails (a full disk). Each success takes at
// least 4 s of fixed waits after flushing the file systems (2 s, 1 s, 1 s),
// which give slow flash time to settle. The temporary file is left for the
// caller.
[[nodiscard]] int DeCrypt(const char* path, const char* outFolder, int offset);

// --- The decryption core, shared with the packaging tool, the benchmark and
// --- the fuzzer. It does none of the fixed waits.

// Chunk of the decryption loop (a multiple of the cipher block). The chunking
// is not visible in the result: the plaintext is the same for every size.
inline constexpr std::size_t kDecryptChunkSize = kBulkChunkSize;
inline constexpr std::size_t kVerificationHeaderSize = 12;

// Why a stream of the payload failed.
enum class DecryptFailure {
  kNoHeader,           // fewer than 16 payload bytes: no verification header
  kVerificatorFailed,  // image length + verificator is not 0 modulo 2^32
  kIncomplete,         // the payload ended before the image length was reached
  kCipherFailed,       // the cipher update failed
  kSeekFailed,         // the payload offset could not be reached (negative)
  kReadFailed,         // the container could not be read
  kWriteFailed,        // the plaintext could not be written
  kNoMemory,           // the chunk buffer could not be had
};

// What the verification header said and how many image bytes were handed
// to the output: the whole image after a success, the part written before a
// failure.
struct DecryptedImage {
  std::uint32_t imageLength = 0;
  std::uint32_t verificator = 0;
  std::uint64_t written = 0;  // plaintext bytes handed to out
};

// A failed stream: why, and how far it had come (the packaging tool's
// inspector names the lengths, the decryption decides on the kind whether
// the fixed waits follow).
struct DecryptError {
  DecryptFailure kind = DecryptFailure::kNoHeader;
  DecryptedImage image;
};

// Prepares ctx for AES-256-CBC decryption with key (32 bytes) and iv (16
// bytes), block padding off. Returns false when the cipher cannot be set up.
[[nodiscard]] bool decrypt_InitCipher(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv);

// The verification header of the payload of in at offset, decrypted from its
// first cipher block (read with pread) by a copy of ctx: ctx itself and the
// descriptor's position stay as they were. Empty when no whole block lies
// at offset or the cipher fails.
[[nodiscard]] std::optional<DecryptedImage> decrypt_PeekHeader(const EVP_CIPHER_CTX* ctx, int in, long offset);

// The most image bytes a payload of payloadBytes can yield: its whole cipher
// blocks less the verification header.
[[nodiscard]] std::uint64_t decrypt_ImageRoom(std::uint64_t payloadBytes);

// Streams the payload of the descriptor in, from offset, through ctx: reads
// the verification header from the first plaintext block and writes the
// image bytes that follow it to the descriptor out, exactly image-length of
// them, with write(2). Whole cipher blocks only; up to 15 bytes after the last
// whole block are ignored. Stops reading once the image is complete. Each
// chunk is read, decrypted in place and written from one page-aligned buffer
// of kDecryptChunkSize bytes, whatever the payload size. Logs the
// chunk-buffer, cipher, write and verificator failure lines (offset is named
// in the latter).
kv::Result<DecryptedImage, DecryptError> decrypt_Stream(EVP_CIPHER_CTX* ctx, int in, long offset, int out);

// The step that follows each flush of the file systems: sync, then wait the
// given time. Tests replace it to observe the waits without spending them;
// nullptr restores the real one.
using DecryptSettleFn = void (*)(long microseconds);
void decrypt_SetSettleHook(DecryptSettleFn fn);
