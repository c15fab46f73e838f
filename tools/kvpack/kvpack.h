// kvpack: makes and inspects what the update daemon accepts — ipk packages,
// CRY containers and ".sign64" detached signatures — on the build host.
//
// Every maker writes its output through OutputFile, so a failed command
// leaves no half-written file behind. Every function reports failure as a
// kv::Error whose message is the one line the tool prints.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "core/result.h"
#include "security/crykey.h"

namespace kvpack {

// libarchive handles, which only the packaging tool uses.
using ArchiveWriter = kv::CHandle<archive, &::archive_write_free>;
using ArchiveReader = kv::ArchiveReader;
using Entry = kv::CHandle<archive_entry, &::archive_entry_free>;

// A libarchive failure: "<what>: <libarchive's reason>", or what alone when
// libarchive gives none.
kv::Error ArchiveError(archive* a, const std::string& what);

// A libarchive write callback that appends to the FILE* given as its data.
la_ssize_t WriteToFile(archive* a, void* file, const void* buffer, size_t n);

// A file written under a temporary name in the destination's folder and
// renamed into place by Commit(); destroyed uncommitted, it is removed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  kv::Status Open(const std::string& path);
  [[nodiscard]] std::FILE* get() const { return file_.get(); }
  // Flushes, closes and renames into place (mode 0644 less the umask); with
  // replace false, refuses (atomically) when the destination exists.
  kv::Status Commit(bool replace = true);

 private:
  void Discard();
  kv::File file_;
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
kv::Result<CryKey> ReadKeyFile(const std::string& path);

// --- reproducible output ---

// The time every made file records instead of the clock's, from the
// environment's SOURCE_DATE_EPOCH (seconds since 1970), or none when it is
// unset or empty. A value that is not such a number is refused: output meant
// to be reproducible must not silently carry the clock.
kv::Result<std::optional<std::time_t>> SourceDateEpoch();

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
kv::Result<std::string> BuildCryHeader(const CryOptions& options);

// "KEY: value" CR LF for each line; refuses a line longer than the daemon
// reads.
kv::Result<std::string> JoinHeaderLines(std::span<const std::pair<const char*, std::string>> lines);

// A header value is one token: printable ASCII without blank or colon. On
// refusal the error names the value as `what`.
kv::Status CheckToken(const char* what, const std::string& value);

// Wraps the file input into a container at output: header, NUL filler up to
// the payload offset, then the verification header (random leading word,
// image length and its two's complement, little-endian) and the image,
// zero-padded to the AES block size and encrypted with AES-256-CBC.
kv::Status WriteCry(const CryOptions& options, const std::string& input, const std::string& output);

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
kv::Result<ControlFields> ParseControl(const std::string& text);

// Builds an ipk: an ar archive of debian-binary ("2.0\n"), control.tar.gz
// and data.tar.gz, as the opkg tools make them.
kv::Status BuildIpk(const IpkOptions& options, const std::string& output);

// Checks that path is an ipk the daemon can unpack; gives the fields of its
// control file.
kv::Result<ControlFields> ReadIpk(const std::string& path);

// --- private keys ---

// How a private key's secret is reached: the pass phrase of an encrypted PEM
// key, or the PIN of the token a pkcs11: key lies in.
struct KeyAccess {
  KeyAccess() = default;
  KeyAccess(const KeyAccess&) = default;
  KeyAccess& operator=(const KeyAccess&) = default;
  ~KeyAccess();  // wipes the pass phrase

