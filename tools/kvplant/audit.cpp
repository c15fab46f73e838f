// The audit trail: one JSON line per event, appended with one write() and
// flushed, so that lines of concurrent runs never interleave and a line
// written is a line kept.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/handles.h"
#include "kvplant/rollout.h"

namespace kvplant {

kv::Status Audit::Open(const std::string& path, const std::string& rollout) {
  fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  if (!fd_) return kv::SystemError("cannot open the audit trail " + path);
  rollout_ = rollout;
  // Who ran it: under sudo the person who called sudo, noted as such.
  const char* sudo = std::getenv("SUDO_USER");
  if (sudo != nullptr && *sudo != '\0') {
    user_ = sudo;
    sudo_ = true;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr) {
    user_ = pw->pw_name;
  } else {
    user_ = std::to_string(::getuid());
  }
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  host_ = host;
  return kv::Ok();
}

void Audit::Write(const char* event, cJSON* fields) {
  const kv::Json owned(fields);
  if (!fd_) return;
  const kv::Json line(cJSON_CreateObject());
  cJSON_AddStringToObject(line.get(), "time", UtcNow().c_str());
  cJSON_AddStringToObject(line.get(), "user", user_.c_str());
  if (sudo_) cJSON_AddStringToObject(line.get(), "user_from", "SUDO_USER");
  cJSON_AddStringToObject(line.get(), "host", host_.c_str());
  cJSON_AddStringToObject(line.get(), "rollout", rollout_.c_str());
  cJSON_AddStringToObject(line.get(), "event", event);
  if (fields != nullptr) {
    while (cJSON* item = fields->child) {
      cJSON_DetachItemViaPointer(fields, item);
      cJSON_AddItemToObject(line.get(), item->string, item);
    }
  }
  const kv::CMemory<char> text(cJSON_PrintUnformatted(line.get()));
  if (!text) return;
  const std::string out = std::string(text.get()) + "\n";
  // One write: O_APPEND places it whole at the end.
  ssize_t n;
  do {
    n = ::write(fd_.get(), out.data(), out.size());
  } while (n < 0 && errno == EINTR);
  (void)::fsync(fd_.get());
}

}  // namespace kvplant
