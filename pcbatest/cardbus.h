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

// Opens the gateway read-write and selects its slave address. Returns the
// starting result code of a card step: kStepWrongCommand when the gateway is
// ready, kStepIoFailure when the open or the address selection failed (the
// step still runs; its bus operations then fail).
[[nodiscard]] StepResult card_OpenGateway(DeviceFd& gateway);

// Bus operations. Each sends its request(s) whole and polls for the
// acknowledgement byte 0x06, at most 100 times, the first poll one interval
// after the request; true when every request was acknowledged.
//
// card_WriteReg: writes a 16-bit value to a register; polls every 1 ms.
[[nodiscard]] bool card_WriteReg(const DeviceFd& gateway, std::uint32_t reg, std::uint16_t value);
// card_ReadReg: reads a 16-bit register; polls every 10 ms.
[[nodiscard]] bool card_ReadReg(const DeviceFd& gateway, std::uint32_t reg, std::uint16_t& value);
// card_ReadBlock: reads out.size() bytes from address on, in requests of at
// most 7 bytes; polls every 10 ms.
[[nodiscard]] bool card_ReadBlock(const DeviceFd& gateway, std::uint32_t address, std::span<std::uint8_t> out);
// card_WriteBlock: writes the bytes from address on, two per request and a
// final odd byte alone; polls every 10 ms.
[[nodiscard]] bool card_WriteBlock(const DeviceFd& gateway, std::uint32_t address, std::span<const std::uint8_t> data);

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
[[nodiscard]] StepResult card_ReadInput(const DeviceFd& gateway, int card, int channel, InputReading& reading);

struct OutputCommand {
  std::uint8_t activation = 0;  // 0 off, 1 on, 2 latched on, 3 latched off
  std::int32_t timeMs = 0;      // pulse length of the latched activations
};

// Switches an output: main card channels 1 to 3 are the red, yellow and green
// LEDs; io channels 1 to 4 are registers 23 to 26; sense channels 1 to 4 are
// LVD1, LVD2 and the two alarm relays, driven by register sequences. Returns
// 1 for success, 0 for a channel or activation the card does not have, and
// kStepIoFailure when a write failed (LED file or gateway exchange).
[[nodiscard]] int card_SetOutput(const DeviceFd& gateway, int card, int channel, const OutputCommand& command);

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
[[nodiscard]] StepResult card_ReadInfo(const DeviceFd& gateway, int card, CardInfo& info);
// Writes the whole block back. Returns 0 or -1.
[[nodiscard]] StepResult card_WriteInfo(const DeviceFd& gateway, int card, const CardInfo& info);
