// The serial-port, CAN and card tests are known to the dispatcher and have
// their help texts, but their steps are not built into this program yet:
// until they are, running one answers as for a test this program does not
// have. Each handler moves to its own module when it is built.
#include "tests.h"

StepResult test_Comport(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
StepResult test_Can(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
StepResult test_Eeprom(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
StepResult test_Input(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
StepResult test_Output(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
StepResult test_CardInfo(const StepArgs&, ResponseLine&) { return kStepWrongTest; }
