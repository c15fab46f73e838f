// The card gateway: an I2C device at address 0x32 on /dev/i2c-0 that gives
// access to the registers and EEPROMs of the measurement card ("sense") and
// the I/O card ("io") through 8-byte requests and acknowledgement polling.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "device.h"

// Card numbers.
inline constexpr int kCardNone = 0;
inline constexpr int kCardMain = 1;
inline constexpr int kCardSense = 2;
inline constexpr int kCardIo = 3;

// The card named on the command line ("main", "sense", "io"), or kCardNone.
[[nodiscard]] int card_FromName(std::string_view name);

// Where a card's EEPROM starts in the gateway's address space: byte n of the
// sense card's EEPROM is at 0x200000 + n, of the io card's at 0x300000 + n.
// 0 for other cards.
[[nodiscard]] std::uint32_t card_MemoryBase(int card);

// Size of the EEPROM image that EEPROM read and write transfer.
inline constexpr std::size_t kCardImageSize = 1024;
// Offset of the production data block in a card's EEPROM.
inline constexpr std::uint32_t kCardInfoOffset = 0x014;
// Offset of the first input calibration record; one record every 16 bytes.
inline constexpr std::uint32_t kCardCalibrationOffset = 0x04B;

// The gateway as one card step uses it: the open device, and the step's
// deadline on the monotonic clock. Every step of the tool runs once, so one
// deadline covers all the requests of the run.
struct CardBus {
  DeviceFd device;
  long long openedMs = 0;
  long long deadlineMs = -1;  // none until the step sets its budget
};

// How long each card step may take, from the opening of the gateway, so
// that a gateway that answers ever more slowly cannot stretch a step to
// minutes (the 100 polls of each request alone would let an EEPROM read of
// 147 requests take two and a half minutes). Each budget is several times
// what the step needs on a good gateway, which acknowledges on the first
// poll (requests, and the time measured on the simulated board):
//   EEPROM read   147 reads                          1.6 s
//   EEPROM write  147 reads, 512 writes, 147 reads   9 s
//   EEPROM erase  the same                           9 s
//   CARDINFO get  8 block reads, 1 register read     0.1 s
//   CARDINFO set  9 reads, 28 writes, 8 reads        0.5 s
//   INPUT         1 register read, 2 block reads     0.05 s
//   OUTPUT        at most 8 register writes (1 ms polls) and the pulse (at
//                 most 1 s); the writes that release a coil are tried past
//                 the deadline too, each bounded by its polls.
// Past the deadline every further bus operation fails at once.
inline constexpr long kBudgetEepromReadMs = 8000;
inline constexpr long kBudgetEepromWriteMs = 30000;
inline constexpr long kBudgetEepromEraseMs = 30000;
inline constexpr long kBudgetInfoGetMs = 2000;
inline constexpr long kBudgetInfoSetMs = 4000;
inline constexpr long kBudgetInputMs = 2000;
inline constexpr long kBudgetOutputMs = 3000;

// Opens the gateway read-write and selects its slave address. Returns the
// starting result code of a card step: kStepWrongCommand when the gateway is
// ready, kStepIoFailure when the open or the address selection failed (the
// step still runs; its bus operations then fail). The step's clock starts
// here.
[[nodiscard]] StepResult card_OpenGateway(CardBus& bus);

// Sets the step's deadline: budgetMs after the gateway was opened.
void card_SetBudget(CardBus& bus, long budgetMs);

// Bus operations. Each sends its request(s) whole and polls for the
// acknowledgement byte 0x06, at most 100 times, the first poll one interval
// after the request; true when every request was acknowledged. Past the
// step's deadline no request is sent and no poll read: the operation fails.
//
// card_WriteReg: writes a 16-bit value to a register; polls every 1 ms.
[[nodiscard]] bool card_WriteReg(const CardBus& bus, std::uint32_t reg, std::uint16_t value);
// card_ReleaseReg: as card_WriteReg, also past the deadline (each write is
// still bounded by its polls): the writes that release a relay coil are
// always tried.
[[nodiscard]] bool card_ReleaseReg(const CardBus& bus, std::uint32_t reg, std::uint16_t value);
// card_ReadReg: reads a 16-bit register; polls every 10 ms.
[[nodiscard]] bool card_ReadReg(const CardBus& bus, std::uint32_t reg, std::uint16_t& value);
// card_ReadBlock: reads out.size() bytes from address on, in requests of at
// most 7 bytes; polls every 10 ms.
[[nodiscard]] bool card_ReadBlock(const CardBus& bus, std::uint32_t address, std::span<std::uint8_t> out);
// card_WriteBlock: writes the bytes from address on, two per request and a
// final odd byte alone; polls every 10 ms.
[[nodiscard]] bool card_WriteBlock(const CardBus& bus, std::uint32_t address, std::span<const std::uint8_t> data);