  bool havePass = false;     // a pass phrase or PIN was given
  std::string pass;          // that pass phrase or PIN
  bool mayPrompt = false;    // ask on the terminal when one is needed and none was given
  std::string pkcs11Module;  // PKCS #11 module of pkcs11: keys; empty: the engine's default
  bool verbose = false;      // let the token's engine print its own diagnostics
};

// Reads a pass phrase given as the openssl tools take one: "pass:TEXT",
// "env:VAR", "file:PATH" (its first line), "fd:N" (the first line read from
// descriptor N) or "stdin" (the first line of standard input).
kv::Result<std::string> ReadPassSource(const std::string& source);

// True for a key named by a PKCS #11 URI ("pkcs11:token=...;object=...").
bool IsTokenKey(const std::string& key);

// A private key ready to sign, and whatever must live as long as it (the
// token session of a pkcs11: key, whose secret never leaves the token).
struct PrivateKey {
  std::shared_ptr<void> session;
  kv::Pkey key;
};

// Loads a PEM private key file (encrypted ones with access's pass phrase) or
// a key in a PKCS #11 token (pkcs11:URI, through OpenSSL's pkcs11 engine).
// Refuses a key whose type the device cannot verify. The error says what was
// wrong: no pass phrase and no terminal to ask on, a wrong one, not a key.
kv::Result<PrivateKey> LoadPrivateKey(const std::string& key, const KeyAccess& access);

// The pkcs11: part of LoadPrivateKey.
kv::Result<PrivateKey> LoadTokenKey(const std::string& uri, const KeyAccess& access);

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

  kv::Status Init(const std::string& privateKey, const KeyAccess& access = {});
  kv::Status Restart();
  // The key's type and size, as "RSA-2048" or "EC-256".
  [[nodiscard]] std::string Describe() const;
  // False when the digest refuses the bytes; the caller names the file.
  bool Update(const void* data, std::size_t n);
  // The Base64 signature; what names the signed file in messages. An empty
  // stream is refused.
  kv::Result<std::string> Finish(const std::string& what);

 private:
  // Declared before the key, which it must outlive.
  std::shared_ptr<void> session_;
  kv::Pkey key_;
  kv::MdCtx ctx_;
  std::string keyName_;
  std::uint64_t total_ = 0;
};

// The most bytes of a file name the device's file systems hold.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Signs the whole file input with the PEM private key (SHA-256; PKCS #1 v1.5
// for RSA) and writes the Base64 signature, in 64-character lines, to output.
// An output name longer than kMaxFileNameBytes is refused before anything is
// written; so is an existing output unless replace is set.
struct SignOptions {
  KeyAccess access;
  bool replace = true;             // write over an existing output
  std::string* keyType = nullptr;  // receives the key's type and size (Signer::Describe) when set
};
kv::Status SignFile(const std::string& privateKey, const std::string& input, const std::string& output,
                    const SignOptions& options = {});

// --- bundles and OS images ---

// One member of a bundle: its source file and its manifest entry.
struct BundleMember {
  std::string path;      // the member's source file on the build host
  std::string fileName;  // its name in the bundle
  std::string entry;     // its manifest object, compact JSON, without "path"
  bool image = false;    // its packageName is "image": the OS image
};

// Reads a member list: a JSON array of objects, each with "path" and any
// manifest fields ("packageName", "swRev", "platformName", "fileType",
// "fileName"). "fileName" defaults to the base name of "path" and must be a
// name the device can move out of its bundle folder. Gives the members and
// the manifest text (the array without "path", formatted). A platform
// identifier in "platformName" (KV2_TOUCH), or as the "packageName" of an
// application member, is written as the platform name the device compares
// (kv2-touch), with a note. Warnings name the items that no device would
// install (no platform named, an OS image for "all", a file that is neither
// a container nor a package) and keys the device does not read.
struct BundleMembers {
  std::vector<BundleMember> members;
  std::string manifest;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
};
kv::Result<BundleMembers> ReadBundleMembers(const std::string& json);

struct BundleOptions {
  std::string fileType = "UPDATE";  // UPDATE, UPDATE-FULL or UPDATEFULL
  int headerLength = kDefaultHeaderLength;
  // Optional header lines, written as the cry command writes them when set.
  std::string platform;
  std::string swPart;
  std::string packageName;
  std::string signKey;           // PEM private key: a ".sign64" per member when set
  KeyAccess signAccess;          // its pass phrase or token PIN
  CryKey cryKey = BuiltInKey();  // decrypts container members, whose packages are signed
  bool strict = false;           // refuse the bundle when the member list draws a warning
};

// The header text of a bundle (CR LF lines and the closing empty line),
// without filler; refused when it does not fit in the header length.
kv::Result<std::string> BuildBundleHeader(const BundleOptions& options);

