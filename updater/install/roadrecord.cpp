#include "install/roadrecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/statefile.h"
#include "install/appinstall.h"

namespace {

constexpr std::size_t kRecordLimit = 4096;

std::string RecordPath() { return std::string(paths_WorkFolder()) + kRoadRecordName; }

// The first kRecordLimit bytes of a small file, looked at without following
// a link; nothing when it cannot be opened.
std::optional<std::string> ReadSmall(const std::string& path) {
  kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text(kRecordLimit, '\0');
  const ssize_t n = ::read(fd.get(), text.data(), text.size());
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

std::string BootId() {
  const std::string text = ReadSmall(paths_Device(devpath::kBootId)).value_or("");
  return text.substr(0, text.find('\n'));
}

// The value of "key: value" in the record text; empty when absent.
std::string ValueOf(const std::string& text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    if (line.size() > key.size() + 1 && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      std::string_view value = line.substr(key.size() + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    at = end + 1;
  }
  return {};
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
  const std::optional<std::string> record = ReadSmall(RecordPath());
  if (!record) return;
  const std::string& text = *record;
  std::string road = ValueOf(text, "road");
  if (road.empty()) road = "a road that stopped the services";
  const std::string recorded = ValueOf(text, "boot");
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
  log_SetPriority(kPriorityError);
  log_Print(1, "doInstall_RecoverServiceRoad, %s was interrupted: application services restarted, splash screen "
               "closed\n", road.c_str());
  doInstall_EndServiceRoad();
}
