// EEPROM: dumps a card's 1024-byte EEPROM image to a file, restores it from
// a file, or erases everything after the production data.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "args.h"
#include "cardbus.h"
#include "tests.h"

namespace {

using Image = std::array<std::uint8_t, kCardImageSize>;

bool IsEepromCard(int card) { return card == kCardSense || card == kCardIo; }

// Writes all bytes, resuming after short writes.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// Reads up to image.size() bytes; returns how many the file held, or -1.
ssize_t ReadUpTo(int fd, Image& image) {
  std::size_t have = 0;
  while (have < image.size()) {
    const ssize_t got = ::read(fd, image.data() + have, image.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(have);
}

// The card is read first, so that a failed read leaves no file behind. The
// file is created for the owner only; an existing one is replaced whole,
// never left with the tail of an older dump. The step only succeeds when the
// whole image is in the file: a station must never believe in a backup that
// could not be written.
StepResult ReadToFile(const DeviceFd& gateway, int card, const char* path) {
  Image image{};
  if (!card_ReadBlock(gateway, card_MemoryBase(card), image)) return kStepIoFailure;
  const DeviceFd file(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.Valid() || !WriteAll(file.Get(), image)) return kStepIoFailure;
  return kStepSuccess;
}

// A source that cannot be opened or read is refused before the card is
// touched, and so is one shorter than the image EEPROM read produces: the
// whole image is written, and the zeros that would stand for the missing
// bytes would wipe the card's production data and calibration.
StepResult WriteFromFile(const DeviceFd& gateway, int card, const char* path, StepResult start) {
  const DeviceFd file = pcba_OpenDevice(path, O_RDWR);
  Image image{};
  const ssize_t size = file.Valid() ? ReadUpTo(file.Get(), image) : -1;
  if (size < 0) return kStepIoFailure;
  if (!IsEepromCard(card)) return start;
  if (static_cast<std::size_t>(size) < image.size()) return kStepWrongData;
  return card_WriteBlock(gateway, card_MemoryBase(card), image) ? kStepSuccess : kStepIoFailure;
}

StepResult Erase(const DeviceFd& gateway, int card) {
  Image image;
  image.fill(0xFF);
  // Everything after the production data block, calibration records included.
  return card_WriteBlock(gateway, card_MemoryBase(card) + kCardCalibrationOffset, image) ? kStepSuccess
                                                                                         : kStepIoFailure;
}

}  // namespace

StepResult test_Eeprom(const StepArgs& args, ResponseLine& line) {
  DeviceFd gateway;
  const StepResult start = card_OpenGateway(gateway);
  pcba_Echo(args, line, 3, true);

  const std::string_view step = args.Step();
  const int card = card_FromName(args.Data());
  if (step == "read" || step == "write") {
    const std::string_view path = args.Get(4);
    arg_Echo(line, path);
    line.Append(' ');
    // Arguments come from argv, so the path is terminated.
    const char* cpath = path.data() != nullptr ? path.data() : "";
    if (step == "write") return WriteFromFile(gateway, card, cpath, start);
    if (!IsEepromCard(card)) return start;
    return ReadToFile(gateway, card, cpath);
  }
  if (step == "erase") {
    if (!IsEepromCard(card)) return start;
    return Erase(gateway, card);
  }
  return start;
}
