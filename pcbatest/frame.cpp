// Argument handling, dispatch by test name and the final report.
#include "frame.h"

#include <cstdio>

#include "args.h"
#include "help.h"
#include "tests.h"

namespace {

struct TestEntry {
  std::string_view name;
  TestHandler handler;
};

// The order in which the test name is compared.
constexpr std::array<TestEntry, 16> kTests{{
    {"LED", test_Led},
    {"COMPORT", test_Comport},
    {"BUZZER", test_Buzzer},
    {"BL", test_Backlight},
    {"CAN", test_Can},
    {"CON500", test_Con500},
    {"RTC", test_Rtc},
    {"USB", test_Usb},
    {"LCD", test_Lcd},
    {"PDATA", test_Pdata},
    {"DIP", test_Dip},
    {"KEYPAD", test_Keypad},
    {"EEPROM", test_Eeprom},
    {"INPUT", test_Input},
    {"OUTPUT", test_Output},
    {"CARDINFO", test_CardInfo},
}};

const TestEntry* FindTest(std::string_view name) noexcept {
  for (const TestEntry& entry : kTests) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

void PrintLine(std::string_view text) noexcept {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace

StepArgs::StepArgs(int argc, char** argv) noexcept {
  count_ = argc > 1 ? argc - 1 : 0;
  for (int i = 1; i < argc && i <= kMaxArgs; ++i) {
    if (argv[i] != nullptr) args_[static_cast<std::size_t>(i)] = argv[i];
  }
}

std::string_view StepArgs::Get(int index) const noexcept {
  if (index < 1 || index > kMaxArgs) return {};
  return args_[static_cast<std::size_t>(index)];
}

void pcba_Echo(const StepArgs& args, ResponseLine& line, int count, bool trailingSpace) {
  for (int i = 1; i <= count; ++i) {
    if (i > 1) line.Append(' ');
    arg_Echo(line, args.Get(i));
  }
  if (trailingSpace) line.Append(' ');
}

int pcba_Report(StepResult result, const ResponseLine& line) {
  switch (result) {
    case kStepWrongTest: PrintLine("Wrong test specified -> "); break;
    case kStepWrongCommand: PrintLine("Wrong test command specified -> "); break;
    case kStepWrongData: PrintLine("Wrong test data specified -> "); break;
    case kStepIoFailure: PrintLine("Unable to open, read or write to file -> "); break;
    case kStepPartial: PrintLine("Board partly written, step not finished -> "); break;
    default: break;
  }
  PrintLine(line.View());
  std::fflush(stdout);
  return 0;
}

int pcba_Dispatch(int argc, char** argv) {
  const StepArgs args(argc, argv);
  ResponseLine line;

  if (args.Count() == 0) {
    pcba_PrintBanner();
    pcba_PrintWarning();
    pcba_PrintOverview();
    std::fflush(stdout);
    return 1;
  }

  const TestEntry* test = FindTest(args.Test());
  if (test == nullptr) return pcba_Report(kStepWrongTest, line);

  if (args.Count() == 1) {
    pcba_PrintWarning();
    pcba_PrintTestHelp(test->name);
    std::fflush(stdout);
    return 1;
  }

  // Output of the shell commands a step runs must not overtake ours.
  std::fflush(stdout);
  const StepResult result = test->handler(args, line);
  if (result == kStepAbort) {
    std::fflush(stdout);
    return 1;
  }
  return pcba_Report(result, line);
}
