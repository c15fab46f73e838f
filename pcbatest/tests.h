// The test handlers, one per test name, in the order the dispatcher compares
// them. Each appends its echo and result to the response line and returns a
// StepResult for pcba_Report.
#pragma once

#include "frame.h"

StepResult test_Led(const StepArgs& args, ResponseLine& line);
StepResult test_Comport(const StepArgs& args, ResponseLine& line);
StepResult test_Buzzer(const StepArgs& args, ResponseLine& line);
StepResult test_Backlight(const StepArgs& args, ResponseLine& line);
StepResult test_Can(const StepArgs& args, ResponseLine& line);
StepResult test_Con500(const StepArgs& args, ResponseLine& line);
StepResult test_Rtc(const StepArgs& args, ResponseLine& line);
StepResult test_Usb(const StepArgs& args, ResponseLine& line);
StepResult test_Lcd(const StepArgs& args, ResponseLine& line);
StepResult test_Pdata(const StepArgs& args, ResponseLine& line);
// DIP and KEYPAD do not look at the step item; a missing input device gives
// kStepAbort after the system error message.
StepResult test_Dip(const StepArgs& args, ResponseLine& line);
StepResult test_Keypad(const StepArgs& args, ResponseLine& line);
StepResult test_Eeprom(const StepArgs& args, ResponseLine& line);
StepResult test_Input(const StepArgs& args, ResponseLine& line);
StepResult test_Output(const StepArgs& args, ResponseLine& line);
StepResult test_CardInfo(const StepArgs& args, ResponseLine& line);
