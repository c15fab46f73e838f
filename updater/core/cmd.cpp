#include "core/cmd.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

bool IsAllowed(unsigned char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '-': case '_': case '"': case '\'': case '/': case '@': case ' ': case ':': case '.':
      return true;
    default:
      return false;
  }
}

void RunShell(const char* line) {
  // The exit status is deliberately not examined: callers look at the files
  // the command was meant to produce.
  (void)std::system(line);
}

}  // namespace

int cmd_IsAllowedLine(std::string_view line, char* refused) {
  for (const char c : line) {
    if (!IsAllowed(static_cast<unsigned char>(c))) {
      if (refused != nullptr) *refused = c;
      return 0;
    }
  }
  return 1;
}

int cmd_Check(const char* line) {
  if (line == nullptr) return 0;
  const std::size_t length = std::strlen(line);
  if (length == 0 || length > kCmdMaxLength) return 0;
  char refused = '\0';
  if (cmd_IsAllowedLine(std::string_view(line, length), &refused) == 0) {
    log_Print(0, "Illegal character %c in command: \"%s\"", refused, line);
    return 0;
  }
  return 1;
}

int cmd_Run(const char* line) {
  if (cmd_Check(line) == 0) return 0;
  RunShell(line);
  return 1;
}

int cmd_System(const char* line) {
  if (line != nullptr) RunShell(line);
  return 0;
}

kv::Pipe cmd_OpenPipe(const char* line) {
  // 'e': the pipe's own descriptor is not inherited by later commands.
  return kv::Pipe(::popen(line, "re"));
}

int cmd_ClosePipe(kv::Pipe pipe) {
  FILE* f = pipe.release();
  if (f == nullptr) return -1;
  return ::pclose(f);
}
