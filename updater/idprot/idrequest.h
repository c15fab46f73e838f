// Identification requests: classification of a received datagram and the
// answers to it. Four answers exist: "IDRSP" with the JSON identification
// document, the binary network record "NETBR" (idpacket.h), the update status
// document (progress.h), and "CLOSED" for anything else.
//
// Shared state: the identity record and the interface configuration are read
// through their snapshot functions and written under the configuration lock;
// a JSON-RPC exchange works on a copy of the identity whose security flags are
// written back under the lock, so listeners on several interfaces can answer
// at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/identity.h"

struct IdListener;

enum IdRequestKind : int {
  kIdRequestUnknown = 0,         // answered "CLOSED"
  kIdRequestIdentification = 1,  // "IDREQ\0" or "BURNR\0IDREQ\0"
  kIdRequestNetwork = 2,         // "BURNR\0" followed by anything else
  kIdRequestStatus = 3,          // exactly "IDUPDATESTATUS" up to a NUL or the end
};

// Text the JSON document and the network record report when the OS image
// version cannot be read.
inline constexpr const char* kIdUnknownImageVersion = "unknown";

// Classifies the first len bytes of a request.
IdRequestKind IdProt_ClassifyRequest(const char* request, std::size_t len);

// True when the datagram is itself an answer of the protocol: it begins with
// "IDRSP", "NETBR" or "CLOSED", or with "{" (a status document; no request
// is JSON). Such a datagram is never answered.
bool IdProt_IsAnswer(const char* data, std::size_t len);

// Classifies the listener's last request, builds the answer and sends it to
// the sender with idserver_Transmit. An answer (IdProt_IsAnswer) or a
// datagram from port 20034 gets none.
void IdProt_Dispatch(IdListener& listener);

// Before an identification or network answer: reloads the identity from the
// application configuration, then asks the application for its security
// settings (setting the listener's application flag when it answers) or,
// when it cannot be reached, applies the default settings.
void IdProt_Refresh(IdListener& listener);

// Writes the compact JSON identification document for the interface index
// into out (at most space - 1 characters and a terminator) and returns its
// length. A document longer than that keeps all its members: its longest
// text values are cut to one common length (never inside a UTF-8 sequence)
// until it fits, so it is always valid JSON; 0 (and an empty text) when not
// even empty texts would fit. Reloads the interface configuration. For the VLAN listeners
// (indexes 6 and 7), which have no configuration entry, the configured
// members are empty or zero, "interface_name" is the VLAN interface's name
// and the live members are the VLAN interface's own.
int IdProt_CreateJsonResponse(char* out, int space, const DeviceIdData& id, int index, std::uint8_t appRunning);
