// COMPORT: sends a text out of one serial port and reads back what the
// loop-back fixture returns on the same or the other port.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>

#include "device.h"
#include "tests.h"

namespace {

constexpr const char* kRs232Port = "/dev/ttymxc0";
constexpr const char* kRs485Port = "/dev/ttymxc4";

// The text sent is at most this long, so that what comes back fits the
// receive buffer with its terminator.
constexpr std::size_t kMaxSent = 255;

// 115200 baud, 8N1, receiver on, modem lines ignored, no flow control, raw
// input and output. A read waits at most half a second for its first byte
// (VTIME 5, VMIN 0). Built from scratch, never from the port's old settings,
// so that nothing a previous user left (echo, XON/XOFF) survives.
termios RawSettings() {
  termios settings{};
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  (void)::cfsetispeed(&settings, B115200);
  (void)::cfsetospeed(&settings, B115200);
  settings.c_cc[VTIME] = 5;
  settings.c_cc[VMIN] = 0;
  return settings;
}

// An invalid descriptor when the port cannot be opened or set up: a port
// left at another speed would garble the loop-back, and the step must not
// pass that off as a missing plug. The open does not wait for a carrier (a
// port whose modem lines are not wired would block it for ever); blocking
// is turned back on before the settings, so that VTIME bounds the read.
DeviceFd OpenPort(const char* path, const termios& settings) {
  DeviceFd fd = pcba_OpenDevice(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (!fd.Valid()) return fd;
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) < 0 || ::tcflush(fd.Get(), TCIFLUSH) < 0 ||
      ::tcsetattr(fd.Get(), TCSANOW, &settings) < 0) {
    return {};
  }
  return fd;
}

}  // namespace

StepResult test_Comport(const StepArgs& args, ResponseLine& line) {
  const termios settings = RawSettings();
  const DeviceFd rs232 = OpenPort(kRs232Port, settings);
  const DeviceFd rs485 = OpenPort(kRs485Port, settings);
  pcba_Echo(args, line, 2, true);

  const std::string_view step = args.Step();
  const DeviceFd* sender = nullptr;
  const DeviceFd* receiver = nullptr;
  if (step == "RS232toRS485") {
    sender = &rs232;
    receiver = &rs485;
  } else if (step == "RS485toRS232") {
    sender = &rs485;
    receiver = &rs232;
  } else if (step == "RS232toRS232") {
    sender = &rs232;
    receiver = &rs232;
  } else {
    return kStepWrongCommand;
  }

  std::string_view text = args.Data();
  // Nothing sent would come back as nothing, and an empty echo is what a
  // missing plug looks like: an empty text tests nothing.
  if (text.empty()) return kStepWrongData;
  if (text.size() > kMaxSent) text = text.substr(0, kMaxSent);
  // A port that could not be opened fails the step before anything is sent;
  // only missing or short loop-back data is the station's to judge.
  if (!sender->Valid() || !receiver->Valid()) return kStepIoFailure;
  const ssize_t written = ::write(sender->Get(), text.data(), text.size());
  const StepResult result = written < 0 ? kStepIoFailure : static_cast<StepResult>(written);

  // The fixture needs the time to carry the text across at 115200 baud.
  pcba_SleepMs(1000);

  std::array<unsigned char, kMaxSent + 1> received{};
  const ssize_t got = ::read(receiver->Get(), received.data(), text.size());
  // Output the fixture did not take within the second is dropped, so that
  // closing the port does not wait for it to drain.
  (void)::tcflush(sender->Get(), TCOFLUSH);
  // A read that failed is no "nothing came back".
  if (got < 0) return kStepIoFailure;
  pcba_AppendText(line, received.data(), static_cast<std::size_t>(got));
  return result;
}
