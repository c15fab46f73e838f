// PDATA: programs and reads the board's production data (MAC addresses,
// serial number, part number, version) in the fuse words. Every set step
// writes only while all the fuse bits it will write still read zero, because
// a fuse bit once set stays set.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "args.h"
#include "etcfile.h"
#include "otp.h"
#include "tests.h"

namespace {

using Hex = FixedText<16>;

// Lowercase hexadecimal digits of value, at least minDigits of them.
template <std::size_t N>
void AppendHex(FixedText<N>& text, std::uint64_t value, int minDigits) {
  char digits[16];
  int count = 0;
  do {
    digits[15 - count] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
    ++count;
  } while (value != 0 || count < minDigits);
  text.Append(std::string_view(digits + 16 - count, static_cast<std::size_t>(count)));
}

// At least minDigits decimal digits of value, zeros in front.
template <std::size_t N>
void AppendDecimal(FixedText<N>& text, std::uint64_t value, std::size_t minDigits) {
  FixedText<24> digits;
  digits.AppendUnsigned(value);
  for (std::size_t n = digits.Size(); n < minDigits; ++n) text.Append('0');
  text.Append(digits.View());
}

// A file's one line: the text and a line end.
using FileLine = FixedText<96>;
FileLine Line(std::string_view text) {
  FileLine line;
  line.Append(text);
  line.Append('\n');
  return line;
}

// "0x" and the value in hexadecimal, the form the fuse files take.
Hex FuseValue(std::uint64_t value) {
  Hex text;
  text.Append("0x");
  AppendHex(text, value, 1);
  return text;
}

// "0x" followed by the given hexadecimal digits as typed.
Hex Prefixed(std::string_view digits, std::string_view suffix = {}) {
  Hex text;
  text.Append("0x");
  text.Append(digits);
  text.Append(suffix);
  return text;
}

// A MAC address: exactly twelve hexadecimal digits, d1 first.
bool IsMac(std::string_view data) { return arg_Hex(data, 12); }

constexpr std::uint64_t kMaxPart = 0xFFFF;
constexpr std::uint64_t kMaxPartInteger = (std::uint64_t{1} << 48) - 1;

// One fuse word a set step writes: the bits of the word that belong to the
// item (the two MAC addresses share MAC1, one half each) and the text echoed
// into it, "0x" and hexadecimal digits within those bits.
struct FusePiece {
  std::string_view word;
  std::uint32_t mask;
  Hex text;
};
using FusePieces = std::array<FusePiece, 2>;

// The value a piece writes into its bits.
std::uint32_t Wanted(const FusePiece& piece) {
  return static_cast<std::uint32_t>(std::strtoul(piece.text.CStr() + 2, nullptr, 16));
}

// Burns the pieces in order. A bit once set stays set, so a step that wrote
// over a set bit would OR two values into one field: every piece's bits must
// read blank first, and a word that cannot be read counts as programmed.
// With sameValueDone, pieces that all hold exactly their value already are
// the step done before (nothing is burnt). Each word is read back after its
// write; the step only succeeds when every write was taken and every word
// holds exactly the value in its bits. A failure after a bit was set (a
// write taken, or a bit reading set) is kStepPartial: the board changed.
StepResult BurnFuses(std::span<const FusePiece> pieces, bool sameValueDone = false) {
  std::uint32_t value = 0;
  bool blank = true;
  bool same = sameValueDone;
  for (const FusePiece& piece : pieces) {
    if (!otp_ReadWord(piece.word, value)) return kStepIoFailure;
    blank = blank && (value & piece.mask) == 0;
    same = same && (value & piece.mask) == Wanted(piece);
  }
  if (same) return kStepSuccess;
  if (!blank) return kStepIoFailure;
  bool changed = false;
  for (const FusePiece& piece : pieces) {
    const std::uint32_t wanted = Wanted(piece);
    const bool written = otp_WriteWord(piece.word, piece.text.View());
    const bool read = otp_ReadWord(piece.word, value);
    changed = changed || (written && wanted != 0) || (read && (value & piece.mask) != 0);
    if (!written || !read || (value & piece.mask) != wanted) return changed ? kStepPartial : kStepIoFailure;
  }
  return kStepSuccess;
}

StepResult Burn(std::span<const FusePiece> pieces, std::string_view data, ResponseLine& line) {
  const StepResult result = BurnFuses(pieces);
  if (result == kStepSuccess) line.Append(data);
  return result;
}

constexpr std::uint32_t kWholeWord = 0xFFFFFFFFU;

StepResult SetMac0(std::string_view data, ResponseLine& line) {
  const FusePieces pieces{
      {{"MAC0", kWholeWord, Prefixed(data.substr(4, 8))}, {"MAC1", 0x0000FFFFU, Prefixed(data.substr(0, 4))}}};
  return Burn(pieces, data, line);
}

StepResult SetMac1(std::string_view data, ResponseLine& line) {
  // The second address owns the high half of the shared word.
  const FusePieces pieces{
      {{"MAC1", 0xFFFF0000U, Prefixed(data.substr(8, 4), "0000")}, {"MAC2", kWholeWord, Prefixed(data.substr(0, 8))}}};
  return Burn(pieces, data, line);
}

StepResult SetPartNumber(std::string_view data, std::uint64_t integer, std::uint64_t fraction, ResponseLine& line) {
  // Fraction in the high half of SW_GP3, bits 32 to 47 of the integer in the
  // low half.
  Hex high;
  high.Append("0x");
  AppendHex(high, fraction, 4);
  AppendHex(high, integer >> 32, 4);
  const FusePieces pieces{{{"SW_GP2", kWholeWord, FuseValue(integer & kWholeWord)}, {"SW_GP3", kWholeWord, high}}};
  return Burn(pieces, data, line);
}

StepResult SetVersion(std::string_view data, std::uint64_t major, std::uint64_t minor, ResponseLine& line) {
  const FusePiece piece{"SW_GP4", kWholeWord, FuseValue(major * 65536 + minor)};
  return Burn(std::span(&piece, 1), data, line);
}

// Setting the serial number also names the host "kv_" and the serial's last
// five digits, renames the default access point and stores the serial in
// /etc/sno. That happens only once the fuses hold the serial, so that a
// refused or failed step leaves host name and serial file matching them.
// Fuses that already hold exactly this serial are a step cut off before its
// files were done: it writes only the files, so that running it again
// finishes the board. Each file is replaced whole and read back.
StepResult SetSerial(std::string_view data, std::uint64_t value, ResponseLine& line) {
  FixedText<16> host;
  host.Append("kv_");
  AppendDecimal(host, value % 100000, 5);
  // Leading zeros are part of the serial as typed; the tool has always
  // taken up to 83 characters of them.
  constexpr std::size_t kMaxSerialText = 83;
  if (data.size() > kMaxSerialText) return kStepWrongData;
  const FileLine hostLine = Line(host.View());
  const FileLine serialLine = Line(data);

  const FusePieces pieces{
      {{"SW_GP0", kWholeWord, FuseValue(value & kWholeWord)}, {"SW_GP1", kWholeWord, FuseValue(value >> 32)}}};
  const StepResult burnt = BurnFuses(pieces, true);
  if (burnt != kStepSuccess) return burnt;
  if (!etc_WriteFile("/etc/hostname", hostLine.View()) ||
      !etc_ReplaceInFile("/etc/hostapd.conf", "kv_default", host.View()) ||
      !etc_WriteFile("/etc/sno", serialLine.View())) {
    return kStepPartial;
  }
  line.Append(data);
  return kStepSuccess;
}

}  // namespace

