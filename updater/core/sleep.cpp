#include "core/sleep.h"

#include <cerrno>
#include <ctime>

void kv_SleepMicroseconds(long microseconds) {
  struct timespec remaining {
    microseconds / 1000000, (microseconds % 1000000) * 1000
  };
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
