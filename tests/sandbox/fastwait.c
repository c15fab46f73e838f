/*
 * fastwait.c: shortens the fixed waits of kvupdaterd in a sandbox.
 *
 * A fault matrix runs the daemon's roads many times over; their fixed waits
 * (two seconds a pass, a second between display steps, a second per line of
 * the image updater) would make it take hours. Preloaded into the daemon
 * (LD_PRELOAD), this library divides every nanosleep by KV_FASTWAIT_DIVISOR
 * (default 20). The daemon's waits all go through nanosleep; Python's
 * time.sleep in the stand-ins uses clock_nanosleep and keeps its time. No
 * test asserts a timing, so only the pace changes.
 *
 * Test code only. It is built without the sanitizers, since it is preloaded
 * ahead of their runtime.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

typedef int (*nanosleep_fn)(const struct timespec *, struct timespec *);

static long divisor(void) {
  static long value;
  if (value == 0) {
    const char *text = getenv("KV_FASTWAIT_DIVISOR");
    long parsed = text != NULL ? strtol(text, NULL, 10) : 0;
    value = parsed > 0 ? parsed : 20;
  }
  return value;
}

int nanosleep(const struct timespec *request, struct timespec *remaining) {
  static nanosleep_fn real;
  if (real == NULL) real = (nanosleep_fn)dlsym(RTLD_NEXT, "nanosleep");
  long long ns = (long long)request->tv_sec * 1000000000LL + request->tv_nsec;
  ns /= divisor();
  struct timespec shortened = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
  int rc = real(&shortened, NULL);
  /* Whatever is left of a shortened wait is not worth resuming. */
  if (remaining != NULL) {
    remaining->tv_sec = 0;
    remaining->tv_nsec = 0;
  }
  return rc;
}
