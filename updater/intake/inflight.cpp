#include "intake/inflight.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/statefile.h"

namespace {

constexpr std::size_t kRecordLimit = 4096;

struct InFlight {
  std::string member;  // its file name in the bundle folder
  std::string file;    // its name in the watch folder
  bool taken = false;  // the current pass took it
};
InFlight gInFlight;

std::string RecordPath() { return std::string(paths_WorkFolder()) + kInFlightRecordName; }

void Write(const std::string& text) {
  if (kv::Status written = statefile_Write(RecordPath(), text); !written) {
    log_Print(3, "inflight_Write, record not written: %s\n", written.error().message().c_str());
  }
}

void Remove() {
  gInFlight = InFlight{};
  if (kv::Status removed = statefile_Remove(RecordPath()); !removed) {
    log_Print(3, "inflight_Remove, record not removed: %s\n", removed.error().message().c_str());
  }
}

std::string ValueOf(const std::string& text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
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

void inflight_BeginUnpack(const char* name) {
  gInFlight = InFlight{};
  Write(std::string("bundle: ") + name + "\n");
}

void inflight_EndUnpack() { Remove(); }

void inflight_BeginMember(const char* member, const char* file) {
  gInFlight = InFlight{member, file, false};
  Write(std::string("member: ") + member + "\nfile: " + file + "\n");
}

void inflight_Taken(const char* file) {
  gInFlight.taken = !gInFlight.file.empty() && gInFlight.file == file;
}

void inflight_Installed() {
  if (gInFlight.taken) Remove();
}

void inflight_PassEnded(const char* next) {
  if (!gInFlight.taken) return;
  if (next == nullptr) {
    Remove();
    return;
  }
  gInFlight = InFlight{gInFlight.member, next, false};
  Write("member: " + gInFlight.member + "\nfile: " + next + "\n");
}

int inflight_Recover() {
  gInFlight = InFlight{};
  kv::Fd fd(::open(RecordPath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return 0;
  std::string text(kRecordLimit, '\0');
  const ssize_t n = ::read(fd.get(), text.data(), text.size());
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  fd.reset();

  const std::string member = ValueOf(text, "member");
  log_SetPriority(kPriorityError);
  if (!member.empty()) {
    log_Print(1, "inflight_Recover, bundle member %s was cut off before its installation started, bundle ended\n",
              member.c_str());
  } else {
    const std::string bundle = ValueOf(text, "bundle");
    log_Print(1, "inflight_Recover, unpacking of bundle %s was cut off, bundle ended\n",
              bundle.empty() ? "?" : bundle.c_str());
  }
  Remove();
  return 1;
}
