// CAN: sends a short text as one extended-identifier frame on one bus and,
// for the two-bus steps, reads it back on the other (the station wires can0
// and can1 together).
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "device.h"
#include "tests.h"

namespace {

constexpr canid_t kFrameId = 0x81020304;  // extended frame, identifier 0x01020304
// Identifier bits 0 to 27 only: frames from a node whose identifier differs
// in bit 28 are taken as the answer too.
constexpr canid_t kFilterMask = 0x0FFFFFFF;
// Seven characters and the terminating zero fill the eight data bytes.
constexpr std::size_t kMaxText = CAN_MAX_DLEN - 1;

// A raw socket on the interface, non-blocking, with the receive filter; an
// invalid descriptor when any of that fails, so that the step's write or
// read fails. A socket left unbound (or bound to index 0, which is what an
// unknown interface name would give) would take frames from every
// interface, its own bus's loop-back included, and pass a test of a bus
// that is not there. The filter is set before the bind, so that no frame of
// another identifier is queued in between.
DeviceFd OpenBus(const char* interface) {
  DeviceFd fd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW));
  ifreq request{};
  std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
  const can_filter filter{kFrameId, kFilterMask};
  sockaddr_can address{};
  address.can_family = AF_CAN;
  if (::ioctl(fd.Get(), SIOCGIFINDEX, &request) < 0 ||
      ::setsockopt(fd.Get(), SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0) {
    return {};
  }
  address.can_ifindex = request.ifr_ifindex;
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) return {};
  return fd;
}

StepResult SendFrame(const DeviceFd& bus, const can_frame& frame) {
  const ssize_t written = ::write(bus.Get(), &frame, sizeof frame);
  return written < 0 ? kStepIoFailure : static_cast<StepResult>(written);
}

// Non-blocking: whatever arrived during the wait, or an immediate failure.
StepResult ReceiveFrame(const DeviceFd& bus, can_frame& frame) {
  frame = can_frame{};
  const ssize_t got = ::read(bus.Get(), &frame, sizeof frame);
  return got < 0 ? kStepIoFailure : static_cast<StepResult>(got);
}

void AppendData(ResponseLine& line, const can_frame& frame) { pcba_AppendText(line, frame.data, sizeof frame.data); }

}  // namespace

StepResult test_Can(const StepArgs& args, ResponseLine& line) {
  const DeviceFd can0 = OpenBus("can0");
  const DeviceFd can1 = OpenBus("can1");

  std::string_view text = args.Data();
  if (text.size() > kMaxText) text = text.substr(0, kMaxText);
  can_frame sent{};
  sent.can_id = kFrameId;
  // An argument not given is an empty view without storage.
  if (!text.empty()) std::memcpy(sent.data, text.data(), text.size());
  // The terminating zero travels too: "test" is sent as five bytes.
  sent.len = static_cast<__u8>(text.size() + 1);

  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  const DeviceFd* from = nullptr;
  const DeviceFd* to = nullptr;
  if (step == "CAN1toCAN2") {
    from = &can0;
    to = &can1;
  } else if (step == "CAN2toCAN1") {
    from = &can1;
    to = &can0;
  } else if (step == "CAN1" || step == "CAN2") {
    const StepResult result = SendFrame(step == "CAN1" ? can0 : can1, sent);
    AppendData(line, sent);
    return result;
  } else {
    return kStepWrongCommand;
  }

  // Without the receiving interface there is nothing to test, and a frame
  // that was never sent cannot come back: whatever the other bus holds then
  // is not the answer.
  if (!to->Valid() || SendFrame(*from, sent) < 0) return kStepIoFailure;
  pcba_SleepMs(1000);
  can_frame received{};
  const StepResult result = ReceiveFrame(*to, received);
  AppendData(line, received);
  return result;
}
