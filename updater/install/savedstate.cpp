#include "install/savedstate.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "core/statefile.h"

namespace {

// A copy that cannot be made is passed over, as the update always did: the
// copies are for diagnosis only.
void SaveCopy(const std::string& from, const std::string& to) {
  // Only a regular file is copied: a link at the name would copy whatever
  // file it points to into the work folder.
  const kv::Result<kv::Fd> in = safefile_OpenRegular(from);
  const kv::Status copied = in ? statefile_CopyFrom(in.value().get(), to) : kv::Status(in.error().WithContext(from));
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
