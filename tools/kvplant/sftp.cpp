// SFTP uploads into a controller's watch folder, on libssh.
#include "kvplant/sftp.h"

#include <fcntl.h>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "core/handles.h"
#include "kvid/kvid.h"
#include "kvplant/digest.h"

namespace kvplant {
namespace {

using SshSession = kv::CHandle<ssh_session_struct, &::ssh_free>;
using SftpSession = kv::CHandle<sftp_session_struct, &::sftp_free>;
using SftpFile = kv::CHandle<sftp_file_struct, &::sftp_close>;
using SftpAttributes = kv::CHandle<sftp_attributes_struct, &::sftp_attributes_free>;
using SshKey = kv::CHandle<ssh_key_struct, &::ssh_key_free>;

// Bytes per SFTP write: well below the 256 KiB a server takes in one
// request, large enough that a slow link is not all round trips.
constexpr std::size_t kChunkBytes = 64 * 1024;

// Threads that record new host keys share one known-hosts file.
std::mutex g_knownHostsLock;

// Never asks for a passphrase: a key that needs one is a key not used.
int NoPrompt(const char*, char*, std::size_t, int, int, void*) { return -1; }

const char* SftpErrorText(int code) {
  switch (code) {
    case SSH_FX_EOF: return "end of file";
    case SSH_FX_NO_SUCH_FILE: return "no such file";
    case SSH_FX_PERMISSION_DENIED: return "permission denied";
    case SSH_FX_FAILURE: return "failure";
    case SSH_FX_BAD_MESSAGE: return "bad message";
    case SSH_FX_NO_CONNECTION: return "no connection";
    case SSH_FX_CONNECTION_LOST: return "connection lost";
    case SSH_FX_OP_UNSUPPORTED: return "operation not supported";
    case SSH_FX_FILE_ALREADY_EXISTS: return "file already exists";
    default: return "error";
  }
}

std::string Fingerprint(ssh_session session) {
  ssh_key raw = nullptr;
  if (ssh_get_server_publickey(session, &raw) != SSH_OK) return "unknown";
  const SshKey key(raw);
  unsigned char* hash = nullptr;
  std::size_t length = 0;
  if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0) return "unknown";
  char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
  ssh_clean_pubkey_hash(&hash);
  if (text == nullptr) return "unknown";
  std::string out = text;
  ssh_string_free_char(text);
  return out;
}

}  // namespace

struct Sftp::Handles {
  ssh_callbacks_struct callbacks{};
  SshSession ssh;
  SftpSession sftp;
  ~Handles() {
    sftp.reset();
    if (ssh) ssh_disconnect(ssh.get());
  }
};

Sftp::Sftp(std::unique_ptr<Handles> h) : h_(std::move(h)) {}
Sftp::~Sftp() = default;

std::string Sftp::Error(const std::string& what) const {
  const int code = h_->sftp ? sftp_get_error(h_->sftp.get()) : SSH_FX_OK;
  std::string reason = code != SSH_FX_OK ? SftpErrorText(code) : ssh_get_error(h_->ssh.get());
  if (code == SSH_FX_FAILURE || code == SSH_FX_CONNECTION_LOST) {
    const std::string ssh = ssh_get_error(h_->ssh.get());
    if (!ssh.empty()) reason += " (" + ssh + ")";
  }
  return what + ": " + kvid::Shown(reason, false);
}

