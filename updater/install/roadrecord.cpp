#include "install/roadrecord.h"

#include <string>

#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "core/statefile.h"
#include "install/appinstall.h"

namespace {

constexpr std::size_t kRecordLimit = 4096;

std::string RecordPath() { return std::string(paths_WorkFolder()) + kRoadRecordName; }

// The id of the current boot; empty when it cannot be read.
std::string BootId() {
  const std::string path = paths_Device(devpath::kBootId);
  const kv::Result<std::string> id = safefile_Read(path, 64);
  if (!id) return {};
  return id.value().substr(0, id.value().find('\n'));
}

}  // namespace

void doInstall_BeginServiceRoad(const char* road) {
  const std::string text = std::string("road: ") + road + "\nboot: " + BootId() + "\n";
  if (kv::Status written = statefile_Write(RecordPath(), text); !written) {
    log_Print(3, "doInstall_BeginServiceRoad, record not written: %s\n", written.error().message().c_str());
  }
}

void doInstall_EndServiceRoad() {
  if (kv::Status removed = statefile_Remove(RecordPath()); !removed) {
    log_Print(3, "doInstall_EndServiceRoad, record not removed: %s\n", removed.error().message().c_str());
  }
}

void doInstall_RecoverServiceRoad(const char* platform) {
  const kv::Result<std::string> record = statefile_Read(RecordPath(), kRecordLimit);
  if (!record) return;
  std::string road = statefile_Field(record.value(), "road");
  if (road.empty()) road = "a road that stopped the services";
  const std::string recorded = statefile_Field(record.value(), "boot");
  const std::string current = BootId();
  if (!recorded.empty() && !current.empty() && recorded != current) {
    log_Print(3, "doInstall_RecoverServiceRoad, %s ended with a restart of the machine\n", road.c_str());
    doInstall_EndServiceRoad();
    return;
  }
  // The services were stopped and nobody brought them back: the daemon was
  // killed before the installer unit started or before the failed update
  // restarted them. Redone until the record is gone, so a kill here repeats it.
  doInstall_ControlServices(platform, kServiceRestart);
  cmd_System("psplash-write \"QUIT\"");
  log_PrintPriority(kPriorityError, 1,
                    "doInstall_RecoverServiceRoad, %s was interrupted: application services restarted, splash "
                    "screen closed\n",
                    road.c_str());
  doInstall_EndServiceRoad();
}
