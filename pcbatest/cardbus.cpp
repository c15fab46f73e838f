// The gateway's request and acknowledgement protocol.
//
// A request is 8 bytes written at once: address (32-bit little-endian),
// operation (0 read, 1 write), length, and two data bytes. A write request
// carries a 16-bit value little-endian in bytes 6 and 7, or one byte in byte
// 7 with byte 6 zero. The gateway answers a read with the data bytes and the
// acknowledgement byte 0x06, a write with 0x06 alone; until it is done, what
// it returns does not end in 0x06, and the tool polls again.
#include "cardbus.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "stop.h"

namespace {

constexpr const char* kGatewayDevice = "/dev/i2c-0";
constexpr unsigned long kGatewayAddress = 0x32;

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kOpRead = 0;
constexpr std::uint8_t kOpWrite = 1;
constexpr int kMaxPolls = 100;
constexpr long kRegisterWritePollMs = 1;
constexpr long kPollMs = 10;
constexpr std::size_t kMaxReadLength = 7;
constexpr std::size_t kMaxWriteLength = 2;

// Whether the step may still use the bus. A release write ignores the
// deadline; every other operation fails once it has passed.
enum class Deadline { kApplies, kIgnored };

bool InTime(const CardBus& bus, Deadline deadline) {
  return deadline == Deadline::kIgnored || bus.deadlineMs < 0 || pcba_NowMs() < bus.deadlineMs;
}

bool SendRequest(const CardBus& bus, Deadline deadline, std::uint32_t address, std::uint8_t operation,
                 std::uint8_t length, std::uint8_t data6, std::uint8_t data7) {
  if (!InTime(bus, deadline)) return false;
  const std::array<std::uint8_t, 8> request{
      static_cast<std::uint8_t>(address),
      static_cast<std::uint8_t>(address >> 8),
      static_cast<std::uint8_t>(address >> 16),
      static_cast<std::uint8_t>(address >> 24),
      operation,
      length,
      data6,
      data7,
  };
  // A request is only sent whole; a short write fails the operation at once.
  return ::write(bus.device.Get(), request.data(), request.size()) == static_cast<ssize_t>(request.size());
}

// Polls until a reply of reply.size() bytes ends in the acknowledgement, one
// poll every intervalMs, the first one interval after the request: the
// gateway's firmware relies on that pace and must not be read sooner. A
// poll due after the deadline is not made.
bool AwaitAck(const CardBus& bus, Deadline deadline, std::span<std::uint8_t> reply, long intervalMs) {
  for (int poll = 0; poll < kMaxPolls; ++poll) {
    pcba_SleepMs(intervalMs);
    if (!InTime(bus, deadline)) return false;
    std::fill(reply.begin(), reply.end(), std::uint8_t{0});
    const ssize_t got = ::read(bus.device.Get(), reply.data(), reply.size());
    if (got == static_cast<ssize_t>(reply.size()) && reply.back() == kAck) return true;
  }
  return false;
}

bool WriteRegister(const CardBus& bus, Deadline deadline, std::uint32_t reg, std::uint16_t value) {
  if (!SendRequest(bus, deadline, reg, kOpWrite, 2, static_cast<std::uint8_t>(value),
                   static_cast<std::uint8_t>(value >> 8))) {
    return false;
  }
  std::array<std::uint8_t, 1> reply{};
  return AwaitAck(bus, deadline, reply, kRegisterWritePollMs);
}

bool ReadPiece(const CardBus& bus, std::uint32_t address, std::span<std::uint8_t> out) {
  const auto length = static_cast<std::uint8_t>(out.size());
  if (!SendRequest(bus, Deadline::kApplies, address, kOpRead, length, 0, 0)) return false;
  std::array<std::uint8_t, kMaxReadLength + 1> reply{};
  if (!AwaitAck(bus, Deadline::kApplies, std::span(reply).first(out.size() + 1), kPollMs)) return false;
  std::memcpy(out.data(), reply.data(), out.size());
  return true;
}

// Writes the bytes in pairs; sent counts the bytes of the requests that went
// out whole, acknowledged or not: the card may have taken them.
bool WriteBlock(const CardBus& bus, std::uint32_t address, std::span<const std::uint8_t> data, std::size_t& sent) {
  sent = 0;
  while (!data.empty()) {
    const std::size_t length = std::min(kMaxWriteLength, data.size());
    // A pair goes first byte in byte 6; a final odd byte alone goes in byte 7.
    const std::uint8_t data6 = length == 2 ? data[0] : 0;
    const std::uint8_t data7 = length == 2 ? data[1] : data[0];
    if (!SendRequest(bus, Deadline::kApplies, address, kOpWrite, static_cast<std::uint8_t>(length), data6, data7)) {
      return false;
    }
    sent += length;
    std::array<std::uint8_t, 1> reply{};
    if (!AwaitAck(bus, Deadline::kApplies, reply, kPollMs)) return false;
    address += static_cast<std::uint32_t>(length);
    data = data.subspan(length);
  }
  return true;
}

}  // namespace

