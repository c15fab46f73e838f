// INPUT and OUTPUT: analogue inputs of the sense and io cards, and the
// outputs of all three cards (the main card's are its LEDs).
#include <array>
#include <span>

#include "args.h"
#include "cardbus.h"
#include "stop.h"
#include "tests.h"

namespace {

// ---- inputs ----------------------------------------------------------------

struct InputChannel {
  std::uint32_t rawRegister;
  std::uint32_t calibrationAddress;
};

// Sense channels 1 to 11 are raw registers 0 to 10, io channels 1 to 4 raw
// registers 11 to 14; channel k's calibration record is the k-th record of
// the card's EEPROM.
bool FindInput(int card, int channel, InputChannel& found) {
  int first = 0;
  int count = 0;
  if (card == kCardSense) {
    first = 0;
    count = 11;
  } else if (card == kCardIo) {
    first = 11;
    count = 4;
  }
  if (channel < 1 || channel > count) return false;
  const auto index = static_cast<std::uint32_t>(channel - 1);
  found.rawRegister = static_cast<std::uint32_t>(first) + index;
  found.calibrationAddress = card_MemoryBase(card) + kCardCalibrationOffset + 16 * index;
  return true;
}

// Input channels per card: sense 1 to 11, io 1 to 4.
std::uint64_t InputChannels(int card) { return card == kCardSense ? 11 : card == kCardIo ? 4 : 0; }

std::uint16_t Le16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8); }

// ---- outputs ---------------------------------------------------------------

// Output channels per card: the main card's three LEDs, four on the others.
std::uint64_t OutputChannels(int card) { return card == kCardMain ? 3 : 4; }

// The longest coil pulse of a latched activation. The coils of the latching
// relays are made for pulses of some tens of milliseconds and heat up when
// held; a second covers every station's setting (500 ms is the usual one)
// and keeps a mistyped time from holding a coil for minutes.
constexpr std::uint64_t kMaxPulseMs = 1000;

// One step of a sense output sequence: a register write, or a wait.
struct SeqStep {
  int reg;  // register, or one of the waits below
  std::uint16_t value;
};
constexpr int kSettle = -1;  // 2 ms for the relay coil to settle
constexpr int kPulse = -2;   // the time given on the command line
constexpr long kSettleMs = 2;

constexpr SeqStep W(int reg, std::uint16_t value) { return {reg, value}; }
constexpr SeqStep kW2{kSettle, 0};
constexpr SeqStep kWT{kPulse, 0};

// Registers 15/16 and 17/18 are the coil pairs of LVD1 and LVD2, 21 and 22
// the alarm relays; 19/20 drive the common side of the latching coils.
constexpr SeqStep kLvd1Off[] = {W(20, 0), W(19, 0), W(15, 0), W(16, 0)};
constexpr SeqStep kLvd2Off[] = {W(20, 0), W(19, 0), W(17, 0), W(18, 0)};
constexpr SeqStep kRelay1Off[] = {W(21, 0)};
constexpr SeqStep kRelay2Off[] = {W(22, 0)};

constexpr SeqStep kLvd1On[] = {W(20, 0), W(19, 1), W(15, 0), W(16, 1)};
constexpr SeqStep kLvd2On[] = {W(20, 0), W(19, 1), W(17, 0), W(18, 1)};
constexpr SeqStep kRelay1On[] = {W(21, 1)};
constexpr SeqStep kRelay2On[] = {W(22, 1)};

constexpr SeqStep kLvd1LatchOn[] = {W(19, 0), W(20, 1), kW2, W(16, 0), W(15, 1), kWT,
                                    W(19, 0), W(20, 0), kW2, W(16, 0), W(15, 0)};
constexpr SeqStep kLvd2LatchOn[] = {W(19, 0), W(20, 1), kW2, W(18, 0), W(17, 1), kWT,
                                    W(19, 0), W(20, 0), kW2, W(18, 0), W(17, 0)};
constexpr SeqStep kRelay1LatchOn[] = {W(21, 0), kW2, W(19, 0), W(20, 1), kWT, W(21, 0), kW2, W(19, 0), W(20, 0)};
constexpr SeqStep kRelay2LatchOn[] = {W(22, 0), kW2, W(19, 0), W(20, 1), kWT, W(22, 0), kW2, W(19, 0), W(20, 0)};

