// Detached signatures dropped into the watch folder beside what they sign:
// "NAME.sign64" beside "NAME.ipk", "NAME.CRY" or "IMAGE.CRY". A technician
// who can write only the watch folder brings a single package or container
// with its signature this way; the signature is taken together with its
// drop into the bundle folder, where every signature check looks. Bundles
// keep bringing their members' signatures inside the bundle.
#pragma once

#include <sys/types.h>

#include <string>

// A signature file is a few hundred bytes of Base64; more is no signature.
inline constexpr off_t kDroppedSignatureMaxBytes = 64 * 1024;

// How long a drop waits for its signature, from when the scan first saw it
// as it is (seconds; the environment variable's whole number, 0 for no
// wait). Upload clients send a package and its signature one after the
// other, the signature often last ("app.ipk" sorts before "app.sign64").
inline constexpr const char* kSignatureWaitEnvironment = "KVUPDATER_SIGNATURE_WAIT";
inline constexpr long kSignatureWaitDefaultSeconds = 30;
[[nodiscard]] long dropsig_WaitSeconds();

// The signature's name for a drop: its name up to the last full stop, and
// ".sign64"; empty for a name without a full stop.
[[nodiscard]] std::string dropsig_NameFor(const std::string& drop);

// Whether the drop folder+drop still waits for its signature: none stands
// beside it nor in the bundle folder, or the one beside it is still held
// open (being uploaded).
[[nodiscard]] bool dropsig_Missing(const char* folder, const std::string& drop);

// Takes the signature beside folder+drop, if there is one, into the bundle
// folder under the same name (replacing an older one there), under the
// rules of every take: a regular single-link file, at most
// kDroppedSignatureMaxBytes, held by nobody else. One that cannot be taken
// stays where it is, with one error line; the drop goes on without it (its
// check then finds no signature of its own). Returns true when one was taken.
bool dropsig_TakeBeside(const char* folder, const std::string& drop);

// Removes the signatures in the watch folder that stand beside no package
// or container (start-up): one beside its drop stays and goes with it.
void dropsig_RemoveOrphans(const char* folder);
