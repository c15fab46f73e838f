// RTC: sets the system clock and the battery-backed clock, reads either, and
// calibrates the clock's drift, all through date and hwclock.
#include "args.h"
#include "shell.h"
#include "tests.h"

namespace {

// The date is passed to the shell as typed, so only the quoted form the
// stations send is accepted, and only for a real date and time of day:
// '2017-06-22 10:50:00' (21 characters). date would take month 13 or hour
// 99 as something else, or fail after the step reported success.
bool IsQuotedDate(std::string_view data) { return arg_QuotedDateTime(data); }

// A clock reading is "YYYY-MM-DD HH:MM:SS"; anything else (no output, an
// error message) means the clock could not be read.
bool IsClockReading(std::string_view text) {
  FixedText<24> quoted;
  quoted.Append('\'');
  quoted.Append(text);
  quoted.Append('\'');
  return quoted.Complete() && arg_QuotedDateTime(quoted.View());
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
      if (!IsClockReading(ClockText(output))) return kStepIoFailure;
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
      if (!IsClockReading(text.View())) return kStepIoFailure;
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
