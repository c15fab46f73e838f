#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

// The first four bytes of the SHA-256 of what in gives, read to its end; in
// is then back at its start.
kv::Status LeadingWordFromContent(std::FILE* in, const std::string& what, unsigned char* word) {
  kv::MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot set up SHA-256");
  }
  std::vector<unsigned char> chunk(kChunk);
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), chunk.data(), got) != 1) {
      kv::ClearSslErrors();
      return kv::Error(0, "cannot hash " + what);
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (std::ferror(in) != 0 || EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length < 4 ||
      std::fseek(in, 0, SEEK_SET) != 0) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot read " + what);
  }
  std::memcpy(word, digest, 4);
  return kv::Ok();
}

}  // namespace

kv::Result<std::string> JoinHeaderLines(std::span<const std::pair<const char*, std::string>> lines) {
  std::string text;
  for (const auto& [key, value] : lines) {
    std::string line = std::string(key) + ": " + value;
    if (line.size() > kCryLineLimit) {
      return kv::Error(0, std::string(key) + " line is longer than " + std::to_string(kCryLineLimit) + " characters");
    }
    text += line + "\r\n";
  }
  return text;
}

kv::Status CheckToken(const char* what, const std::string& value) {
  if (value.empty()) return kv::Error(0, std::string(what) + " is empty");
  for (const char c : value) {
    if (c <= ' ' || c > '~' || c == ':') {
      return kv::Error(
          0, std::string(what) + " \"" + value + "\" may hold only printable characters without blank or colon");
    }
  }
  return kv::Ok();
}

kv::Result<std::string> BuildCryHeader(const CryOptions& options) {
  kv::Status checked = CheckToken("platform", options.platform);
  if (checked) checked = CheckToken("software part", options.swPart);
  if (checked) checked = CheckToken("package name", options.packageName);
  if (!checked) return checked.error();
  if (options.fileType != "APP-CRY" && options.fileType != "UPDATE" && options.fileType != "UPDATE-FULL" &&
      options.fileType != "UPDATEFULL") {
    return kv::Error(0, "file type must be APP-CRY, UPDATE, UPDATE-FULL or UPDATEFULL");
  }
  if (options.platform != "all" && PlatformImageType(options.platform) == 0) {
    return kv::Error(0, "platform must be all, KV2_TOUCH, KORVEL_R or KV_SR (or kv2-touch, korvel-r, korvel-sr)");
  }
  const std::pair<const char*, std::string> lines[] = {
      {"HEADERLENGTH", std::to_string(options.headerLength)},
      // Headers carry the identifier; the manifests' name is taken too.
      {"PLATFORMNAME", options.platform == "all" ? options.platform : PlatformId(options.platform)},
      {"SWPART", options.swPart},
      {"PACKAGENAME", options.packageName},
      {"FILETYPE", options.fileType},
  };
  auto joined = JoinHeaderLines(lines);
  if (!joined) return joined.error();
  std::string text = std::move(joined).value();
  if (text.size() > kFileTypeLimit) {
    return kv::Error(0, "header lines are longer than " + std::to_string(kFileTypeLimit) + " bytes");
  }
  text += "\r\n";
  if (options.headerLength < static_cast<int>(text.size()) + 1 || options.headerLength > kCryMaxHeaderLength) {
    return kv::Error(0, "header length must lie between " + std::to_string(text.size() + 1) + " and " +
                            std::to_string(kCryMaxHeaderLength));
  }
  return text;
}

kv::Status WriteCry(const CryOptions& options, const std::string& input, const std::string& output) {
  const std::size_t slash = output.rfind('/');
  const std::string baseName = slash == std::string::npos ? output : output.substr(slash + 1);
  if (baseName.find(".cry") == std::string::npos && baseName.find(".CRY") == std::string::npos) {
    return kv::Error(0, "container name " + baseName + " must contain .CRY or .cry");
  }
  if (baseName.rfind("IMAGE.CRY", 0) == 0) {
    return kv::Error(0, "a name beginning with IMAGE.CRY is taken for the OS image and is not decrypted");
  }
  // The device copies the plaintext to <name without extension>.ipk with a
  // shell command that admits only these characters.
  char refused = 0;
  if (cmd_IsAllowedLine(baseName, &refused) == 0 || baseName.find('\'') != std::string::npos) {
    return kv::Error(0, "container name " + baseName + " holds a character the device refuses in commands");
  }
  if (baseName.rfind('.') > 140) {
    return kv::Error(
        0, "container name " + baseName + " is too long for the device (140 characters before the extension)");
  }

  const auto header = BuildCryHeader(options);
  if (!header) return header.error();

  kv::File in = kv::OpenFile(input.c_str(), "rb");
  struct stat st {};
  if (!in || ::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    return kv::Error(0,
                     "cannot read " + input + (in ? ": not a regular file" : std::string(": ") + std::strerror(errno)));
  }
  if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) {
    return kv::Error(0, input + " is larger than the 4 GiB a container can carry");
  }
  const auto imageLength = static_cast<std::uint32_t>(st.st_size);

  OutputFile out;
  if (auto opened = out.Open(output); !opened) return opened;
  std::string filled = header.value();
  filled.resize(static_cast<std::size_t>(options.headerLength), '\0');
  if (std::fwrite(filled.data(), 1, filled.size(), out.get()) != filled.size()) {
    return kv::Error(0, "cannot write " + output);
  }

  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, options.key.key, options.key.iv) != 1) {
    kv::ClearSslErrors();
    return kv::Error(0, "cannot set up AES-256-CBC");
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

  // Verification header: a random leading word keeps equal images from
  // giving equal first blocks under the fixed initialisation vector. A
  // reproducible build (SOURCE_DATE_EPOCH set) takes it from the image's
  // digest instead: equal images then give equal containers, as they must,
  // and different ones still differ from the first block on.
  unsigned char verification[kVerificationHeaderSize] = {};
  const auto sourceDate = SourceDateEpoch();
  if (!sourceDate) return sourceDate.error();
  if (sourceDate.value()) {
    if (auto derived = LeadingWordFromContent(in.get(), input, verification); !derived) return derived;
  } else if (RAND_bytes(verification, 4) != 1) {
    return kv::Error(0, "no random bytes");
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
        return kv::Error(0, "cannot read " + input + " (changed while packing?)");
      }
      const std::size_t padded = (pending + 15) / 16 * 16;
      std::memset(plain.data() + pending, 0, padded - pending);
      pending = padded;
    }
    const std::size_t whole = pending / 16 * 16;
    if (!Encrypt(ctx.get(), plain.data(), whole, out.get(), cipher)) {
      kv::ClearSslErrors();
      return kv::Error(0, "cannot encrypt or write " + output);
    }
    std::memmove(plain.data(), plain.data() + whole, pending - whole);
    pending -= whole;
    if (last) break;
  }
  return out.Commit();
}

}  // namespace kvpack
