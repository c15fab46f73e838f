// SFTP to a controller's watch folder over SSH (libssh): host keys checked
// against a known-hosts file, public-key authentication only, and uploads
// that the daemon can never see half-written (NAME.part, flushed, then
// renamed to NAME), continued where an earlier upload stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/result.h"

struct sftp_file_struct;

namespace kvplant {

// How controllers are reached over SSH (the SSH-OPTIONS of the commands).
struct SshOptions {
  std::string user = "root";
  std::string identity;    // private key file; "" for ssh's default keys and the agent
  std::string knownHosts;  // "" for ~/.ssh/known_hosts
  bool acceptNewHostKeys = false;
  int port = 22;
  int timeoutMs = 30000;  // connect, and each exchange after it
};

// The result code of an upload that stopped because the caller asked it to.
inline constexpr int kUploadStopped = 125;  // ECANCELED

// Where an upload of one file stands, as the state file keeps it.
enum class FilePhase { kPending, kSending, kRenaming, kArrived };

// What an upload tells while it runs. Each may be empty.
struct UploadHooks {
  std::function<void(std::uint64_t from)> sending;    // the upload (re)starts at this byte
  std::function<bool(std::uint64_t bytes)> progress;  // bytes in NAME.part; false stops the upload
  std::function<void()> renaming;                     // NAME.part is whole and flushed; the rename follows
  std::function<void()> arrived;                      // NAME stands in the folder
};

class Sftp {
 public:
  ~Sftp();
  Sftp(const Sftp&) = delete;
  Sftp& operator=(const Sftp&) = delete;

  // Connects to a numeric address (IPv4 or IPv6) and port, checks the host
  // key (an unknown host is refused unless acceptNewHostKeys, which records
  // it; a changed key or a key of another type than the recorded one is
  // always refused, with the reason), authenticates with keys only (never a
  // prompt) and starts the SFTP subsystem.
  static kv::Result<std::unique_ptr<Sftp>> Connect(const std::string& address, const SshOptions& options);

  // The size of a remote file; nullopt when there is none.
  kv::Result<std::optional<std::uint64_t>> Size(const std::string& path);
  // What Size says of a name that is not a regular file (a link, a folder).
  static constexpr std::uint64_t kNotAFile = ~std::uint64_t{0};

  // Uploads the local file (size bytes, lower-case hex SHA-256 sha256) into
  // folder (ending in '/') as name: written to name.part (continued at the
  // part's size when that is at most size, else begun anew), flushed where
  // the server offers fsync, checked to be size bytes whose hash as read is
  // sha256 (else the part is removed), then renamed to name. phase says
  // where an earlier upload of the same file stopped: kArrived sends
  // nothing, kRenaming only renames (or finds the rename done when
  // name.part is gone).
  kv::Status Upload(const std::string& local, std::uint64_t size, const std::string& sha256, const std::string& folder,
                    const std::string& name, FilePhase phase, const UploadHooks& hooks);

  // The server's host key fingerprint ("SHA256:...").
  const std::string& HostKey() const { return hostKey_; }

 private:
  struct Handles;
  explicit Sftp(std::unique_ptr<Handles> h);
  std::string Error(const std::string& what) const;
  // Whether the open remote file is the part sent so far: a regular file of
  // exactly from bytes whose last ones are the local file's.
  static bool EndsLike(sftp_file_struct* out, int local, std::uint64_t from);
  std::unique_ptr<Handles> h_;
  std::string hostKey_;
};

}  // namespace kvplant
