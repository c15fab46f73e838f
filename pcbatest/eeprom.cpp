// EEPROM: dumps a card's 1024-byte EEPROM image to a file, restores it from
// a file, or erases everything after the production data.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "args.h"
#include "cardbus.h"
#include "replace.h"
#include "tests.h"

namespace {

using Image = std::array<std::uint8_t, kCardImageSize>;

bool IsEepromCard(int card) { return card == kCardSense || card == kCardIo; }

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

// Opens the image file the step reads without blocking: a FIFO or a device
// node given as the image file would hang the step. Only a regular file is
// taken.
DeviceFd OpenSource(const char* path) {
  DeviceFd file = pcba_OpenDevice(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  struct stat st {};
  if (!file.Valid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return DeviceFd();
  const int flags = ::fcntl(file.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return DeviceFd();
  return file;
}

// True when nothing stands at path, or a regular file (not followed when it
// is a link: the dump replaces the name, never what a link points to).
// Looked at without opening it, so a device node is never started.
bool MayReplace(const char* path) {
  if (*path == '\0') return false;
  struct stat st {};
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

// Writes the image to a new temporary file beside path (owner only,
// exclusive), flushes it and renames it over path: an existing dump is only
// replaced by a whole new one, and a failure removes the temporary file.
bool ReplaceFile(std::string_view path, const Image& image) {
  // path is terminated (it comes from argv, see test_Eeprom).
  FileReplacement file;
  if (!file.Begin(path, TemporaryName::kUnique) || !file.Write(image.data(), image.size())) return false;
  // Once renamed the dump is in place; a folder that could not be flushed
  // only leaves the new name less durable.
  return file.Commit() != ReplaceResult::kFailed;
}

// The target is checked before the card is read, the card is read before
// the file is written: a card that does not answer leaves an existing file
// as it was. The step only succeeds when the whole image is in the file: a
// station must never believe in a backup that could not be written.
StepResult ReadToFile(const CardBus& bus, int card, std::string_view path) {
  if (!MayReplace(path.data())) return kStepIoFailure;
  Image image{};
  if (!card_ReadBlock(bus, card_MemoryBase(card), image)) return kStepIoFailure;
  return ReplaceFile(path, image) ? kStepSuccess : kStepIoFailure;
}

// A source that is not a regular file, or cannot be read, is refused before
// the card is touched, and so is one shorter than the image EEPROM read
// produces: the whole image is written, and the zeros that would stand for
// the missing bytes would wipe the card's production data and calibration.
// A longer file gives its first kCardImageSize bytes. The card is read
// first, so that the write can be judged against what it held.
StepResult WriteFromFile(CardBus& bus, int card, const char* path, StepResult start) {
  const DeviceFd file = OpenSource(path);
  Image image{};
  const ssize_t size = file.Valid() ? ReadUpTo(file.Get(), image) : -1;
  if (size < 0) return kStepIoFailure;
  if (!IsEepromCard(card)) return start;
  if (static_cast<std::size_t>(size) < image.size()) return kStepWrongData;
  card_SetBudget(bus, kBudgetEepromWriteMs);
  Image before{};
  if (!card_ReadBlock(bus, card_MemoryBase(card), before)) return kStepIoFailure;
  return card_WriteVerified(bus, card_MemoryBase(card), before, image);
}

StepResult Erase(CardBus& bus, int card) {
  card_SetBudget(bus, kBudgetEepromEraseMs);
  // Everything after the production data block, calibration records included.
  const std::uint32_t address = card_MemoryBase(card) + kCardCalibrationOffset;
  Image before{};
  if (!card_ReadBlock(bus, address, before)) return kStepIoFailure;
  Image image;
  image.fill(0xFF);
  return card_WriteVerified(bus, address, before, image);
}

}  // namespace

StepResult test_Eeprom(const StepArgs& args, ResponseLine& line) {
  CardBus bus;
  const StepResult start = card_OpenGateway(bus);
  pcba_Echo(args, line, 3, true);

  const std::string_view step = args.Step();
  const int card = card_FromName(args.Data());
  if (step == "read" || step == "write") {
    const std::string_view path = args.Get(4);
    arg_Echo(line, path);
    line.Append(' ');
    // Arguments come from argv, so the path is terminated.
    const std::string_view cpath = path.data() != nullptr ? path : std::string_view("");
    if (step == "write") return WriteFromFile(bus, card, cpath.data(), start);
    if (!IsEepromCard(card)) return start;
    card_SetBudget(bus, kBudgetEepromReadMs);
    return ReadToFile(bus, card, cpath);
  }
  if (step == "erase") {
    if (!IsEepromCard(card)) return start;
    return Erase(bus, card);
  }
  return start;
}
