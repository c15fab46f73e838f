#include "config/iniloader.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/handles.h"
#include "core/log.h"
#include "core/result.h"
#include "core/safefile.h"

namespace kv {
namespace {

// Buffers for sscanf conversions of width kIniFieldWidth.
constexpr std::size_t kFieldBuffer = kIniFieldWidth + 1;

enum class LineKind { Empty, Comment, Section, Value, Error };

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view Strip(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Takes one line (up to and including its line feed) from the front of text
// into buf, at most room - 1 bytes, and terminates it. Returns the number of
// bytes taken; 0 at the end of the text. Unlike fgets it reports the true
// count, so a NUL byte inside a line cannot hide the line's length.
std::size_t ReadLine(std::string_view& text, char* buf, std::size_t room) {
  std::size_t n = 0;
  while (n + 1 < room && n < text.size()) {
    const char c = text[n];
    buf[n++] = c;
    if (c == '\n') break;
  }
  buf[n] = '\0';
  text.remove_prefix(n);
  return n;
}

// Classifies one complete (joined) line and extracts its section name, or its
// key and value. The patterns are those of the library's own line syntax,
// with every field bounded to kIniFieldWidth characters.
LineKind ParseLine(const char* input, std::string& section, std::string& key, std::string& value) {
  const std::string line(Strip(input));
  if (line.empty()) return LineKind::Empty;
  if (line[0] == '#' || line[0] == ';') return LineKind::Comment;

  char a[kFieldBuffer] = {};
  char b[kFieldBuffer] = {};
  const char* s = line.c_str();

  if (line[0] == '[' && line.back() == ']') {
    (void)std::sscanf(s, "[%200[^]]", a);  // "[]" leaves a empty: the unnamed section
    section = Lower(Strip(a));
    return LineKind::Section;
  }

  if (std::sscanf(s, "%200[^=] = \"%200[^\"]\"", a, b) == 2 || std::sscanf(s, "%200[^=] = '%200[^']'", a, b) == 2 ||
      std::sscanf(s, "%200[^=] = %200[^;#]", a, b) == 2) {
    key = Lower(Strip(a));
    value = Strip(b);
    // An explicit empty text written as quotes.
    if (value == "\"\"" || value == "''") value.clear();
    return LineKind::Value;
  }
  if (std::sscanf(s, "%200[^=] = %200[;#]", a, b) == 2 || std::sscanf(s, "%200[^=] %200[=]", a, b) == 2) {
    key = Lower(Strip(a));
    value.clear();
    return LineKind::Value;
  }
  return LineKind::Error;
}

}  // namespace

dictionary* iniparser_load(const char* path) {
  // The file is read whole, with a cap, before any line is parsed: a link, a
  // FIFO or a folder at the name is refused (a FIFO would hold the caller, and
  // a folder reads as an empty file), and so is a file beyond the cap. A
  // refused file is handled as a missing one, with one line saying why.
  const Result<std::string> read = safefile_Read(path, kIniMaxFileSize);
  if (!read) {
    if (safefile_IsMissing(read.error())) {
      log_Print(0, "iniparser_load - Unable to open %s", path);
    } else {
      (void)safefile_LogRefusal("iniparser_load", path, read.error());
    }
    return nullptr;
  }
  std::string_view rest(read.value());
  Dictionary dict(::dictionary_new(0));
  if (!dict) {
    log_Print(0, "iniparser_load - Unable to create dictionary");
    return nullptr;
  }

  char line[kIniLineSize] = {};
  std::string section;
  std::string key;
  std::string value;
  std::size_t last = 0;  // length of the text kept from a continued line
  int lineno = 0;
  int errors = 0;
  bool storeFailed = false;

  for (;;) {
    const std::size_t got = ReadLine(rest, line + last, sizeof line - last);
    if (got == 0) break;
    ++lineno;
    std::size_t len = last + got;
    if (len == 1) continue;  // a line feed alone
    if (line[len - 1] != '\n') {
      log_Print(0, "iniparser_load - input line too long in %s (%d)", path, lineno);
      return nullptr;
    }
    // A NUL byte would silently end the text early; such a line is no text.
    const bool hasNul = std::memchr(line + last, '\0', got) != nullptr;

    while (len > 0 && (line[len - 1] == '\n' || IsSpace(line[len - 1]))) line[--len] = '\0';
    if (!hasNul && len > 0 && line[len - 1] == '\\') {
      last = len - 1;  // the next line overwrites the backslash
      continue;
    }
    last = 0;

    const LineKind kind = hasNul ? LineKind::Error : ParseLine(line, section, key, value);
    switch (kind) {
      case LineKind::Empty:
      case LineKind::Comment: break;
      case LineKind::Section:
        if (::dictionary_set(dict.get(), section.c_str(), nullptr) != 0) {
          log_Print(0, "iniparser_load - LINE_SECTION error in %s (%d): %s", path, lineno, section.c_str());
          storeFailed = true;
        }
        break;
      case LineKind::Value: {
        const std::string entry = section + ":" + key;
        if (::dictionary_set(dict.get(), entry.c_str(), value.c_str()) != 0) {
          log_Print(0, "iniparser_load - LINE_VALUE error in %s (%d): %s", path, lineno, key.c_str());
          storeFailed = true;
        }
        break;
      }
      case LineKind::Error:
        log_Print(0, "iniparser_load - syntax error in %s (%d): %s", path, lineno, line);
        ++errors;
        break;
    }
    std::memset(line, 0, sizeof line);
    if (storeFailed) {
      log_Print(0, "iniparser_load - dictionary update failed, breaking out");
      ++errors;
      break;
    }
    if (dict->size > kIniMaxCapacity) {
      log_Print(0, "iniparser_load - dictionary size exceeded in %s : %i", path, static_cast<int>(dict->size));
      ++errors;
    }
  }

  if (errors != 0) return nullptr;
  return dict.release();
}

}  // namespace kv
