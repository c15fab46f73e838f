// Text from outside (file names, documents, answers) as a log or a terminal
// may show it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// text with every control byte (C0, DEL, and C1 in its UTF-8 form) as '?', so
// that it cannot start a line of its own in a log or move the cursor, retitle
// the window or rewrite what a terminal shows. keepLayout keeps tab, line feed
// and carriage return (the layout of a document shown whole).
inline std::string Printable(std::string_view text, bool keepLayout) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (keepLayout && (c == '\t' || c == '\n' || c == '\r')) {
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      out += '?';
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      out += '?';  // a C1 control in its UTF-8 form
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace kv
