#include "security/cryheader.h"

#include <sys/stat.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstring>

#include "config/identity.h"
#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "security/decrypt.h"

namespace {

// The key ends at a colon, blank or LF; the value also ends at a CR.
constexpr std::string_view kKeyDelimiters = ": \n";
constexpr std::string_view kValueDelimiters = ": \r\n";

// Splits the first two tokens off a line the way a strtok pair does: the key
// and the delimiter that ends it are consumed before the value is looked for.
bool SplitLine(std::string_view line, std::string_view& key, std::string_view& value) {
  const std::size_t keyStart = line.find_first_not_of(kKeyDelimiters);
  if (keyStart == std::string_view::npos) return false;
  std::size_t keyEnd = line.find_first_of(kKeyDelimiters, keyStart);
  if (keyEnd == std::string_view::npos) keyEnd = line.size();
  key = line.substr(keyStart, keyEnd - keyStart);
  value = {};
  if (keyEnd + 1 >= line.size()) return true;
  const std::string_view rest = line.substr(keyEnd + 1);
  const std::size_t valueStart = rest.find_first_not_of(kValueDelimiters);
  if (valueStart == std::string_view::npos) return true;
  std::size_t valueEnd = rest.find_first_of(kValueDelimiters, valueStart);
  if (valueEnd == std::string_view::npos) valueEnd = rest.size();
  value = rest.substr(valueStart, valueEnd - valueStart);
  return true;
}

// Scores one line; false when it holds no token (end of header).
bool ScoreLine(std::string_view line, std::string_view platformId, CryHeaderScan& scan) {
  std::string_view key;
  std::string_view value;
  if (!SplitLine(line.substr(0, kCryLineLimit), key, value)) return false;
  ++scan.linesExamined;
  if (value.empty()) return true;

  CryHeaderElement element{std::string(key), std::string(value), false};
  if (key == "HEADERLENGTH") {
    scan.offset = cry_ParseHeaderLength(value);
    // A negative offset would put the payload before the start of the file.
    element.counted = scan.offset >= 0 && scan.offset <= kCryMaxHeaderLength;
    scan.score += element.counted ? 1 : 0;
  } else if (key == "PLATFORMNAME") {
    std::string_view platform = value;
    while (!platform.empty() && std::isspace(static_cast<unsigned char>(platform.front())) != 0) {
      platform.remove_prefix(1);
    }
    if (platform == "all") {
      ++scan.score;
      element.counted = true;
    }
    if (!platformId.empty() && platform == platformId) {
      ++scan.score;
      element.counted = true;
    }
  } else if (key == "SWPART" || key == "PACKAGENAME") {
    ++scan.score;
    element.counted = true;
  } else {
    return true;
  }
  scan.elements.push_back(std::move(element));
  return true;
}

}  // namespace

std::string_view cry_HeaderText(const char* data, std::size_t n) {
  if (data == nullptr || n == 0) return {};
  std::string_view text(data, n - 1);
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

int cry_ParseHeaderLength(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && std::isspace(static_cast<unsigned char>(token[i])) != 0) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  long long value = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    value = value * 10 + (token[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;  // already out of range
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

CryHeaderScan cry_ScanHeader(std::string_view text, std::string_view platformId) {
  CryHeaderScan scan;
  const std::size_t firstLf = text.find('\n');
  if (firstLf == std::string_view::npos) return scan;

  // The first line may end with a bare LF.
  if (!ScoreLine(text.substr(0, firstLf), platformId, scan)) {
    scan.end = CryWalkEnd::kEmptyLine;
    return scan;
  }
  // Every further line must end with CR LF. A line begins right after the CR
  // of the one before, so with the LF, which the key tokenizer skips.
  std::size_t pos = firstLf + 1;
  for (;;) {
    const std::size_t crlf = text.find("\r\n", pos);
    if (crlf == std::string_view::npos) {
      scan.end = CryWalkEnd::kNoCrLf;
      return scan;
    }
    if (!ScoreLine(text.substr(pos, crlf - pos), platformId, scan)) {
      scan.end = CryWalkEnd::kEmptyLine;
      return scan;
    }
    pos = crlf + 1;
  }
}

int Decrypt_CheckInstallerFile(int* offset, const char* path) {
  std::array<char, 255> copied{};
  kv::CopyBounded(copied, path != nullptr ? path : "", 254);
  const char* file = copied.data();
  const char* slash = std::strrchr(file, '/');
  const char* baseName = slash != nullptr ? slash + 1 : file;

  log_Print(2, "Decrypt_CheckInstallerFile, checking integrity of %s\n", file);

  struct stat st {};
  if (::stat(file, &st) != 0) {
    log_PrintPriority(kPriorityError, 3, "Decrypt_CheckInstallerFile, stat() failed, no file: %s\n", file);
    return kCryNoFile;
  }
  if (std::strncmp(baseName, "IMAGE.CRY", 9) == 0) {
    log_Print(3, "Decrypt_CheckInstallerFile, found MENDER file, %s\n", file);
    return kCryIsImage;
  }
  if (std::strstr(baseName, ".cry") == nullptr && std::strstr(baseName, ".CRY") == nullptr) {
    return kCryBadName;
  }

  kv::File in = kv::OpenFile(file, "rb");
  if (!in) {
    log_PrintPriority(kPriorityError, 3, "Decrypt_CheckInstallerFile, Can't open infile .CRY\n");
    return kCryCannotOpen;
  }

  std::array<char, kCryHeaderReadSize> header{};
  log_Print(2, "Decrypt_CheckInstallerFile, opened infile successfully: %s\n", file);
  const std::size_t n = std::fread(header.data(), 1, header.size(), in.get());
  in.reset();
  log_PrintPriority(kPriorityDebug, 2, "Decrypt_CheckInstallerFile, was a long-named file: %s\n", baseName);
  log_PrintPriority(kPriorityDebug, 2, "Decrypt_CheckInstallerFile, analysing header\n");

  const char* platformId = config_GetPlatformId();
  const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(header.data(), n), platformId != nullptr ? platformId : "");
  for (const CryHeaderElement& e : scan.elements) {
    if (e.key == "HEADERLENGTH" || e.key == "PLATFORMNAME") {
      log_PrintPriority(kPriorityDebug, 3, "Decrypt_CheckInstallerFile, found: %s=%s\n", e.key.c_str(),
                        e.value.c_str());
    }
  }
  if (scan.end == CryWalkEnd::kEmptyLine) {
    log_PrintPriority(kPriorityDebug, 3, "Decrypt_CheckInstallerFile, BREAK, no more lines, probably end of header");
  }

  if (scan.score >= kCryAcceptScore) {
    if (offset != nullptr) *offset = scan.offset;
    log_Print(2, "Decrypt_CheckInstallerFile, cry->offset=%d\n", scan.offset);
    log_Print(2, "Decrypt_CheckInstallerFile, header OK\n");
    return kCryHeaderOk;
  }
  log_PrintPriority(kPriorityError, 2, "Decrypt_CheckInstallerFile, fake header: element missing \n");
  if (offset != nullptr) *offset = 0;
  return kCryFakeHeader;
}
