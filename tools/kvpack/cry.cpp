#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/cmd.h"
#include "core/handles.h"
#include "kvpack/kvpack.h"
#include "security/cryheader.h"
#include "security/decrypt.h"

namespace kvpack {

namespace {

constexpr std::size_t kChunk = 65536;
// The daemon's type reader sees the first 500 bytes.
constexpr std::size_t kFileTypeLimit = 499;

void PutLe32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

bool Encrypt(EVP_CIPHER_CTX* ctx, const unsigned char* data, std::size_t n, std::FILE* out,
             std::vector<unsigned char>& buffer) {
  buffer.resize(n + 32);
  int produced = 0;
  if (EVP_EncryptUpdate(ctx, buffer.data(), &produced, data, static_cast<int>(n)) != 1) return false;
  return std::fwrite(buffer.data(), 1, static_cast<std::size_t>(produced), out) == static_cast<std::size_t>(produced);
}

}  // namespace

bool JoinHeaderLines(std::span<const std::pair<const char*, std::string>> lines, std::string* text,
                     std::string* error) {
  for (const auto& [key, value] : lines) {
    std::string line = std::string(key) + ": " + value;
    if (line.size() > kCryLineLimit) {
      *error = std::string(key) + " line is longer than " + std::to_string(kCryLineLimit) + " characters";
      return false;
    }
    *text += line + "\r\n";
  }
  return true;
}

bool CheckToken(const char* what, const std::string& value, std::string* error) {
  if (value.empty()) {
    *error = std::string(what) + " is empty";
    return false;
  }
  for (const char c : value) {
    if (c <= ' ' || c > '~' || c == ':') {
      *error = std::string(what) + " \"" + value + "\" may hold only printable characters without blank or colon";
      return false;
    }
  }
  return true;
}

bool BuildCryHeader(const CryOptions& options, std::string* header, std::string* error) {
  if (!CheckToken("platform", options.platform, error) || !CheckToken("software part", options.swPart, error) ||
      !CheckToken("package name", options.packageName, error)) {
    return false;
  }
  if (options.fileType != "APP-CRY" && options.fileType != "UPDATE" && options.fileType != "UPDATE-FULL" &&
      options.fileType != "UPDATEFULL") {
    *error = "file type must be APP-CRY, UPDATE, UPDATE-FULL or UPDATEFULL";
    return false;
  }
  if (options.platform != "all" && PlatformImageType(options.platform) == 0) {
    *error = "platform must be all, KV2_TOUCH, KORVEL_R or KV_SR";
    return false;
  }
  const std::pair<const char*, std::string> lines[] = {
      {"HEADERLENGTH", std::to_string(options.headerLength)},
      {"PLATFORMNAME", options.platform},
      {"SWPART", options.swPart},
      {"PACKAGENAME", options.packageName},
      {"FILETYPE", options.fileType},
  };
  std::string text;
  if (!JoinHeaderLines(lines, &text, error)) return false;
  if (text.size() > kFileTypeLimit) {
    *error = "header lines are longer than " + std::to_string(kFileTypeLimit) + " bytes";
    return false;
  }
  text += "\r\n";
  if (options.headerLength < static_cast<int>(text.size()) + 1 || options.headerLength > kCryMaxHeaderLength) {
    *error = "header length must lie between " + std::to_string(text.size() + 1) + " and " +
             std::to_string(kCryMaxHeaderLength);
    return false;
  }
  *header = std::move(text);
  return true;
}

bool WriteCry(const CryOptions& options, const std::string& input, const std::string& output, std::string* error) {
  const std::size_t slash = output.rfind('/');
  const std::string baseName = slash == std::string::npos ? output : output.substr(slash + 1);
  if (baseName.find(".cry") == std::string::npos && baseName.find(".CRY") == std::string::npos) {
    *error = "container name " + baseName + " must contain .CRY or .cry";
    return false;
  }
  if (baseName.rfind("IMAGE.CRY", 0) == 0) {
    *error = "a name beginning with IMAGE.CRY is taken for the OS image and is not decrypted";
    return false;
  }
  // The device copies the plaintext to <name without extension>.ipk with a
  // shell command that admits only these characters.
  char refused = 0;
  if (cmd_IsAllowedLine(baseName, &refused) == 0 || baseName.find('\'') != std::string::npos) {
    *error = "container name " + baseName + " holds a character the device refuses in commands";
    return false;
  }
  if (baseName.rfind('.') > 140) {
    *error = "container name " + baseName + " is too long for the device (140 characters before the extension)";
    return false;
  }

  std::string header;
  if (!BuildCryHeader(options, &header, error)) return false;

  kv::File in = kv::OpenFile(input.c_str(), "rb");
  struct stat st {};
  if (!in || ::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot read " + input + (in ? ": not a regular file" : std::string(": ") + std::strerror(errno));
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) {
    *error = input + " is larger than the 4 GiB a container can carry";
    return false;
  }
  const auto imageLength = static_cast<std::uint32_t>(st.st_size);

  OutputFile out;
  if (!out.Open(output, error)) return false;
  std::string filled = header;
  filled.resize(static_cast<std::size_t>(options.headerLength), '\0');
  if (std::fwrite(filled.data(), 1, filled.size(), out.get()) != filled.size()) {
    *error = "cannot write " + output;
    return false;
  }

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, options.key.key, options.key.iv) != 1) {
    kv::ClearSslErrors();
    *error = "cannot set up AES-256-CBC";
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

  // Verification header: a random leading word keeps equal images from
  // giving equal first blocks under the fixed initialisation vector.
  unsigned char verification[kVerificationHeaderSize] = {};
  if (RAND_bytes(verification, 4) != 1) {
    *error = "no random bytes";
    return false;
  }
  PutLe32(verification + 4, imageLength);
  PutLe32(verification + 8, static_cast<std::uint32_t>(0u - imageLength));

  std::vector<unsigned char> plain(kChunk + 16);
  std::vector<unsigned char> cipher;
  std::memcpy(plain.data(), verification, sizeof verification);
  std::size_t pending = sizeof verification;
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(plain.data() + pending, 1, kChunk, in.get());
    total += got;
    pending += got;
    const bool last = got == 0;
    if (last) {
      if (std::ferror(in.get()) != 0 || total != imageLength) {
        *error = "cannot read " + input + " (changed while packing?)";
        return false;
      }
      const std::size_t padded = (pending + 15) / 16 * 16;
      std::memset(plain.data() + pending, 0, padded - pending);
      pending = padded;
    }
    const std::size_t whole = pending / 16 * 16;
    if (!Encrypt(ctx.get(), plain.data(), whole, out.get(), cipher)) {
      kv::ClearSslErrors();
      *error = "cannot encrypt or write " + output;
      return false;
    }
    std::memmove(plain.data(), plain.data() + whole, pending - whole);
    pending -= whole;
    if (last) break;
  }
  return out.Commit(error);
}

}  // namespace kvpack
