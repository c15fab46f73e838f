#include "idprot/progress.h"

#include <cjson/cJSON.h>

#include <ctime>
#include <mutex>

#include "core/bounded.h"
#include "core/log.h"

namespace {

void SetText(char (&field)[kProgressTextSize], const char* text) {
  kv::CopyBounded(field, text != nullptr ? text : "");
}

UpdateProgress Initial() {
  UpdateProgress p{};
  SetText(p.errorDescription, "No Error");
  SetText(p.actionDescription, "Idle");
  return p;
}

std::mutex gProgressLock;
// Idle from the start: listeners may answer a status request before
// start-up reaches progress_Init.
UpdateProgress gProgress = Initial();

}  // namespace

void progress_Init() {
  std::lock_guard<std::mutex> guard(gProgressLock);
  gProgress = Initial();
}

void progress_SetServerName(const char* name) {
  std::lock_guard<std::mutex> guard(gProgressLock);
  SetText(gProgress.serverName, name);
}

void progress_SetStartTime() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  std::lock_guard<std::mutex> guard(gProgressLock);
  gProgress.startTime = now;
}

void progress_SetTotalProgress(int percent) {
  std::lock_guard<std::mutex> guard(gProgressLock);
  gProgress.totalProgress = percent;
}

void progress_SetComponent(const char* name, int percent) {
  std::lock_guard<std::mutex> guard(gProgressLock);
  SetText(gProgress.componentName, name);
  gProgress.componentProgress = percent;
}

void progress_SetAction(const char* description, int code) {
  std::lock_guard<std::mutex> guard(gProgressLock);
  SetText(gProgress.actionDescription, description);
  gProgress.actionCode = code;
}

void progress_SetError(const char* description, int number) {
  std::lock_guard<std::mutex> guard(gProgressLock);
  SetText(gProgress.errorDescription, description);
  gProgress.errorNumber = number;
}

UpdateProgress progress_Snapshot() {
  std::lock_guard<std::mutex> guard(gProgressLock);
  return gProgress;
}

void progress_CreateStatusResponse(cJSON* object) {
  log_Print(2, "progress_CreateStatusResponse() - building json response");
  // Copy and count under the lock, build outside it: the document shows one
  // state of the record and its sequence number belongs to it alone.
  UpdateProgress p;
  {
    std::lock_guard<std::mutex> guard(gProgressLock);
    p = gProgress;
    ++gProgress.msgSeqNumber;
  }
  if (object == nullptr) return;

  timeval now{};
  ::gettimeofday(&now, nullptr);
  char timedate[40] = "";
  const time_t seconds = now.tv_sec;
  tm local{};
  if (::localtime_r(&seconds, &local) != nullptr) std::strftime(timedate, sizeof timedate, "%Y-%m-%d %H:%M:%S", &local);
  const long elapsed = p.startTime.tv_sec != 0 ? static_cast<long>(now.tv_sec - p.startTime.tv_sec) : 0L;

  cJSON_AddNumberToObject(object, "totalProgress", p.totalProgress);
  cJSON_AddStringToObject(object, "bundleFilename", p.bundleFilename);
  cJSON_AddNumberToObject(object, "componentProgress", p.componentProgress);
  cJSON_AddStringToObject(object, "currentActionDescription", p.actionDescription);
  cJSON_AddNumberToObject(object, "currentActionCode", p.actionCode);
  cJSON_AddNumberToObject(object, "elapsedTimeSecs", static_cast<double>(elapsed));
  cJSON_AddNumberToObject(object, "timestamp", static_cast<double>(now.tv_sec));
  cJSON_AddStringToObject(object, "timedate", timedate);
  cJSON_AddStringToObject(object, "currentErrorDescription", p.errorDescription);
  cJSON_AddNumberToObject(object, "currentErrorNumber", p.errorNumber);
  cJSON_AddStringToObject(object, "serverName", p.serverName);
  cJSON_AddStringToObject(object, "serverRevision", kProgressServerRevision);
  cJSON_AddNumberToObject(object, "msgSeqNumber", p.msgSeqNumber);
}
