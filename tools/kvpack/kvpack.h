// kvpack: makes and inspects what the update daemon accepts — ipk packages,
// CRY containers and ".sign64" detached signatures — on the build host.
//
// Every maker writes its output through OutputFile, so a failed command
// leaves no half-written file behind. Every function reports failure by
// returning false with a one-line explanation in *error.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "security/crykey.h"

namespace kvpack {

// libarchive handles, which only the packaging tool uses.
struct ArchiveWriteFree {
  void operator()(archive* a) const noexcept { archive_write_free(a); }
};
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteFree>;
struct ArchiveReadFree {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;
struct EntryFree {
  void operator()(archive_entry* e) const noexcept { archive_entry_free(e); }
};
using Entry = std::unique_ptr<archive_entry, EntryFree>;

// A file written under a temporary name in the destination's folder and
// renamed into place by Commit(); destroyed uncommitted, it is removed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Open(const std::string& path, std::string* error);
  [[nodiscard]] std::FILE* get() const { return file_; }
  // Flushes, closes and renames into place (mode 0644 less the umask).
  bool Commit(std::string* error);

 private:
  void Discard();
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string temp_;
};

// AES-256 key and initialisation vector of CRY payloads.
struct CryKey {
  unsigned char key[kCryKeySize] = {};
  unsigned char iv[kCryIvSize] = {};
};

// The key built into this program (the same one the daemon of this build has).
CryKey BuiltInKey();
// Reads a key file: lines "key=<64 hex digits>" and "iv=<32 hex digits>",
// '#' starting a comment.
bool ReadKeyFile(const std::string& path, CryKey* key, std::string* error);

// --- CRY containers ---

inline constexpr int kDefaultHeaderLength = 512;

struct CryOptions {
  std::string platform;     // "all" or a platform identifier (KV2_TOUCH, KORVEL_R, KV_SR)
  std::string swPart;       // software part number
  std::string packageName;  // name of the package
  std::string fileType = "APP-CRY";
  int headerLength = kDefaultHeaderLength;  // payload offset, at most 1000
  CryKey key;
};

// The header text (CR LF lines and the closing empty line), without filler.
bool BuildCryHeader(const CryOptions& options, std::string* header, std::string* error);

// Appends "KEY: value" CR LF for each line to text; refuses a line longer
// than the daemon reads.
bool JoinHeaderLines(std::span<const std::pair<const char*, std::string>> lines, std::string* text, std::string* error);

// A header value is one token: printable ASCII without blank or colon. On
// refusal the error names the value as `what`.
bool CheckToken(const char* what, const std::string& value, std::string* error);

// Wraps the file input into a container at output: header, NUL filler up to
// the payload offset, then the verification header (random leading word,
// image length and its two's complement, little-endian) and the image,
// zero-padded to the AES block size and encrypted with AES-256-CBC.
bool WriteCry(const CryOptions& options, const std::string& input, const std::string& output, std::string* error);

// --- ipk packages ---

struct IpkOptions {
  std::string controlFile;           // the package's control file
  std::string dataFolder;            // the tree installed on the device
  std::vector<std::string> scripts;  // maintainer scripts (preinst, postinst, prerm, postrm)
};

// Control fields the daemon relies on.
struct ControlFields {
  std::string package;
  std::string version;
  std::string architecture;
};
bool ParseControl(const std::string& text, ControlFields* fields, std::string* error);

// Builds an ipk: an ar archive of debian-binary ("2.0\n"), control.tar.gz
// and data.tar.gz, as the opkg tools make them.
bool BuildIpk(const IpkOptions& options, const std::string& output, std::string* error);

// Checks that path is an ipk the daemon can unpack; fills *fields from its
// control file.
bool ReadIpk(const std::string& path, ControlFields* fields, std::string* error);

// --- signatures ---

// The signature file name next to a package: its path up to the last full
// stop of the file name, followed by ".sign64".
std::string DefaultSignaturePath(const std::string& package);

// Signs a stream of bytes fed in pieces (SHA-256; PKCS #1 v1.5 for RSA) and
// gives the Base64 signature in the form of a ".sign64" file. Restart begins
// the next file with the same key.
class Signer {
 public:
  Signer();
  ~Signer();
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  bool Init(const std::string& privateKey, std::string* error);
  bool Restart(std::string* error);
  bool Update(const void* data, std::size_t n);
  // what names the signed file in messages; an empty stream is refused.
  bool Finish(const std::string& what, std::string* base64, std::string* error);

