#include "intake/unpack.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/cmd.h"
#include "core/handles.h"
#include "intake/take.h"

kv::Result<std::string> unpack_MakeStaging(const std::string& folder) {
  std::string path = folder + std::string(kStagingPrefix) + "XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) return kv::SystemError("mkdtemp").WithContext(folder);
  return path + "/";
}

bool unpack_PlainMembersOnly(const std::string& tar, const std::string& archive, bool gzip) {
  const std::string line = tar + (gzip ? " -tvzf \"" : " -tvf \"") + archive + "\"";
  kv::Pipe listing = cmd_OpenPipe(line.c_str());
  if (!listing) return false;
  // Each member is one line (tar escapes line feeds in names) that begins
  // with its type: - regular, d folder, l symbolic link, h hard link.
  bool plain = true;
  bool lineStart = true;
  int c;
  while ((c = std::fgetc(listing.get())) != EOF) {
    if (lineStart && std::strchr("-dlh", c) == nullptr) plain = false;
    lineStart = c == '\n';
  }
  return plain;
}

bool unpack_TakeMember(const std::string& staging, const std::string& folder, const std::string& name) {
  // Looked at before the move, so that what is left behind replaces nothing.
  struct stat st {};
  if (::lstat((staging + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  return static_cast<bool>(take_File(staging + name, folder + name, false));
}

void unpack_RemoveStaging(const std::string& staging) {
  std::error_code ec;
  // remove_all removes symbolic links themselves, never what they point at.
  std::filesystem::remove_all(staging, ec);
}

int unpack_RemoveLeftovers(const std::string& folder) {
  int removed = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind(kStagingPrefix, 0) != 0) continue;
    unpack_RemoveStaging(entry.path().string());
    ++removed;
  }
  return removed;
}