// Writes data (at most kCardImageSize bytes) from address on over what the
// card held there (before, read by the caller) and reads it back. Returns
//   kStepSuccess    the card now holds exactly data;
//   kStepIoFailure  the card holds what it held before (a write-protected
//                   card, a gateway that took no request), or the read-back
//                   failed and no request that would change a byte was sent;
//   kStepPartial    the card holds neither, or the read-back failed after
//                   such a request was sent (it may have been carried out).
[[nodiscard]] StepResult card_WriteVerified(const CardBus& bus, std::uint32_t address,
                                            std::span<const std::uint8_t> before, std::span<const std::uint8_t> data);

// One analogue input: the calibration record as stored (hi value, hi raw, lo
// value, lo raw), the live raw reading and the calibrated value. The value is
// kept wide: the line through two 16-bit points reaches far beyond 16 bits
// over the raw range, and a wrapped value would be a plainly wrong reading.
struct InputReading {
  std::int16_t hiValue = 0;
  std::uint16_t hiRaw = 0;
  std::int16_t loValue = 0;
  std::uint16_t loRaw = 0;
  std::uint16_t raw = 0;
  long long value = 0;
};

// The calibrated value of a reading: the straight line through the two
// calibration points, in single precision, truncated toward zero.
[[nodiscard]] long long card_Calibrate(const InputReading& reading);

// Reads input channel (sense 1 to 11, io 1 to 4): raw register, calibration
// record, calibrated value. Returns 0, or -1 for a channel outside the card's
// range or a bus failure (what was read before the failure is kept).
[[nodiscard]] StepResult card_ReadInput(const CardBus& bus, int card, int channel, InputReading& reading);

struct OutputCommand {
  std::uint8_t activation = 0;  // 0 off, 1 on, 2 latched on, 3 latched off
  std::int32_t timeMs = 0;      // pulse length of the latched activations
};

// Switches an output: main card channels 1 to 3 are the red, yellow and green
// LEDs; io channels 1 to 4 are registers 23 to 26; sense channels 1 to 4 are
// LVD1, LVD2 and the two alarm relays, driven by register sequences. Returns
// 1 for success, 0 for a channel or activation the card does not have,
// kStepIoFailure when a write failed (LED file or gateway exchange), and
// kStepPartial when a latched pulse drove its coil but did not finish (a
// failed write, or a stop signal that cut the pulse short: the relay may
// have switched). The coils are released in every case.
[[nodiscard]] int card_SetOutput(const CardBus& bus, int card, int channel, const OutputCommand& command);

// The 55-byte production data block and the software version.
inline constexpr std::size_t kCardInfoSize = 55;
struct CardInfo {
  std::array<std::uint8_t, kCardInfoSize> block{};
  std::uint16_t sw = 0;
};

// Field offsets and sizes within the block.
struct CardInfoField {
  std::size_t offset;
  std::size_t size;
};
inline constexpr CardInfoField kInfoDescription{0, 27};
inline constexpr CardInfoField kInfoPartNumber{27, 12};
inline constexpr CardInfoField kInfoSerial{39, 6};
inline constexpr CardInfoField kInfoVersion{45, 6};
inline constexpr CardInfoField kInfoYear{51, 2};
inline constexpr CardInfoField kInfoMonth{53, 1};
inline constexpr CardInfoField kInfoDay{54, 1};

// Reads the block (and, for the sense card, the software version from
// register 50; the io card reports 0). Returns 0 or -1.
[[nodiscard]] StepResult card_ReadInfo(const CardBus& bus, int card, CardInfo& info);
// Writes the whole block over before (as card_ReadInfo read it) and reads it
// back (card_WriteVerified): returns 0, -1 or kStepPartial.
[[nodiscard]] StepResult card_WriteInfo(const CardBus& bus, int card, const CardInfo& before, const CardInfo& info);
