#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace kvtest {

// Bounds a stretch of a test that must never block (a FIFO without a writer
// opened by the code under test, say): when it has not ended within the given
// seconds, the test program prints what was waited on and ends with status 1,
// so a regression fails in seconds instead of at the harness's timeout.
// One at a time; SIGALRM is the test program's own.
class Deadline {
 public:
  Deadline(unsigned seconds, const char* what) {
    What() = what;
    struct sigaction action {};
    action.sa_handler = &Expired;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, &previous_);
    ::alarm(seconds);
  }
  ~Deadline() {
    ::alarm(0);
    ::sigaction(SIGALRM, &previous_, nullptr);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  static const char*& What() {
    static const char* what = "";
    return what;
  }
  static void Expired(int) {
    constexpr char kPrefix[] = "deadline passed, still blocked: ";
    (void)!::write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
    (void)!::write(STDERR_FILENO, What(), std::strlen(What()));
    (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(1);
  }
  struct sigaction previous_ {};
};

}  // namespace kvtest
