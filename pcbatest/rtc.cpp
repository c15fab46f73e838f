// RTC: sets the system clock and the battery-backed clock, reads either, and
// calibrates the clock's drift, all through date and hwclock.
#include <array>
#include <span>

#include "args.h"
#include "shell.h"
#include "tests.h"

namespace {

void AppendQuotedDate(ResponseLine& line, std::string_view date) {
  line.Append(" \"");
  line.Append(date);
  line.Append('"');
}

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

bool SetSystemTime(std::string_view date) {
  CommandLine command;
  command.Append("date -s ");
  command.Append(date);
  command.Append(" > /dev/null");
  return pcba_RunCommand(command.CStr());
}

// Sets the system clock, then runs the hwclock commands in order, each only
// after the one before succeeded. A system clock that could not be set
// changed nothing and stops the step before the RTC is touched (hwclock
// would copy the unset clock into it). A failure after it was set leaves
// the board with a new system time and an RTC not (or not fully) written:
// kStepPartial.
StepResult SetClocks(std::string_view date, std::span<const char* const> hwclock, ResponseLine& line) {
  if (!SetSystemTime(date)) return kStepIoFailure;
  for (const char* command : hwclock) {
    if (!pcba_RunCommand(command, kClockDeadlineMs)) return kStepPartial;
  }
  AppendQuotedDate(line, date);
  return kStepSuccess;
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
    static constexpr std::array<const char*, 1> kWrite{"/sbin/hwclock -w"};
    return SetClocks(data, kWrite, line);
  }
  if (step == "getTime") {
    CommandOutput output;
    if (data == "RTC") {
      pcba_ReadCommandLine("/sbin/hwclock", output, kClockDeadlineMs);
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
    static constexpr std::array<const char*, 2> kCalibrate{"/sbin/hwclock --systohc --update-drift > /dev/null",
                                                           "/sbin/hwclock --adjust > /dev/null"};
    return SetClocks(data, kCalibrate, line);
  }
  return kStepWrongData;
}
