// BUZZER, DIP and KEYPAD: the main-card devices behind evdev input nodes.
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "args.h"
#include "device.h"
#include "tests.h"

namespace {

constexpr const char* kBuzzerDevice = "/dev/input/buzzer0";
constexpr const char* kDipDevice = "/dev/input/dipswitch0";
constexpr const char* kKeypadDevice = "/dev/input/keyboard0";

// Boards without the input nodes run a system image that is too old.
// Highest tone frequency the buzzer step sends (the top of human hearing).
constexpr std::uint64_t kMaxToneHz = 20000;

constexpr const char* kOldImageMessage = "evdev open - KV R Image 2.0.g or later required";

StepResult WriteTone(const DeviceFd& fd, int frequency) {
  if (!fd.Valid()) return kStepIoFailure;
  input_event event{};
  timeval now{};
  ::gettimeofday(&now, nullptr);
  event.input_event_sec = now.tv_sec;
  event.input_event_usec = now.tv_usec;
  event.type = EV_SND;
  event.code = SND_TONE;
  event.value = frequency;
  const ssize_t written = ::write(fd.Get(), &event, sizeof event);
  return written < 0 ? kStepIoFailure : static_cast<StepResult>(written);
}

DeviceFd OpenInput(const char* path) {
  DeviceFd fd = pcba_OpenDevice(path, O_RDONLY);
  if (!fd.Valid()) std::perror(kOldImageMessage);
  return fd;
}

}  // namespace

StepResult test_Buzzer(const StepArgs& args, ResponseLine& line) {
  // An open failure shows up as the failing write below.
  const DeviceFd fd = pcba_OpenDevice(kBuzzerDevice, O_WRONLY | O_NONBLOCK);
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  if (step == "activate") {
    // A frequency that is not a whole number in the audible range is
    // refused: a tone of 0 Hz for "loud" would be silence reported as a
    // tone.
    std::uint64_t frequency = 0;
    if (!arg_Unsigned(args.Data(), 0, kMaxToneHz, frequency)) return kStepWrongData;
    const StepResult result = WriteTone(fd, static_cast<int>(frequency));
    arg_Echo(line, args.Data());
    return result;
  }
  if (step == "deactivate") return WriteTone(fd, 0);
  return kStepWrongCommand;
}

StepResult test_Dip(const StepArgs& args, ResponseLine& line) {
  const DeviceFd fd = OpenInput(kDipDevice);
  if (!fd.Valid()) return kStepAbort;
  input_absinfo abs{};
  pcba_Echo(args, line, 2, true);
  // A request that failed read no setting: a zero printed for it would pass
  // for switches all off.
  if (::ioctl(fd.Get(), EVIOCGABS(ABS_X), &abs) < 0) return kStepIoFailure;
  line.AppendSigned(abs.value);
  return kStepSuccess;
}

StepResult test_Keypad(const StepArgs& args, ResponseLine& line) {
  const DeviceFd fd = OpenInput(kKeypadDevice);
  if (!fd.Valid()) return kStepAbort;
  std::array<unsigned char, 16> keys{};
  pcba_Echo(args, line, 2, true);
  // As for the switch: a failed request is no "no key down".
  if (::ioctl(fd.Get(), EVIOCGKEY(keys.size()), keys.data()) < 0) return kStepIoFailure;
  // Whole bytes of the key bitmap, first match wins: byte 3 holds Enter (28),
  // byte 12 holds Up (103), byte 13 holds Down (108).
  int value = 0;
  if (keys[KEY_ENTER / 8] != 0) {
    value = 3;
  } else if (keys[KEY_UP / 8] != 0) {
    value = 2;
  } else if (keys[KEY_DOWN / 8] != 0) {
    value = 1;
  }
  line.AppendSigned(value);
  return kStepSuccess;
}
