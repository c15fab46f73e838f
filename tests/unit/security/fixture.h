// Shared helpers of the security tests: containers made with OpenSSL directly
// (independently of the packaging tool), a sandbox device root, and log
// capture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/capture.h"

namespace sectest {

// Plaintext of a payload: 4-byte leading word, image length and verificator
// (little-endian), the image, zeros up to the block size.
std::string Plaintext(const std::string& image, std::uint32_t imageLength, std::uint32_t verificator);
inline std::string Plaintext(const std::string& image) {
  const auto n = static_cast<std::uint32_t>(image.size());
  return Plaintext(image, n, 0u - n);
}

// AES-256-CBC without padding (plaintext a multiple of 16) with the build's
// key, or with the given 32-byte key.
std::string Encrypt(const std::string& plaintext, const unsigned char* key = nullptr);

// A header of CR LF lines, then the closing empty line.
std::string CrLfHeader(const std::vector<std::string>& lines);

// Header text padded with NULs to offset, followed by payload.
std::string Container(const std::string& header, std::size_t offset, const std::string& payload);

// Deterministic bytes.
std::string Pattern(std::size_t n, unsigned seed = 1);

// Log lines received, without trailing newlines, as "<priority>|<text>".
std::vector<std::string> Lines(kvtest::SyslogCapture& syslog);

// Sets the verbose level without the line it prints.
void QuietVerbose(int level);

}  // namespace sectest
