// CARDINFO: reads and writes the production data block of the sense and io
// cards (description, part number, serial number, version, production date)
// and reads the software version.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "args.h"
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
  std::uint64_t value = 0;
  return text.size() <= 12 && arg_Unsigned(text, 0, UINT64_MAX, value);
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

// The text field an element names, or nullptr for the other elements.
const CardInfoField* TextField(std::string_view element) {
  if (element == "DS") return &kInfoDescription;
  if (element == "PN") return &kInfoPartNumber;
  if (element == "VN") return &kInfoVersion;
  return nullptr;
}

bool IsSettable(std::string_view element) {
  return TextField(element) != nullptr || element == "SN" || element == "PD";
}
bool IsReadable(std::string_view element) { return IsSettable(element) || element == "SW"; }

// The new value of a set step, checked whole before the card is touched.
struct NewValue {
  std::string_view text;  // DS, PN, VN, SN
  std::uint64_t year = 0;
  std::uint64_t month = 0;
  std::uint64_t day = 0;
};

// A text fits its field with at least one character and no control byte (a
// longer one would be stored cut while the echo showed all of it); a serial
// number is one to twelve digits; a production date is a calendar date.
bool ParseValue(std::string_view element, const StepArgs& args, NewValue& value) {
  value.text = args.Get(5);
  if (const CardInfoField* field = TextField(element)) return arg_Text(value.text, field->size);
  if (element == "SN") return IsSerial(value.text);
  return arg_Unsigned(args.Get(5), 1, 9999, value.year) && arg_Unsigned(args.Get(6), 1, 12, value.month) &&
         arg_Unsigned(args.Get(7), 1, 31, value.day) && arg_Date(value.year, value.month, value.day);
}

void ChangeElement(CardInfo& info, std::string_view element, const NewValue& value) {
  if (const CardInfoField* field = TextField(element)) {
    StoreText(info, *field, value.text);
  } else if (element == "SN") {
    StoreSerial(info, value.text);
  } else {
    info.block[kInfoYear.offset] = static_cast<std::uint8_t>(value.year);
    info.block[kInfoYear.offset + 1] = static_cast<std::uint8_t>(value.year >> 8);
    info.block[kInfoMonth.offset] = static_cast<std::uint8_t>(value.month);
    info.block[kInfoDay.offset] = static_cast<std::uint8_t>(value.day);
  }
}

}  // namespace

StepResult card_ReadInfo(const CardBus& bus, int card, CardInfo& info) {
  if (!IsInfoCard(card)) return kStepIoFailure;
  if (!card_ReadBlock(bus, card_MemoryBase(card) + kCardInfoOffset, info.block)) return kStepIoFailure;
  info.sw = 0;
  if (card == kCardSense && !card_ReadReg(bus, kSoftwareVersionRegister, info.sw)) return kStepIoFailure;
  return kStepSuccess;
}

StepResult card_WriteInfo(const CardBus& bus, int card, const CardInfo& before, const CardInfo& info) {
  if (!IsInfoCard(card)) return kStepIoFailure;
  return card_WriteVerified(bus, card_MemoryBase(card) + kCardInfoOffset, before.block, info.block);
}

StepResult test_CardInfo(const StepArgs& args, ResponseLine& line) {
  CardBus bus;
  const StepResult start = card_OpenGateway(bus);
  pcba_Echo(args, line, 4, true);

  const std::string_view step = args.Step();
  const int card = card_FromName(args.Data());
  const std::string_view element = args.Get(4);
  CardInfo info;

  // Another card or an unknown element is no step of this test; a read that
  // failed prints no value. Either way no zeroed record is printed as if the
  // card held it.
  if (step == "get") {
    if (!IsInfoCard(card) || !IsReadable(element)) return start;
    card_SetBudget(bus, kBudgetInfoGetMs);
    if (card_ReadInfo(bus, card, info) != kStepSuccess) return kStepIoFailure;
    AppendElement(line, info, element);
    return kStepSuccess;
  }
  if (step != "set" || !IsInfoCard(card) || !IsSettable(element)) return start;
  NewValue value;
  if (!ParseValue(element, args, value)) return kStepWrongData;
  // The rest of the block is written back as read, so an unreadable card is
  // never written; what was read is also what the write is judged against.
  card_SetBudget(bus, kBudgetInfoSetMs);
  if (card_ReadInfo(bus, card, info) != kStepSuccess) return kStepIoFailure;
  CardInfo changed = info;
  ChangeElement(changed, element, value);
  const StepResult result = card_WriteInfo(bus, card, info, changed);
  arg_Echo(line, args.Get(5));
  line.Append(' ');
  if (element == "PD") {
    arg_Echo(line, args.Get(6));
    line.Append(' ');
    arg_Echo(line, args.Get(7));
    line.Append(' ');
  }
  return result;
}
