// Shell commands of the test steps: system() for the ones whose output is not
// needed, popen() for the ones whose first line is read.
#include "shell.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct PipeCloser {
  void operator()(FILE* f) const noexcept { ::pclose(f); }
};
using Pipe = std::unique_ptr<FILE, PipeCloser>;

}  // namespace

bool pcba_RunCommand(const char* command) {
  std::fflush(stdout);
  const int status = std::system(command);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void pcba_ReadCommandLine(const char* command, CommandOutput& out) {
  std::fflush(stdout);
  Pipe pipe(::popen(command, "re"));
  if (!pipe) return;
  char buf[kCommandOutputSize];
  if (std::fgets(buf, sizeof buf, pipe.get()) != nullptr) out.Append(std::string_view(buf));
  // Read the rest so that the command is not killed by a broken pipe.
  while (std::fgets(buf, sizeof buf, pipe.get()) != nullptr) {
  }
}