// The name of a member's signature in the bundle: the file name up to its
// last full stop, followed by ".sign64".
std::string MemberSignatureName(const std::string& fileName);

// Writes a bundle: header, NUL filler up to the header length, then a plain
// tar holding "allinfo.json", each member and (with a signing key) its
// ".sign64", all at the top level. Notes and warnings go to stderr; with
// strict, a warning refuses the bundle.
kv::Status WriteBundle(const BundleOptions& options, const std::string& membersJson, const std::string& output);

// Writes outFolder/IMAGE.CRY (the image, unchanged) and outFolder/IMAGE.sign64.
kv::Status WriteImage(const std::string& privateKey, const std::string& image, const std::string& outFolder,
                      const KeyAccess& access = {});

// --- inspection ---

struct InspectOptions {
  std::string platform;       // device platform, either spelling (KV2_TOUCH or kv2-touch)
  std::string publicKey;      // PEM public key of the device; without it no signature is checked
  std::string signature;      // .sign64 of the inspected file; default: NAME.sign64 beside it
  std::string package;        // the package a .sign64 belongs to
  bool haveImageRev = false;  // bundles: the running image's revision is known
  std::string imageRev;       // bundles: that revision
  CryKey key;
};

// What a device would do with a file: it takes it (every check it makes
// passed), refuses it, or the answer depends on a check that could not be
// made here (no --public-key given).
enum class InspectVerdict { kAccepted, kRejected, kNotChecked };

// One fact of a report: what was looked at, and what was found, in words.
struct InspectFact {
  std::string topic;
  std::string text;
};

// A bundle member as the device handles it: taken into its watch folder and
// checked there, or dropped from the manifest.
struct InspectMember {
  std::string fileName;
  std::string packageName;
  bool taken = false;
  std::string role;  // taken: "own package", "OS image", ...; dropped: empty
  InspectVerdict verdict = InspectVerdict::kNotChecked;
  std::string reason;  // why it is refused, not checked or dropped
  std::string swRev;   // its manifest's swRev ("" when it has none)
};

struct InspectReport {
  std::string file;  // as given
  std::string kind;  // "ipk package", "CRY container", "OS image", "bundle", ...
  std::vector<InspectFact> facts;
  std::vector<InspectMember> members;
  InspectVerdict verdict = InspectVerdict::kRejected;
  std::string reason;  // rejected or not checked: why
};

// Says what the daemon of a device of the given platform would do with the
// file, running the daemon's own checks in a throwaway sandbox. A bundle is
// worked through member by member, each member checked as it reaches the
// device's watch folder, its signature from the bundle. An error when the
// inspection itself could not run.
kv::Result<InspectReport> Inspect(const InspectOptions& options, const std::string& file);

// Inspects each file, or each file the device's scan would take from a
// folder (.CRY and .ipk), writes the reports to out (text, or a JSON array
// with one object per file) and gives the exit status: 0 all accepted, 1 one
// is rejected, 3 none rejected but one not checked, 2 an inspection could
// not run.
int InspectFiles(const InspectOptions& options, const std::vector<std::string>& files, bool json, std::FILE* out);

// Image type of the daemon's configuration for a platform identifier or name
// (KV2_TOUCH or kv2-touch 1, KORVEL_R or korvel-r 2, KV_SR or korvel-sr 3);
// 0 when unknown.
int PlatformImageType(const std::string& platform);

// The two spellings of a platform: the identifier that container headers
// carry (KV2_TOUCH) and the name that bundle manifests carry (kv2-touch).
// Either spelling gives both; empty for an unknown platform.
std::string PlatformId(const std::string& platform);
std::string PlatformName(const std::string& platform);
inline constexpr const char* kPlatformIds[] = {"KV2_TOUCH", "KORVEL_R", "KV_SR"};
inline constexpr const char* kPlatformNames[] = {"kv2-touch", "korvel-r", "korvel-sr"};

// Whole-file helpers.
kv::Result<std::string> ReadWholeFile(const std::string& path);

// The file name after the last slash of path.
std::string BaseName(const std::string& path);

}  // namespace kvpack
