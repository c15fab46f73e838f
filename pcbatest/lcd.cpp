// LCD: reads the touch-screen calibration, or removes it and runs the
// calibration on the local display first.
#include "args.h"
#include "shell.h"
#include "tests.h"

StepResult test_Lcd(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  if (step == "reCal") {
    pcba_RunCommand("rm /etc/pointercal.xinput");
    // The script runs on the local display; the step waits until it ends.
    pcba_RunCommand("DISPLAY=:0.0 /usr/bin/xinput_calibrator_once.sh");
  } else if (step != "readCal") {
    return kStepWrongData;
  }

  CommandOutput output;
  pcba_ReadCommandLine("cat /etc/pointercal.xinput", output);
  line.Append('"');
  // The closing quote takes the place of the calibration line's line end; a
  // missing file leaves the single opening quote. A last line without a line
  // end keeps all its characters.
  std::string_view read = output.View();
  if (read.empty()) return kStepSuccess;
  if (read.back() == '\n') read.remove_suffix(1);
  arg_Echo(line, read);
  line.Append('"');
  return kStepSuccess;
}
