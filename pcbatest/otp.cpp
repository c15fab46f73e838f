#include "otp.h"

#include <cstdlib>

#include "shell.h"

namespace {

constexpr std::string_view kFuseFolder = "/sys/fsl_otp/HW_OCOTP_";

}  // namespace

std::uint32_t otp_ReadWord(std::string_view word) {
  CommandLine command;
  command.Append("cat ");
  command.Append(kFuseFolder);
  command.Append(word);
  if (!command.Complete()) return 0;
  CommandOutput output;
  pcba_ReadCommandLine(command.CStr(), output);
  if (output.Size() <= 2) return 0;
  // The file prints "0x" and the value; conversion starts after those two.
  return static_cast<std::uint32_t>(std::strtoul(output.CStr() + 2, nullptr, 16));
}

bool otp_WriteWord(std::string_view word, std::string_view hexValue) {
  CommandLine command;
  command.Append("echo ");
  command.Append(hexValue);
  command.Append(" > ");
  command.Append(kFuseFolder);
  command.Append(word);
  if (!command.Complete()) return false;
  pcba_RunCommand(command.CStr());
  return true;
}