kv::Result<std::unique_ptr<Sftp>> Sftp::Connect(const std::string& address, const SshOptions& options) {
  auto h = std::make_unique<Handles>();
  h->ssh.reset(ssh_new());
  if (!h->ssh) return kv::Error(ENOMEM, "cannot make an SSH session");
  ssh_session s = h->ssh.get();
  h->callbacks.auth_function = NoPrompt;
  ssh_callbacks_init(&h->callbacks);
  ssh_set_callbacks(s, &h->callbacks);
  const int no = 0, yes = 1;
  const long timeoutS = (options.timeoutMs + 999) / 1000;
  const unsigned port = static_cast<unsigned>(options.port);
  // Only what is given here counts: no ssh_config of the laptop redirects a
  // controller's address, and nothing but keys is ever tried.
  bool set =
      ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_HOST, address.c_str()) == 0 && ssh_options_set(s, SSH_OPTIONS_PORT, &port) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_USER, options.user.c_str()) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeoutS) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_PASSWORD_AUTH, &no) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_KBDINT_AUTH, &no) == 0 && ssh_options_set(s, SSH_OPTIONS_GSSAPI_AUTH, &no) == 0 &&
      ssh_options_set(s, SSH_OPTIONS_PUBKEY_AUTH, &yes) == 0;
  if (set && !options.knownHosts.empty())
    set = ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, options.knownHosts.c_str()) == 0;
  if (!set) return kv::Error(0, "SSH options refused: " + kvid::Shown(ssh_get_error(s), false));
  if (ssh_connect(s) != SSH_OK)
    return kv::Error(0, "cannot connect to " + address + " port " + std::to_string(options.port) + ": " +
                            kvid::Shown(ssh_get_error(s), false));

  const std::string fingerprint = Fingerprint(s);
  const std::string file = options.knownHosts.empty() ? "~/.ssh/known_hosts" : options.knownHosts;
  switch (ssh_session_is_known_server(s)) {
    case SSH_KNOWN_HOSTS_OK: break;
    case SSH_KNOWN_HOSTS_CHANGED:
      return kv::Error(0, "host key of " + address + " CHANGED (now " + fingerprint + "), refused: " + file +
                              " records another key for it; if the controller was replaced, remove its old key");
    case SSH_KNOWN_HOSTS_OTHER:
      return kv::Error(0, "host key of " + address + " is of another type than the one " + file +
                              " records for it (now " + fingerprint + "), refused");
    case SSH_KNOWN_HOSTS_NOT_FOUND:
    case SSH_KNOWN_HOSTS_UNKNOWN: {
      if (!options.acceptNewHostKeys)
        return kv::Error(0, "host key of " + address + " (" + fingerprint + ") is not known in " + file +
                                ", refused (--accept-new-host-keys trusts it on first use)");
      const std::lock_guard<std::mutex> lock(g_knownHostsLock);
      if (ssh_session_update_known_hosts(s) != SSH_OK)
        return kv::Error(0, "cannot record the host key of " + address + " in " + file + ": " +
                                kvid::Shown(ssh_get_error(s), false));
      break;
    }
    default:
      return kv::Error(0, "cannot check the host key of " + address + " against " + file + ": " +
                              kvid::Shown(ssh_get_error(s), false));
  }

  int auth = SSH_AUTH_DENIED;
  if (!options.identity.empty()) {
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_file(options.identity.c_str(), nullptr, NoPrompt, nullptr, &raw) != SSH_OK)
      return kv::Error(0, "cannot read the private key " + options.identity +
                              " (a key that needs a passphrase is not used; give it to ssh-agent)");
    const SshKey key(raw);
    auth = ssh_userauth_publickey(s, nullptr, key.get());
  } else {
    auth = ssh_userauth_publickey_auto(s, nullptr, nullptr);
  }
  if (auth != SSH_AUTH_SUCCESS)
    return kv::Error(0, "public key authentication as " + kvid::Shown(options.user, false) + " at " + address +
                            " refused" + (auth == SSH_AUTH_ERROR ? ": " + kvid::Shown(ssh_get_error(s), false) : ""));

  h->sftp.reset(sftp_new(s));
  if (!h->sftp || sftp_init(h->sftp.get()) != SSH_OK)
    return kv::Error(0, "no SFTP at " + address + ": " + kvid::Shown(ssh_get_error(s), false));
  auto out = std::unique_ptr<Sftp>(new Sftp(std::move(h)));
  out->hostKey_ = fingerprint;
  return out;
}

kv::Result<std::optional<std::uint64_t>> Sftp::Size(const std::string& path) {
  // Never through a link: what stands at the name itself.
  const SftpAttributes a(sftp_lstat(h_->sftp.get(), path.c_str()));
  if (!a) {
    if (sftp_get_error(h_->sftp.get()) == SSH_FX_NO_SUCH_FILE) return std::optional<std::uint64_t>();
    return kv::Error(0, Error("cannot look at " + path));
  }
  if (a->type != SSH_FILEXFER_TYPE_REGULAR) return std::optional<std::uint64_t>(kNotAFile);
  return std::optional<std::uint64_t>(a->size);
}

bool Sftp::EndsLike(sftp_file_struct* out, int local, std::uint64_t from) {
  // The handle must be a regular file of exactly the bytes recorded, whose
  // last bytes are the release's: whatever else stands at the part's name
  // (put there by someone who can write the watch folder) is not written to.
  const SftpAttributes a(sftp_fstat(out));
  if (!a || a->type != SSH_FILEXFER_TYPE_REGULAR || a->size != from) return false;
  std::array<char, 4096> theirs{}, ours{};
  const std::uint64_t n = std::min<std::uint64_t>(from, theirs.size());
  if (sftp_seek64(out, from - n) != 0) return false;
  std::uint64_t got = 0;
  while (got < n) {
    const ssize_t r = sftp_read(out, theirs.data() + got, static_cast<std::size_t>(n - got));
    if (r <= 0) return false;
    got += static_cast<std::uint64_t>(r);
  }
  return ::pread(local, ours.data(), n, static_cast<off_t>(from - n)) == static_cast<ssize_t>(n) &&
         std::memcmp(theirs.data(), ours.data(), n) == 0;
}

