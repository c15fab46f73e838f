#include "otp.h"

#include <cctype>
#include <cstdlib>

#include "shell.h"

namespace {

constexpr std::string_view kFuseFolder = "/sys/fsl_otp/HW_OCOTP_";

}  // namespace

bool otp_ReadWord(std::string_view word, std::uint32_t& value) {
  value = 0;
  CommandLine command;
  command.Append("cat ");
  command.Append(kFuseFolder);
  command.Append(word);
  if (!command.Complete()) return false;
  CommandOutput output;
  pcba_ReadCommandLine(command.CStr(), output);
  // The file prints "0x" and the value; conversion starts after those two.
  // Empty output or no digit after them is a word that could not be read,
  // which must never pass for a blank one.
  const char* digits = output.CStr() + 2;
  if (!output.View().starts_with("0x") || std::isxdigit(static_cast<unsigned char>(*digits)) == 0) return false;
  value = static_cast<std::uint32_t>(std::strtoul(digits, nullptr, 16));
  return true;
}

bool otp_WriteWord(std::string_view word, std::string_view hexValue) {
  CommandLine command;
  command.Append("echo ");
  command.Append(hexValue);
  command.Append(" > ");
  command.Append(kFuseFolder);
  command.Append(word);
  return command.Complete() && pcba_RunCommand(command.CStr());
}
