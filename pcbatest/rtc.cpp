// RTC: sets the system clock and the battery-backed clock, reads either, and
// calibrates the clock's drift, all through date and hwclock.
#include <cctype>

#include "shell.h"
#include "tests.h"

namespace {

// The date is passed to the shell as typed, so only the quoted form the
// stations send is accepted: '2017-06-22 10:50:00' (21 characters).
bool IsQuotedDate(std::string_view data) {
  static constexpr std::string_view kPattern = "'dddd-dd-dd dd:dd:dd'";
  if (data.size() != kPattern.size()) return false;
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (kPattern[i] == 'd' ? std::isdigit(c) == 0 : data[i] != kPattern[i]) return false;
  }
  return true;
}

void SetSystemTime(std::string_view date) {
  CommandLine command;
  command.Append("date -s ");
  command.Append(date);
  command.Append(" > /dev/null");
  pcba_RunCommand(command.CStr());
}

void AppendQuotedDate(ResponseLine& line, std::string_view date) {
  line.Append(" \"");
  line.Append(date);
  line.Append('"');
}

// Keeps the first 19 characters of a clock reading ("YYYY-MM-DD HH:MM:SS"),
// never its line end.
std::string_view ClockText(const CommandOutput& output) {
  std::string_view text = output.View();
  const std::size_t end = text.find('\n');
  if (end != std::string_view::npos) text = text.substr(0, end);
  return text.substr(0, 19);
}

}  // namespace

StepResult test_Rtc(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  const std::string_view data = args.Data();

  if (step == "setTime" && IsQuotedDate(data)) {
    SetSystemTime(data);
    pcba_RunCommand("/sbin/hwclock -w");
    AppendQuotedDate(line, data);
    return kStepSuccess;
  }
  if (step == "getTime") {
    CommandOutput output;
    if (data == "RTC") {
      pcba_ReadCommandLine("/sbin/hwclock", output);
      line.Append(data);
      line.Append(' ');
      line.Append(ClockText(output));
      return kStepSuccess;
    }
    if (data == "system") {
      pcba_ReadCommandLine("date +%Y-%m-%d:%H:%M:%S", output);
      FixedText<20> text;
      text.Append(ClockText(output));
      // "2017-06-22:10:50:00": the colon between date and time becomes a space.
      if (text.Size() > 10 && text.View()[10] == ':') {
        FixedText<20> spaced;
        spaced.Append(text.View().substr(0, 10));
        spaced.Append(' ');
        spaced.Append(text.View().substr(11));
        text = spaced;
      }
      line.Append(data);
      line.Append(' ');
      line.Append(text.View());
      return kStepSuccess;
    }
    return kStepWrongCommand;
  }
  if (step == "calibrate" && IsQuotedDate(data)) {
    SetSystemTime(data);
    pcba_RunCommand("/sbin/hwclock --systohc --update-drift > /dev/null");
    pcba_RunCommand("/sbin/hwclock --adjust > /dev/null");
    AppendQuotedDate(line, data);
    return kStepSuccess;
  }
  return kStepWrongData;
}
