// CARDINFO: reads and writes the production data block of the sense and io
// cards (description, part number, serial number, version, production date)
// and reads the software version.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cardbus.h"
#include "tests.h"

namespace {

constexpr std::uint32_t kSoftwareVersionRegister = 50;

bool IsInfoCard(int card) { return card == kCardSense || card == kCardIo; }

std::span<std::uint8_t> FieldOf(CardInfo& info, CardInfoField field) {
  return std::span(info.block).subspan(field.offset, field.size);
}

// The serial number: twelve decimal digits, two per byte as packed BCD, most
// significant pair first. Each byte counts as high nibble × 10 + low nibble.
unsigned long long SerialOf(const CardInfo& info) {
  unsigned long long serial = 0;
  for (std::size_t i = 0; i < kInfoSerial.size; ++i) {
    const std::uint8_t byte = info.block[kInfoSerial.offset + i];
    serial = serial * 100 + static_cast<unsigned>((byte >> 4) * 10 + (byte & 0x0F));
  }
  return serial;
}

// A serial number is one to twelve decimal digits: a hex letter would land
// in a nibble as a digit pair that reads back as another number, and digits
// beyond twelve would be cut off the front.
bool IsSerial(std::string_view text) {
  return !text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The typed digits are read as a hexadecimal number, so that each decimal
// digit lands in its own nibble; the low 48 bits are stored high byte first.
void StoreSerial(CardInfo& info, std::string_view digits) {
  std::array<char, 32> text{};
  std::memcpy(text.data(), digits.data(), std::min(digits.size(), text.size() - 1));
  unsigned long long value = std::strtoull(text.data(), nullptr, 16);
  for (std::size_t i = kInfoSerial.size; i-- > 0;) {
    info.block[kInfoSerial.offset + i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

void StoreText(CardInfo& info, CardInfoField field, std::string_view text) {
  const std::span<std::uint8_t> bytes = FieldOf(info, field);
  std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
  // A text of exactly the field's size fills it with no terminating zero.
  std::memcpy(bytes.data(), text.data(), std::min(text.size(), bytes.size()));
}

// A text field is read up to its first zero byte and never past its own
// end: a field filled to its last byte has no terminating zero.
void AppendTextField(ResponseLine& line, const CardInfo& info, CardInfoField field) {
  pcba_AppendText(line, info.block.data() + field.offset, field.size);
}

void AppendDate(ResponseLine& line, const CardInfo& info) {
  const auto year = static_cast<std::int16_t>(info.block[kInfoYear.offset] | info.block[kInfoYear.offset + 1] << 8);
  char text[32];
  std::snprintf(text, sizeof text, "%04d %02d %02d", year, info.block[kInfoMonth.offset], info.block[kInfoDay.offset]);
  line.Append(text);
}

void AppendElement(ResponseLine& line, const CardInfo& info, std::string_view element) {
  if (element == "SW") {
    line.AppendSigned(info.sw);
  } else if (element == "DS") {
    AppendTextField(line, info, kInfoDescription);
  } else if (element == "PN") {
    AppendTextField(line, info, kInfoPartNumber);
  } else if (element == "VN") {
    AppendTextField(line, info, kInfoVersion);
  } else if (element == "SN") {
    char text[32];
    std::snprintf(text, sizeof text, "%012llu", SerialOf(info));
    line.Append(text);
  } else if (element == "PD") {
    AppendDate(line, info);
  }
}

// Changes one field from the command line; false for SW and unknown elements,
// which cannot be set.
bool ChangeElement(CardInfo& info, std::string_view element, const StepArgs& args) {
  if (element == "DS") {
    StoreText(info, kInfoDescription, args.Get(5));
  } else if (element == "PN") {
    StoreText(info, kInfoPartNumber, args.Get(5));
  } else if (element == "VN") {
    StoreText(info, kInfoVersion, args.Get(5));
  } else if (element == "SN") {
    StoreSerial(info, args.Get(5));
  } else if (element == "PD") {
    const auto year = static_cast<std::uint16_t>(pcba_Decimal(args.Get(5)));
    info.block[kInfoYear.offset] = static_cast<std::uint8_t>(year);
    info.block[kInfoYear.offset + 1] = static_cast<std::uint8_t>(year >> 8);
    info.block[kInfoMonth.offset] = static_cast<std::uint8_t>(pcba_Decimal(args.Get(6)));
    info.block[kInfoDay.offset] = static_cast<std::uint8_t>(pcba_Decimal(args.Get(7)));
  } else {
    return false;
  }
  return true;
}

}  // namespace

StepResult card_ReadInfo(const DeviceFd& gateway, int card, CardInfo& info) {
  if (!IsInfoCard(card)) return kStepIoFailure;
  if (!card_ReadBlock(gateway, card_MemoryBase(card) + kCardInfoOffset, info.block)) return kStepIoFailure;
  info.sw = 0;
  if (card == kCardSense && !card_ReadReg(gateway, kSoftwareVersionRegister, info.sw)) return kStepIoFailure;
  return kStepSuccess;
}

StepResult card_WriteInfo(const DeviceFd& gateway, int card, const CardInfo& info) {
  if (!IsInfoCard(card)) return kStepIoFailure;
  return card_WriteBlock(gateway, card_MemoryBase(card) + kCardInfoOffset, info.block) ? kStepSuccess : kStepIoFailure;
}

StepResult test_CardInfo(const StepArgs& args, ResponseLine& line) {
  DeviceFd gateway;
  StepResult result = card_OpenGateway(gateway);
  pcba_Echo(args, line, 4, true);

  const std::string_view step = args.Step();
  const int card = card_FromName(args.Data());
  const std::string_view element = args.Get(4);
  CardInfo info;

  if (step == "get") {
    // Another card answers from the zeroed record with the starting code.
    if (IsInfoCard(card)) result = card_ReadInfo(gateway, card, info);
    AppendElement(line, info, element);
    return result;
  }
  if (step != "set" || !IsInfoCard(card)) return result;
  if (element == "SN" && !IsSerial(args.Get(5))) return kStepWrongData;
  // The rest of the block is written back as read, so an unreadable card is
  // never written.
  if (card_ReadInfo(gateway, card, info) != kStepSuccess) return kStepIoFailure;
  if (!ChangeElement(info, element, args)) return result;
  result = card_WriteInfo(gateway, card, info);
  line.Append(args.Get(5));
  line.Append(' ');
  if (element == "PD") {
    line.Append(args.Get(6));
    line.Append(' ');
    line.Append(args.Get(7));
    line.Append(' ');
  }
  return result;
}