constexpr SeqStep kLvd1LatchOff[] = {W(20, 0), W(19, 1), kW2, W(15, 0), W(16, 1), kWT,
                                     W(20, 0), W(19, 0), kW2, W(15, 0), W(16, 0)};
constexpr SeqStep kLvd2LatchOff[] = {W(20, 0), W(19, 1), kW2, W(17, 0), W(18, 1), kWT,
                                     W(20, 0), W(19, 0), kW2, W(17, 0), W(18, 0)};
constexpr SeqStep kRelay1LatchOff[] = {W(21, 1), kW2, W(20, 0), W(19, 1), kWT, W(20, 0), W(19, 0), kW2, W(21, 0)};
constexpr SeqStep kRelay2LatchOff[] = {W(22, 1), kW2, W(20, 0), W(19, 1), kWT, W(20, 0), W(19, 0), kW2, W(22, 0)};

// By activation (0 off, 1 on, 2 latched on, 3 latched off), then channel 1 to 4.
constexpr std::array<std::array<std::span<const SeqStep>, 4>, 4> kSenseSequences{{
    {kLvd1Off, kLvd2Off, kRelay1Off, kRelay2Off},
    {kLvd1On, kLvd2On, kRelay1On, kRelay2On},
    {kLvd1LatchOn, kLvd2LatchOn, kRelay1LatchOn, kRelay2LatchOn},
    {kLvd1LatchOff, kLvd2LatchOff, kRelay1LatchOff, kRelay2LatchOff},
}};

// Runs a sense output sequence. A failed write does not stop it: the
// latched activations end by releasing the coils, which is always tried,
// past the step's deadline and after a stop signal too. A stop signal
// before the pulse skips the rest of the set-up (no coil is driven), during
// the pulse ends the pulse.
//
// Returns 1 when every write was acknowledged and the pulse ran its time.
// Otherwise a latched activation whose coil was driven (the write before
// the pulse acknowledged) may have switched its relay: kStepPartial; any
// other failure changed nothing lasting: kStepIoFailure.
int SetSenseOutput(const CardBus& bus, int channel, const OutputCommand& command) {
  if (command.activation > 3 || channel < 1 || channel > 4) return 0;
  bool failed = false;
  bool releasing = false;
  bool driven = false;
  bool lastWrite = false;
  for (const SeqStep& step : kSenseSequences[command.activation][static_cast<std::size_t>(channel - 1)]) {
    if (step.reg == kPulse) {
      driven = lastWrite;
      if (!pcba_WaitUnlessStopped(command.timeMs)) failed = true;
      releasing = true;
    } else if (!releasing && pcba_StopRequested()) {
      failed = true;
      lastWrite = false;
    } else if (step.reg == kSettle) {
      pcba_SleepMs(kSettleMs);
    } else {
      const auto reg = static_cast<std::uint32_t>(step.reg);
      lastWrite = releasing ? card_ReleaseReg(bus, reg, step.value) : card_WriteReg(bus, reg, step.value);
      failed = failed || !lastWrite;
    }
  }
  if (!failed) return 1;
  return driven ? kStepPartial : kStepIoFailure;
}

int SetMainOutput(int channel, const OutputCommand& command) {
  static constexpr std::array<const char*, 3> kLeds{
      "/sys/class/leds/red-led/brightness",
      "/sys/class/leds/yellow-led/brightness",
      "/sys/class/leds/green-led/brightness",
  };
  if (channel < 1 || channel > 3) return 0;
  FixedText<8> text;
  text.AppendUnsigned(command.activation);
  // The LED takes one character.
  return pcba_WriteAttribute(kLeds[static_cast<std::size_t>(channel - 1)], text.View().substr(0, 1)) < 0
             ? kStepIoFailure
             : 1;
}

}  // namespace

long long card_Calibrate(const InputReading& reading) {
  const int rawSpan = reading.hiRaw - reading.loRaw;
  // Two calibration points at the same raw reading define no line; the low
  // calibration value is reported instead of dividing by zero.
  if (rawSpan == 0) return reading.loValue;
  const float value = static_cast<float>(reading.loValue) + static_cast<float>(reading.hiValue - reading.loValue) /
                                                                static_cast<float>(rawSpan) *
                                                                static_cast<float>(reading.raw - reading.loRaw);
  // Truncated toward zero. The line through two 16-bit points stays within
  // about ±2^32 over the raw range, well inside long long.
  return static_cast<long long>(value);
}

