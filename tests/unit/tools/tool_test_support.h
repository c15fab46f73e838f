// What the packaging-tool tests share: the development keys and a reader of
// the archives the tool writes.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <utility>
#include <vector>

#include "core/result.h"

namespace kvtest {

inline const std::string kKeys = std::string(KV_SOURCE_DIR) + "/keys/development/";
inline const std::string kPrivate = kKeys + "development-ipksignkeyprivate.pem";
inline const std::string kPublic = kKeys + "ipksignkeypublic.pem";

// Members of an archive (any format libarchive reads), in order, with content.
inline std::vector<std::pair<std::string, std::string>> Members(const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> out;
  archive* a = archive_read_new();
  archive_read_support_format_all(a);
  archive_read_support_filter_all(a);
  if (archive_read_open_memory(a, bytes.data(), bytes.size()) == ARCHIVE_OK) {
    archive_entry* e = nullptr;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
      std::string content;
      char buf[4096];
      la_ssize_t n;
      while ((n = archive_read_data(a, buf, sizeof buf)) > 0) content.append(buf, static_cast<std::size_t>(n));
      out.emplace_back(archive_entry_pathname(e), content);
    }
  }
  archive_read_free(a);
  return out;
}

// The reason a call was refused, empty when it succeeded.
template <typename R>
std::string Why(const R& result) {
  return result ? std::string() : result.error().message();
}

// An inspection's answer as one number: 1 accepted (a bundle: told), 0
// rejected, -1 when the inspection could not run.
inline int Answer(const kv::Result<bool>& result) { return !result ? -1 : (result.value() ? 1 : 0); }

}  // namespace kvtest
