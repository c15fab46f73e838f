// USB: checks that a device node appeared after a stick was plugged into the
// host port, by listing a folder and searching for the device name.
#include "shell.h"
#include "tests.h"

namespace {

// The command is built in a 40-byte buffer: "ls " + path + " | grep " + name
// leaves room for 28 characters of path and name together.
constexpr std::size_t kUsbCommandSize = 40;
constexpr std::size_t kUsbArgumentRoom = kUsbCommandSize - 1 - (sizeof("ls ") - 1) - (sizeof(" | grep ") - 1);

// Path and name go into a shell command line: letters, digits, "/", ".",
// "_" and "-" only, and no leading "-" that ls or grep would take for an
// option.
bool IsSafeName(std::string_view text) {
  if (text.empty() || text.front() == '-') return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

StepResult test_Usb(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 3, true);
  const std::string_view path = args.Get(2);
  const std::string_view name = args.Get(3);
  if (!IsSafeName(path) || !IsSafeName(name) || path.size() + name.size() > kUsbArgumentRoom) {
    return kStepWrongData;
  }
  FixedText<kUsbCommandSize> command;
  command.Append("ls ");
  command.Append(path);
  command.Append(" | grep ");
  command.Append(name);
  if (!command.Complete()) return kStepWrongData;

  CommandOutput output;
  pcba_ReadCommandLine(command.CStr(), output);
  line.Append(output.View());
  return kStepSuccess;
}
