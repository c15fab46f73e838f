// The inspector's inner parts, shared by the single-file and the bundle
// inspection: a throwaway device root with the daemon's folders, opening a
// given file as the device opens a drop, and the device's road for a file
// that lies in the sandbox's watch folder.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/result.h"
#include "kvpack/kvpack.h"

namespace kvpack::inspect {

// The most bytes of a signature or public key file the device reads.
inline constexpr std::uint64_t kTextFileMax = 64 * 1024;

// A sandbox device root with the daemon's folders, removed on destruction;
// the daemon's paths point into it while it lives.
class Sandbox {
 public:
  Sandbox() = default;
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  // Creates the folders and the device's description file (with the running
  // image revision when known) and sets the daemon's platform.
  kv::Status Create(const InspectOptions& options, int imageType);

 private:
  std::string root_;
};

// A file opened as the device opens a drop: never waiting on a FIFO or a
// device, with what fstat says of it.
struct Input {
  kv::Fd fd;
  struct stat st {};
};
// An error only when the file cannot be opened at all (missing, no access).
kv::Result<Input> OpenInput(const std::string& path);

// Copies at most limit bytes of the open file into a new file at target.
kv::Status CopyInto(const Input& in, const std::string& target, std::uint64_t limit);

// The daemon's commands (tar, chown, mv) write to the standard streams;
// while one of its functions runs, they go to /dev/null.
class QuietStreams {
 public:
  QuietStreams();
  ~QuietStreams();
  QuietStreams(const QuietStreams&) = delete;
  QuietStreams& operator=(const QuietStreams&) = delete;

 private:
  kv::Fd out_;
  kv::Fd err_;
};

// What the device does with one file.
struct Outcome {
  InspectVerdict verdict = InspectVerdict::kRejected;
  std::string reason;
  std::string kind;  // what the device took it for
};

// Runs the device's road for the file name in the sandbox's watch folder
// (the scan's name and kind rules, header check and decryption, control
// data, signature check), the signatures already where the device looks for
// them (its bundle folder). Appends facts; removes what the road leaves.
Outcome CheckDrop(const InspectOptions& options, const std::string& name, std::vector<InspectFact>& facts,
                  bool bundleMember);

// Works a bundle through in the sandbox: unpack, then one member per pass,
// each member checked as it reaches the watch folder. Fills report.
kv::Status InspectBundle(const InspectOptions& options, const std::string& name, const Input& in,
                         InspectReport& report);

}  // namespace kvpack::inspect