kv::Status Sftp::Upload(const std::string& local, std::uint64_t size, const std::string& sha256,
                        const std::string& folder, const std::string& name, FilePhase phase, const UploadHooks& hooks) {
  if (phase == FilePhase::kArrived) return kv::Ok();
  const std::string part = folder + name + ".part", whole = folder + name;
  bool wholePart = false;
  if (phase == FilePhase::kRenaming) {
    // Stopped at the rename: a part that is gone was renamed (the daemon
    // may have taken the file since); one that is still the whole file is
    // renamed now; anything else at its name is sent anew.
    auto there = Size(part);
    if (!there) return there.error();
    if (!there.value()) {
      if (hooks.arrived) hooks.arrived();
      return kv::Ok();
    }
    wholePart = *there.value() == size;
  }
  if (!wholePart) {
    auto there = Size(part);
    if (!there) return there.error();
    std::uint64_t from = there.value() && *there.value() <= size ? *there.value() : 0;
    const kv::Fd in(::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!in) return kv::SystemError("cannot open " + local);
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != size)
      return kv::Error(0, local + " is no longer the file of the release (its size changed)");
    // A part goes on only through a handle that proves to be the part sent
    // so far; anything else at its name (a link, a device, other bytes) is
    // removed (the name itself, never what a link points to) and the part
    // made anew, exclusively: the server creates it or refuses.
    SftpFile out;
    if (from > 0) {
      out.reset(sftp_open(h_->sftp.get(), part.c_str(), O_RDWR, 0));
      if (!out || !EndsLike(out.get(), in.get(), from)) {
        out.reset();
        from = 0;
      }
    }
    if (from == 0) {
      if (there.value() && sftp_unlink(h_->sftp.get(), part.c_str()) != 0)
        return kv::Error(0, Error("cannot remove " + part));
      out.reset(sftp_open(h_->sftp.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
      if (!out) return kv::Error(0, Error("cannot create " + part));
    }
    if (hooks.sending) hooks.sending(from);
    if (sftp_seek64(out.get(), from) != 0) return kv::Error(0, Error("cannot seek in " + part));
    // The bytes sent are hashed as they are read, with the local ones of a
    // part sent before: NAME gets a name only when they are the release's,
    // whatever happened to the file on this side since it was checked.
    Sha256 digest;
    std::array<char, kChunkBytes> buffer{};
    for (std::uint64_t at = 0; at < size;) {
      const ssize_t got =
          ::pread(in.get(), buffer.data(), std::min<std::uint64_t>(buffer.size(), (at < from ? from : size) - at),
                  static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got < 0 ? kv::SystemError("cannot read " + local) : kv::Error(0, local + " got shorter");
      digest.Add(buffer.data(), static_cast<std::size_t>(got));
      at += static_cast<std::uint64_t>(got);
      if (at <= from) continue;
      const ssize_t put = sftp_write(out.get(), buffer.data(), static_cast<std::size_t>(got));
      if (put != got) return kv::Error(0, Error("cannot write " + part));
      if (hooks.progress && !hooks.progress(at)) return kv::Error(kUploadStopped, "stopped");
    }
    // On the controller's disk before it gets a name the daemon takes.
    if (sftp_extension_supported(h_->sftp.get(), "fsync@openssh.com", "1") != 0 && sftp_fsync(out.get()) != 0)
      return kv::Error(0, Error("cannot flush " + part));
    if (sftp_close(out.release()) != 0) return kv::Error(0, Error("cannot close " + part));
    if (digest.Hex() != sha256) {
      (void)sftp_unlink(h_->sftp.get(), part.c_str());
      return kv::Error(0, local + " is no longer the file of the release (its bytes changed)");
    }
    auto written = Size(part);
    if (!written) return written.error();
    if (written.value() != size)
      return kv::Error(
          0, part + " holds " + std::to_string(written.value().value_or(0)) + " bytes, not " + std::to_string(size));
    if (hooks.renaming) hooks.renaming();
  }
  // The server makes NAME appear whole in one step; it never replaces a
  // file of that name that still waits in the folder.
  if (sftp_rename(h_->sftp.get(), part.c_str(), whole.c_str()) != 0) {
    const int code = sftp_get_error(h_->sftp.get());
    auto exists = Size(whole);
    if (code == SSH_FX_FAILURE && exists && exists.value())
      return kv::Error(0, "cannot rename " + part + " to " + name + ": a file of that name waits in the folder");
    return kv::Error(0, Error("cannot rename " + part + " to " + name));
  }
  if (hooks.arrived) hooks.arrived();
  return kv::Ok();
}

}  // namespace kvplant