int card_FromName(std::string_view name) {
  if (name == "main") return kCardMain;
  if (name == "sense") return kCardSense;
  if (name == "io") return kCardIo;
  return kCardNone;
}

std::uint32_t card_MemoryBase(int card) {
  if (card == kCardSense) return 0x200000;
  if (card == kCardIo) return 0x300000;
  return 0;
}

StepResult card_OpenGateway(CardBus& bus) {
  bus.openedMs = pcba_NowMs();
  bus.deadlineMs = -1;
  bus.device = pcba_OpenDevice(kGatewayDevice, O_RDWR);
  if (!bus.device.Valid()) return kStepIoFailure;
  if (::ioctl(bus.device.Get(), I2C_SLAVE, kGatewayAddress) < 0) return kStepIoFailure;
  return kStepWrongCommand;
}

void card_SetBudget(CardBus& bus, long budgetMs) { bus.deadlineMs = bus.openedMs + budgetMs; }

bool card_WriteReg(const CardBus& bus, std::uint32_t reg, std::uint16_t value) {
  return WriteRegister(bus, Deadline::kApplies, reg, value);
}

bool card_ReleaseReg(const CardBus& bus, std::uint32_t reg, std::uint16_t value) {
  return WriteRegister(bus, Deadline::kIgnored, reg, value);
}

bool card_ReadReg(const CardBus& bus, std::uint32_t reg, std::uint16_t& value) {
  std::array<std::uint8_t, 2> bytes{};
  if (!ReadPiece(bus, reg, bytes)) return false;
  value = static_cast<std::uint16_t>(bytes[0] + 256 * bytes[1]);
  return true;
}

bool card_ReadBlock(const CardBus& bus, std::uint32_t address, std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t length = std::min(kMaxReadLength, out.size());
    if (!ReadPiece(bus, address, out.first(length))) return false;
    address += static_cast<std::uint32_t>(length);
    out = out.subspan(length);
  }
  return true;
}

bool card_WriteBlock(const CardBus& bus, std::uint32_t address, std::span<const std::uint8_t> data) {
  std::size_t sent = 0;
  return WriteBlock(bus, address, data, sent);
}

StepResult card_WriteVerified(const CardBus& bus, std::uint32_t address, std::span<const std::uint8_t> before,
                              std::span<const std::uint8_t> data) {
  if (data.size() > kCardImageSize || before.size() != data.size()) return kStepIoFailure;
  std::size_t sent = 0;
  (void)WriteBlock(bus, address, data, sent);  // judged by what the card holds afterwards
  std::array<std::uint8_t, kCardImageSize> buffer{};
  const std::span<std::uint8_t> after = std::span(buffer).first(data.size());
  if (card_ReadBlock(bus, address, after)) {
    if (std::equal(after.begin(), after.end(), data.begin())) return kStepSuccess;
    return std::equal(after.begin(), after.end(), before.begin()) ? kStepIoFailure : kStepPartial;
  }
  // Unverifiable: the card may have taken every request that went out.
  const bool changing = !std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(sent), before.begin());
  return changing ? kStepPartial : kStepIoFailure;
}
