#include "intake/dropsig.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <set>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/printable.h"
#include "core/safefile.h"
#include "intake/take.h"

namespace {

constexpr const char* kSignatureExtension = ".sign64";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// 1 held open by another process, 0 free or not a plain file.
bool HeldOpen(const std::string& path) {
  struct stat st {};
  kv::Result<kv::Fd> fd = safefile_OpenRegular(path, &st);
  return fd && take_HeldByOthers(fd.value().get()) == 1;
}

// The extension a drop of the scan has ("ipk", "CRY", either case, as the
// scan takes them), so that a signature's drop can be found by its base.
bool IsDropName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = name.substr(dot + 1);
  return ext.size() >= 3 && (strncasecmp(ext.data(), "IPK", 3) == 0 || strncasecmp(ext.data(), "CRY", 3) == 0);
}

}  // namespace

long dropsig_WaitSeconds() {
  const char* text = std::getenv(kSignatureWaitEnvironment);
  if (text == nullptr) return kSignatureWaitDefaultSeconds;
  long seconds = 0;
  const char* end = text + std::strlen(text);
  const auto [at, ec] = std::from_chars(text, end, seconds);
  return ec == std::errc() && at == end && seconds >= 0 ? seconds : kSignatureWaitDefaultSeconds;
}

std::string dropsig_NameFor(const std::string& drop) {
  const std::size_t dot = drop.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : drop.substr(0, dot) + kSignatureExtension;
}

bool dropsig_Missing(const char* folder, const std::string& drop) {
  const std::string name = dropsig_NameFor(drop);
  if (name.empty()) return false;
  const std::string beside = folder + name;
  if (Exists(beside)) return HeldOpen(beside);
  return !Exists(paths_BundleFolder() + name);
}

bool dropsig_TakeBeside(const char* folder, const std::string& drop) {
  const std::string name = dropsig_NameFor(drop);
  const std::string beside = folder + name;
  if (name.empty() || !Exists(beside)) return false;
  const kv::Status taken = take_File(beside, paths_BundleFolder() + name, true, kDroppedSignatureMaxBytes);
  if (!taken) {
    log_PrintPriority(kPriorityError, 1, "scandir_TakeFile, signature %s %s, not taken\n",
                      kv::Printable(name, false).c_str(), taken.error().message().c_str());
    return false;
  }
  log_Print(1, "scandir_TakeFile, signature %s taken with %s\n", kv::Printable(name, false).c_str(),
            kv::Printable(drop, false).c_str());
  return true;
}

void dropsig_RemoveOrphans(const char* folder) {
  std::set<std::string> bases;
  std::set<std::string> signatures;
  {
    kv::Dir dir(::opendir(folder));
    if (!dir) return;
    while (const struct dirent* e = ::readdir(dir.get())) {
      const std::string_view name(e->d_name);
      const std::size_t dot = name.rfind('.');
      if (dot == std::string_view::npos) continue;
      if (strcasecmp(e->d_name + dot, kSignatureExtension) == 0) {
        signatures.emplace(name);
      } else if (IsDropName(name)) {
        bases.emplace(name.substr(0, dot));
      }
    }
  }
  for (const std::string& signature : signatures) {
    if (bases.count(signature.substr(0, signature.rfind('.'))) != 0) continue;
    const std::string path = folder + signature;
    // Never what a link points at; a folder of that name is not removed.
    if (::unlink(path.c_str()) == 0) {
      log_Print(2, "scandir_Deletefiles, deleting unused installer artefacts:  %s\n", path.c_str());
    }
  }
}
