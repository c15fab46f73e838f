#include "intake/inflight.h"

#include <string>

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

void inflight_Taken(const char* file) { gInFlight.taken = !gInFlight.file.empty() && gInFlight.file == file; }

const char* inflight_MemberFile() { return gInFlight.file.c_str(); }

const char* inflight_TakenMember() { return gInFlight.taken ? gInFlight.member.c_str() : ""; }

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
  const kv::Result<std::string> record = statefile_Read(RecordPath(), kRecordLimit);
  if (!record) return 0;
  const std::string member = statefile_Field(record.value(), "member");
  if (!member.empty()) {
    log_PrintPriority(kPriorityError, 1,
                      "inflight_Recover, bundle member %s was cut off before its installation started, bundle ended\n",
                      member.c_str());
  } else {
    const std::string bundle = statefile_Field(record.value(), "bundle");
    log_PrintPriority(kPriorityError, 1, "inflight_Recover, unpacking of bundle %s was cut off, bundle ended\n",
                      bundle.empty() ? "?" : bundle.c_str());
  }
  Remove();
  return 1;
}
