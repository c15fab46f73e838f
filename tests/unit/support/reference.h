// Reference readings shared by the unit tests and the fuzz targets: what the
// defining shell pipelines and the JSON document give, computed the plain
// way, to hold the daemon's own reading against.
#pragma once

#include <cjson/cJSON.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvtest {

// The pieces a reader with a line buffer of size bytes takes from text (a
// piece ends after a line feed or when the buffer is full), each up to its
// first NUL byte.
inline std::vector<std::string> PiecesOf(std::string_view text, std::size_t size) {
  std::vector<std::string> pieces;
  while (!text.empty()) {
    std::size_t n = text.substr(0, size - 1).find('\n');
    n = n == std::string_view::npos ? (text.size() < size - 1 ? text.size() : size - 1) : n + 1;
    const std::string_view piece = text.substr(0, n);
    pieces.emplace_back(piece.substr(0, piece.find('\0')));
    text.remove_prefix(n);
  }
  return pieces;
}

// The value an image description line gives from the last piece read: the
// text after its first "=", up to a second one, without one line feed, as
// the daemon keeps it (at most 1033 characters); none without a piece or an
// "=".
inline std::optional<std::string> ImageValueOf(const std::vector<std::string>& pieces) {
  if (pieces.empty()) return std::nullopt;
  std::string_view rest = pieces.back();
  const std::size_t eq = rest.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(eq + 1);
  rest = rest.substr(0, rest.find('='));
  if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  return std::string(rest.substr(0, 1033));
}

// The members of a JSON object as (name, value): strings decoded, other
// values printed compact. valid tells whether the text was a JSON object.
inline std::vector<std::pair<std::string, std::string>> MembersOf(std::string_view doc, bool* valid = nullptr) {
  std::vector<std::pair<std::string, std::string>> members;
  cJSON* o = cJSON_ParseWithLength(doc.data(), doc.size());
  if (valid != nullptr) *valid = cJSON_IsObject(o);
  const cJSON* m = nullptr;
  cJSON_ArrayForEach(m, o) {
    if (cJSON_IsString(m)) {
      members.emplace_back(m->string, m->valuestring);
    } else {
      char* v = cJSON_PrintUnformatted(m);
      members.emplace_back(m->string, v != nullptr ? v : "");
      cJSON_free(v);
    }
  }
  cJSON_Delete(o);
  return members;
}

}  // namespace kvtest
