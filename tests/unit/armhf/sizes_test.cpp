// Sizes the device and its peers rely on, whatever the word size of the
// build: the identity record, the file offset and inode types the large-file
// paths need, and the 16-byte input event the buzzer step writes on the
// 32-bit board.
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstddef>

#include "config/identity.h"
#include "config/netconfig.h"
#include "intake/scandir.h"

namespace {

TEST(TargetSizes, RecordsAndTypes) {
  struct Case {
    const char* what;
    std::size_t actual;
    std::size_t expected;
  };
  const Case cases[] = {
      // Ten texts of 100 characters and ten one-byte flags, no padding.
      {"DeviceIdData", sizeof(DeviceIdData), 10 * kIdTextSize + 10},
      {"security flags follow the texts", offsetof(DeviceIdData, reserved1), 10 * kIdTextSize},
      {"remote authentication flag is the last byte", offsetof(DeviceIdData, remoteAuthentication),
       10 * kIdTextSize + 9},
      {"interface name buffer", sizeof(NetIfConfig::interfaceName), 16},
      {"found-name buffer", kFoundNameSize, 256},
      // Large-file build: sizes and inode numbers are 64 bits even on armhf.
      {"off_t", sizeof(off_t), 8},
      {"ino_t", sizeof(ino_t), 8},
      {"st_size", sizeof(static_cast<struct stat*>(nullptr)->st_size), 8},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

// The buzzer step writes one input_event and reports the bytes written: 16 on
// the 32-bit board (two 32-bit time fields, type, code, value), 24 on a
// 64-bit development machine.
TEST(TargetSizes, InputEventMatchesTheKernelOfTheTarget) {
  constexpr std::size_t expected = sizeof(long) == 4 ? 16 : 24;
  EXPECT_EQ(sizeof(input_event), expected);
  EXPECT_EQ(offsetof(input_event, type), 2 * sizeof(long));
  EXPECT_EQ(sizeof(input_event::value), 4u);
}

}  // namespace