StepResult test_Pdata(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  const std::string_view data = args.Data();

  // A get step reads all its words before it prints: a word that cannot be
  // read gives the I/O error line and no value, never a zero that a station
  // would log as production data.
  std::uint32_t word0 = 0;
  std::uint32_t word1 = 0;
  if (step == "getMAC0") {
    if (!otp_ReadWord("MAC1", word1) || !otp_ReadWord("MAC0", word0)) return kStepIoFailure;
    AppendHex(line, word1 & 0xFFFFU, 4);
    AppendHex(line, word0, 8);
    return kStepSuccess;
  }
  if (step == "getMAC1") {
    if (!otp_ReadWord("MAC2", word0) || !otp_ReadWord("MAC1", word1)) return kStepIoFailure;
    AppendHex(line, word0, 8);
    AppendHex(line, word1 >> 16, 4);
    return kStepSuccess;
  }
  if (step == "getPN") {
    if (!otp_ReadWord("SW_GP2", word0) || !otp_ReadWord("SW_GP3", word1)) return kStepIoFailure;
    const std::uint32_t low = word0;
    const std::uint32_t high = word1;
    const std::uint64_t integer = (std::uint64_t{high & 0xFFFFU} << 32) | low;
    line.AppendUnsigned(integer);
    if ((high >> 16) != 0) {
      line.Append('.');
      line.AppendUnsigned(high >> 16);
    }
    return kStepSuccess;
  }
  if (step == "getVN") {
    if (!otp_ReadWord("SW_GP4", word0)) return kStepIoFailure;
    const std::uint32_t word = word0;
    line.AppendUnsigned(word >> 16);
    line.Append('.');
    line.AppendUnsigned(word & 0xFFFFU);
    return kStepSuccess;
  }
  if (step == "getSN") {
    if (!otp_ReadWord("SW_GP0", word0) || !otp_ReadWord("SW_GP1", word1)) return kStepIoFailure;
    line.AppendUnsigned((std::uint64_t{word1} << 32) | word0);
    return kStepSuccess;
  }

  std::uint64_t first = 0;
  std::uint64_t second = 0;
  if (step == "setMAC0" && IsMac(data)) return SetMac0(data, line);
  if (step == "setMAC1" && IsMac(data)) return SetMac1(data, line);
  if (step == "setPN" && data.size() > 5 && arg_Pair(data, kMaxPartInteger, kMaxPart, first, second)) {
    return SetPartNumber(data, first, second, line);
  }
  if (step == "setVN" && arg_Pair(data, kMaxPart, kMaxPart, first, second)) {
    return SetVersion(data, first, second, line);
  }
  if (step == "setSN" && data.size() >= 11 && arg_Unsigned(data, 0, UINT64_MAX, first)) {
    return SetSerial(data, first, line);
  }
  return kStepWrongData;
}
