// BUZZER, DIP and KEYPAD: the main-card devices behind evdev input nodes.
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "device.h"
#include "tests.h"

namespace {

constexpr const char* kBuzzerDevice = "/dev/input/buzzer0";
constexpr const char* kDipDevice = "/dev/input/dipswitch0";
constexpr const char* kKeypadDevice = "/dev/input/keyboard0";

// Boards without the input nodes run a system image that is too old.
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
    const StepResult result = WriteTone(fd, pcba_Decimal(args.Data()));
    line.Append(args.Data());
    return result;
  }
  if (step == "deactivate") return WriteTone(fd, 0);
  return kStepWrongCommand;
}

StepResult test_Dip(const StepArgs& args, ResponseLine& line) {
  const DeviceFd fd = OpenInput(kDipDevice);
  if (!fd.Valid()) return kStepAbort;
  input_absinfo abs{};
  // A failing request leaves the zeroed value.
  (void)::ioctl(fd.Get(), EVIOCGABS(ABS_X), &abs);
  pcba_Echo(args, line, 2, true);
  line.AppendSigned(abs.value);
  return kStepSuccess;
}

StepResult test_Keypad(const StepArgs& args, ResponseLine& line) {
  const DeviceFd fd = OpenInput(kKeypadDevice);
  if (!fd.Valid()) return kStepAbort;
  std::array<unsigned char, 16> keys{};
  (void)::ioctl(fd.Get(), EVIOCGKEY(keys.size()), keys.data());
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
  pcba_Echo(args, line, 2, true);
  line.AppendSigned(value);
  return kStepSuccess;
}
