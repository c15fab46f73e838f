#include "fixture.h"

#include <openssl/evp.h>

#include <cstring>

#include "core/log.h"
#include "security/crykey.h"

namespace sectest {

std::string Plaintext(const std::string& image, std::uint32_t imageLength, std::uint32_t verificator) {
  std::string p(12, '\0');
  p[0] = 'K';
  p[1] = 'V';
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>((imageLength >> (8 * i)) & 0xFF);
    p[8 + i] = static_cast<char>((verificator >> (8 * i)) & 0xFF);
  }
  p += image;
  p.resize((p.size() + 15) / 16 * 16, '\0');
  return p;
}

std::string Encrypt(const std::string& plaintext, const unsigned char* key) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key != nullptr ? key : crykey_Assemble(), crykey_GetIv());
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::string out(plaintext.size() + 16, '\0');
  int n = 0;
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                    reinterpret_cast<const unsigned char*>(plaintext.data()), static_cast<int>(plaintext.size()));
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string CrLfHeader(const std::vector<std::string>& lines) {
  std::string h;
  for (const std::string& l : lines) h += l + "\r\n";
  return h + "\r\n";
}

std::string Container(const std::string& header, std::size_t offset, const std::string& payload) {
  std::string c = header;
  c.resize(offset, '\0');
  return c + payload;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 12345u;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

std::vector<std::string> Lines(kvtest::SyslogCapture& syslog) {
  std::vector<std::string> out;
  for (const kvtest::SyslogLine& l : syslog.Drain()) {
    std::string text = l.text;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    out.push_back(std::to_string(l.priority) + "|" + text);
  }
  return out;
}

void QuietVerbose(int level) {
  kvtest::StdoutCapture out;
  log_SetVerbose(level);
  (void)out.Stop();
}

}  // namespace sectest
