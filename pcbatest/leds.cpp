// LED, CON500 and BL: the main-card LEDs, the extension connector's test pins
// (both LED-class devices) and the display backlight, all through sysfs.
#include <array>
#include <cstdint>

#include "args.h"
#include "device.h"
#include "tests.h"

namespace {

// Beyond any backlight's range; the driver refuses what its panel lacks.
constexpr std::uint64_t kMaxBacklightLevel = 255;

// Only the first character of the data goes to the LED: the kernel reads "0"
// as off and "1" as on. An empty data argument sends its terminator, which the
// kernel refuses, so the step reports the write failure.
StepResult WriteFirstCharacter(const char* path, std::string_view data) {
  const char first = data.empty() ? '\0' : data.front();
  return pcba_WriteAttribute(path, std::string_view(&first, 1));
}

}  // namespace

StepResult test_Led(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 3, false);
  const std::string_view step = args.Step();
  const char* path = nullptr;
  if (step == "green") {
    path = "/sys/class/leds/green-led/brightness";
  } else if (step == "yellow") {
    path = "/sys/class/leds/yellow-led/brightness";
  } else if (step == "red") {
    path = "/sys/class/leds/red-led/brightness";
  } else {
    return kStepWrongCommand;
  }
  return WriteFirstCharacter(path, args.Data());
}

StepResult test_Con500(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 3, false);
  static constexpr std::array<std::string_view, 12> kPins{"p8",  "p9",  "p10", "p11", "p12", "p13",
                                                          "p14", "p15", "p16", "p17", "p18", "p19"};
  const std::string_view step = args.Step();
  for (const std::string_view pin : kPins) {
    if (step != pin) continue;
    FixedText<64> path;
    path.Append("/sys/class/leds/CON500");
    path.Append(pin);
    path.Append("/brightness");
    return WriteFirstCharacter(path.CStr(), args.Data());
  }
  return kStepWrongCommand;
}

StepResult test_Backlight(const StepArgs& args, ResponseLine& line) {
  static constexpr const char* kBrightness = "/sys/class/backlight/backlight/brightness";
  pcba_Echo(args, line, 3, false);
  const std::string_view step = args.Step();
  // The level must be a whole number: a missing level would be a write of
  // nothing, which every driver takes without changing anything, and "5x"
  // or "-1" are not levels. The board's highest level is the driver's to
  // know: it refuses a level it cannot show, and the failed write is
  // reported.
  if (step == "activate") {
    std::uint64_t level = 0;
    if (!arg_Unsigned(args.Data(), 0, kMaxBacklightLevel, level)) return kStepWrongData;
    return pcba_WriteAttribute(kBrightness, args.Data());
  }
  if (step == "deactivate") return pcba_WriteAttribute(kBrightness, "0");
  return kStepWrongCommand;
}