 private:
  kv::Pkey key_;
  kv::MdCtx ctx_;
  std::string keyName_;
  std::uint64_t total_ = 0;
};

// Signs the whole file input with the PEM private key (SHA-256; PKCS #1 v1.5
// for RSA) and writes the Base64 signature, in 64-character lines, to output.
bool SignFile(const std::string& privateKey, const std::string& input, const std::string& output, std::string* error);

// --- bundles and OS images ---

// One member of a bundle: its source file and its manifest entry.
struct BundleMember {
  std::string path;      // the member's source file on the build host
  std::string fileName;  // its name in the bundle
  std::string entry;     // its manifest object, compact JSON, without "path"
};

// Reads a member list: a JSON array of objects, each with "path" and any
// manifest fields ("packageName", "swRev", "platformName", "fileType",
// "fileName"). "fileName" defaults to the base name of "path" and must be a
// name the device can move out of its bundle folder. Fills members and the
// manifest text (the array without "path", formatted).
bool ReadBundleMembers(const std::string& json, std::vector<BundleMember>* members, std::string* manifest,
                       std::string* error);

struct BundleOptions {
  std::string fileType = "UPDATE";  // UPDATE, UPDATE-FULL or UPDATEFULL
  int headerLength = kDefaultHeaderLength;
  // Optional header lines, written as the cry command writes them when set.
  std::string platform;
  std::string swPart;
  std::string packageName;
  std::string signKey;  // PEM private key: a ".sign64" per member when set
};

// The header text of a bundle (CR LF lines and the closing empty line),
// without filler; refused when it does not fit in the header length.
bool BuildBundleHeader(const BundleOptions& options, std::string* header, std::string* error);

// The name of a member's signature in the bundle: the file name up to its
// last full stop, followed by ".sign64".
std::string MemberSignatureName(const std::string& fileName);

// Writes a bundle: header, NUL filler up to the header length, then a plain
// tar holding "allinfo.json", each member and (with a signing key) its
// ".sign64", all at the top level.
bool WriteBundle(const BundleOptions& options, const std::string& membersJson, const std::string& output,
                 std::string* error);

// Writes outFolder/IMAGE.CRY (the image, unchanged) and outFolder/IMAGE.sign64.
bool WriteImage(const std::string& privateKey, const std::string& image, const std::string& outFolder,
                std::string* error);

// --- inspection ---

struct InspectOptions {
  std::string platform;       // device platform identifier the answer is for
  std::string publicKey;      // PEM public key of the device (packages, OS images)
  std::string signature;      // .sign64 of the inspected file; default: next to it
  std::string package;        // the package a .sign64 belongs to
  bool haveImageRev = false;  // bundles: the running image's revision is known
  std::string imageRev;       // bundles: that revision
  CryKey key;
};

// Says whether the daemon of a device of the given platform would accept the
// file, running the daemon's own checks in a throwaway sandbox. Writes one
// line per finding to report and a final "ACCEPTED" or "REJECTED: <why>".
// Returns 1 accepted, 0 rejected, -1 when the inspection itself could not run
// (*error says why).
int Inspect(const InspectOptions& options, const std::string& file, std::FILE* report, std::string* error);

// For a bundle (Inspect hands it over with its throwaway sandbox root and
// platform in place): runs the daemon's unpacking and member selection there
// and writes one line per selection step to report. Returns 1 when it ran,
// -1 when it could not (*error says why).
int InspectBundle(const InspectOptions& options, const std::string& file, std::FILE* report, std::string* error);

// Image type of the daemon's configuration for a platform identifier or name
// (KV2_TOUCH or kv2-touch 1, KORVEL_R or korvel-r 2, KV_SR or korvel-sr 3);
// 0 when unknown.
int PlatformImageType(const std::string& platform);

// Whole-file helpers.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);

}  // namespace kvpack