StepResult card_ReadInput(const CardBus& bus, int card, int channel, InputReading& reading) {
  InputChannel input{};
  if (!FindInput(card, channel, input)) return kStepIoFailure;
  if (!card_ReadReg(bus, input.rawRegister, reading.raw)) return kStepIoFailure;
  std::array<std::uint8_t, 8> record{};
  if (!card_ReadBlock(bus, input.calibrationAddress, record)) return kStepIoFailure;
  reading.hiValue = static_cast<std::int16_t>(Le16(&record[0]));
  reading.hiRaw = Le16(&record[2]);
  reading.loValue = static_cast<std::int16_t>(Le16(&record[4]));
  reading.loRaw = Le16(&record[6]);
  reading.value = card_Calibrate(reading);
  return kStepSuccess;
}

int card_SetOutput(const CardBus& bus, int card, int channel, const OutputCommand& command) {
  if (card == kCardMain) return SetMainOutput(channel, command);
  if (card == kCardIo) {
    if (channel < 1 || channel > 4) return 0;
    return card_WriteReg(bus, static_cast<std::uint32_t>(22 + channel), command.activation) ? 1 : kStepIoFailure;
  }
  if (card == kCardSense) return SetSenseOutput(bus, channel, command);
  return 0;
}

StepResult test_Input(const StepArgs& args, ResponseLine& line) {
  CardBus bus;
  const StepResult start = card_OpenGateway(bus);
  pcba_Echo(args, line, 4, true);

  const std::string_view step = args.Step();
  if (step != "readRaw" && step != "readValue" && step != "readCalib") return start;
  // A card without inputs names no step of this test: nothing is read and
  // no value printed.
  const int card = card_FromName(args.Data());
  if (card != kCardSense && card != kCardIo) return start;
  std::uint64_t channel = 0;
  if (!arg_Unsigned(args.Get(4), 1, InputChannels(card), channel)) return kStepWrongData;
  // A failed read prints no value: the zeros of an unread record would be
  // logged as a reading.
  InputReading reading{};
  card_SetBudget(bus, kBudgetInputMs);
  if (card_ReadInput(bus, card, static_cast<int>(channel), reading) != kStepSuccess) return kStepIoFailure;

  if (step == "readRaw") {
    line.AppendUnsigned(reading.raw);
  } else if (step == "readValue") {
    line.AppendSigned(reading.value);
  } else {
    line.AppendSigned(reading.hiValue);
    line.Append(' ');
    line.AppendUnsigned(reading.hiRaw);
    line.Append(' ');
    line.AppendSigned(reading.loValue);
    line.Append(' ');
    line.AppendUnsigned(reading.loRaw);
  }
  return kStepSuccess;
}

StepResult test_Output(const StepArgs& args, ResponseLine& line) {
  CardBus bus;
  const StepResult start = card_OpenGateway(bus);
  pcba_Echo(args, line, 4, true);
  if (args.Step() != "set") return start;

  const int card = card_FromName(args.Data());
  if (card == kCardNone) return start;
  // Channel, activation and time are whole numbers within the card's table;
  // nothing is wrapped into range, so channel 257 never switches channel 1
  // and activation 200 never reaches a register.
  std::uint64_t channel = 0;
  std::uint64_t activation = 0;
  std::uint64_t timeMs = 0;
  if (!arg_Unsigned(args.Get(4), 1, OutputChannels(card), channel) || !arg_Unsigned(args.Get(5), 0, 3, activation) ||
      !arg_Unsigned(args.Get(6), 0, kMaxPulseMs, timeMs)) {
    return kStepWrongData;
  }
  // A latched activation pulses a coil for the given time: no pulse would
  // leave the relay where it was while the step reports it switched.
  if (card == kCardSense && activation >= 2 && timeMs == 0) return kStepWrongData;
  OutputCommand command;
  command.activation = static_cast<std::uint8_t>(activation);
  command.timeMs = static_cast<std::int32_t>(timeMs);
  // From here a station's timeout that ends the tool during a pulse must not
  // leave a relay coil energised: the pulse ends early, the coils are
  // released, and the step reports.
  if (card == kCardSense && activation >= 2) pcba_CatchStopSignals();
  card_SetBudget(bus, kBudgetOutputMs);
  const StepResult result = card_SetOutput(bus, card, static_cast<int>(channel), command);

  line.AppendUnsigned(command.activation);
  line.Append(' ');
  line.AppendSigned(command.timeMs);
  return result;
}
