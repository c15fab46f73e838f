#include "install/savedstate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/statefile.h"

namespace {

// A copy that cannot be made is passed over, as the update always did: the
// copies are for diagnosis only.
void SaveCopy(const std::string& from, const std::string& to) {
  kv::Fd in(::open(from.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  const kv::Status copied = in ? statefile_CopyFrom(in.get(), to) : kv::Status(kv::SystemError("open " + from));
  if (!copied) {
    log_Print(3, "doInstall_RunMenderUpdate, %s not saved: %s\n", to.c_str(), copied.error().message().c_str());
  }
}

}  // namespace

void doInstall_RemoveSavedState() {
  // The work folder carries its trailing slash, so these paths hold "//";
  // the file system treats that as one separator.
  const std::string work = paths_WorkFolder();
  (void)std::remove((work + "/status").c_str());
  (void)std::remove((work + "/app-data").c_str());
  ::sync();
}

void doInstall_SaveSystemLog(const char* stamp) {
  SaveCopy(paths_Device(devpath::kSystemLogCopy), std::string(paths_WorkFolder()) + "quorvanlog" + stamp);
}

void doInstall_SavePackageDatabase() {
  SaveCopy(paths_Device(devpath::kOpkgStatus), std::string(paths_WorkFolder()) + "status");
}
