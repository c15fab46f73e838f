// Update progress: the process-wide record of an installation in progress,
// written by the main thread and read by the identification listeners, which
// answer status requests with it.
//
// Every function takes the record's own lock, so a status document is built
// from one consistent state of the record and every document gets a distinct
// sequence number, whichever listener builds it.
#pragma once

#include <sys/time.h>

#include <cstddef>

struct cJSON;

// Width of each text field (199 characters and the terminator).
inline constexpr std::size_t kProgressTextSize = 200;

// The revision the status document reports, whatever the daemon's version.
inline constexpr const char* kProgressServerRevision = "3.8";

struct UpdateProgress {
  char bundleFilename[kProgressTextSize];     // "bundleFilename"; nothing writes it
  int totalProgress;                          // "totalProgress", percent
  char componentName[kProgressTextSize];      // not reported
  int componentProgress;                      // "componentProgress", percent
  char actionDescription[kProgressTextSize];  // "currentActionDescription"
  int actionCode;                             // "currentActionCode"
  int errorNumber;                            // "currentErrorNumber"
  char errorDescription[kProgressTextSize];   // "currentErrorDescription"
  int msgSeqNumber;                           // "msgSeqNumber", counts documents
  timeval startTime;                          // 0: no installer file taken yet
  char serverName[kProgressTextSize];         // "serverName"
};

// Clears the record: action "Idle", error 0 "No Error", sequence number 0.
void progress_Init();

// Copies the server name (start-up passes argv[0]); longer text is cut.
void progress_SetServerName(const char* name);

// Stores the current time of day as the start of the work on an installer file.
void progress_SetStartTime();

void progress_SetTotalProgress(int percent);
void progress_SetComponent(const char* name, int percent);
void progress_SetAction(const char* description, int code);
void progress_SetError(const char* description, int number);

// Adds the members of the status document to the (empty) object, in the
// documented order, and counts the sequence number on. "elapsedTimeSecs" is
// the whole seconds since the start time, 0 while none is stored.
void progress_CreateStatusResponse(cJSON* object);

// A consistent copy of the record; for tests and tools.
UpdateProgress progress_Snapshot();
