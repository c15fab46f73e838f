// LCD: reads the touch-screen calibration, or runs the calibration on the
// local display first. The old calibration is kept aside while the script
// runs and comes back whenever no new one is made.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "args.h"
#include "device.h"
#include "replace.h"
#include "shell.h"
#include "tests.h"

namespace {

constexpr const char* kCalibration = "/etc/pointercal.xinput";
constexpr const char* kKeptAside = "/etc/pointercal.xinput.old";

// A person needs some seconds per calibration point and may have to walk to
// the display; a script still running after two minutes is not going to end.
constexpr long kCalibrationDeadlineMs = 120000;

// Makes a rename of the calibration last. A folder that cannot be flushed
// leaves nothing to do differently: the rename itself was done.
void SyncEtc() { (void)replace_SyncFolder("/etc"); }

bool Exists(const char* path) { return ::access(path, F_OK) == 0; }

// Puts back a calibration kept aside by a reCal that was cut off before it
// could finish (the tool killed, a power cut), when no new one was made.
void RestoreKeptAside() {
  if (!Exists(kCalibration) && Exists(kKeptAside) && ::rename(kKeptAside, kCalibration) == 0) SyncEtc();
}

// Moves the old calibration aside, runs the script (which writes the new
// one) within its deadline and keeps the result only when the script ended
// well and left a calibration; otherwise the old one (or none, as before)
// is put back. False when there is no new calibration.
bool Recalibrate() {
  const bool hadOld = ::rename(kCalibration, kKeptAside) == 0;
  if (!hadOld && errno != ENOENT) return false;
  SyncEtc();
  // The script runs on the local display; the step waits until it ends.
  const bool made = pcba_RunCommand("DISPLAY=:0.0 /usr/bin/xinput_calibrator_once.sh", kCalibrationDeadlineMs) &&
                    Exists(kCalibration);
  if (made) {
    if (hadOld) (void)::unlink(kKeptAside);
  } else if (hadOld) {
    (void)::rename(kKeptAside, kCalibration);
  } else {
    (void)::unlink(kCalibration);
  }
  SyncEtc();
  return made;
}

// The calibration's first line without its line end: at most 249
// characters, up to a zero byte. Read here rather than through cat, so that
// a step stopped after the script made its calibration still prints it.
using FirstLine = FixedText<kCommandOutputSize>;
FirstLine ReadFirstLine() {
  FirstLine text;
  const DeviceFd fd = pcba_OpenDevice(kCalibration, O_RDONLY | O_NONBLOCK);
  std::array<char, kCommandOutputSize - 1> buf{};
  const ssize_t got = fd.Valid() ? ::read(fd.Get(), buf.data(), buf.size()) : 0;
  if (got <= 0) return text;
  std::string_view read(buf.data(), ::strnlen(buf.data(), static_cast<std::size_t>(got)));
  text.Append(read.substr(0, read.find('\n')));
  return text;
}

}  // namespace

StepResult test_Lcd(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  if (step != "reCal" && step != "readCal") return kStepWrongData;
  RestoreKeptAside();
  if (step == "reCal" && !Recalibrate()) return kStepIoFailure;

  line.Append('"');
  // The closing quote takes the place of the calibration line's line end; a
  // missing file leaves the single opening quote. A last line without a line
  // end keeps all its characters.
  const FirstLine read = ReadFirstLine();
  if (read.Size() == 0) return kStepSuccess;
  arg_Echo(line, read.View());
  line.Append('"');
  return kStepSuccess;
}
