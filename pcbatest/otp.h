// The processor's one-time-programmable fuse words, which the kernel exposes
// as files under /sys/fsl_otp/. Bits can only ever be set.
#pragma once

#include <cstdint>
#include <string_view>

// Reads a fuse word (e.g. "MAC0") by running cat on its file and converting
// the first line after its "0x" as hexadecimal. Returns false, with value 0,
// when the file cannot be read or does not print a hexadecimal value.
[[nodiscard]] bool otp_ReadWord(std::string_view word, std::uint32_t& value);

// Programs a fuse word by echoing the value (hexadecimal text starting "0x")
// into its file. Returns false when the command would not fit its buffer
// (nothing is run) or the shell reports that the write failed.
bool otp_WriteWord(std::string_view word, std::string_view hexValue);
