// Identification requests: classification of a received datagram and the
// answers to it. Four answers exist: "IDRSP" with the JSON identification
// document, the binary network record "NETBR" (idpacket.h), the update status
// document (progress.h), and "CLOSED" for anything else; a fifth, the cookie
// answer "IDCKE", tells a client the cookie that verifies its requests
// (idcookie.h). This module builds answers into a buffer; which requests are
// answered is the guard's (idguard.h), the sending the transport's
// (idserver.h).
//
// A request may carry an extension directly after its fixed part ("IDREQ"
// NUL, "BURNR" NUL "IDREQ" NUL, "BURNR" NUL, or "IDUPDATESTATUS" NUL):
// "KVX1", a 16-byte cookie (zero when the client has none) and an 8-byte
// nonce, then any padding. Today's daemons and clients ignore those bytes.
//
// Shared state: the identity record and the interface configuration are read
// through their snapshot functions and written under the configuration lock,
// so listeners on several interfaces can answer at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/identity.h"
#include "idprot/idcookie.h"

enum IdRequestKind : int {
  kIdRequestUnknown = 0,         // answered "CLOSED"
  kIdRequestIdentification = 1,  // "IDREQ\0" or "BURNR\0IDREQ\0"
  kIdRequestNetwork = 2,         // "BURNR\0" followed by anything else
  kIdRequestStatus = 3,          // exactly "IDUPDATESTATUS" up to a NUL or the end
};

inline constexpr std::size_t kIdNonceSize = 8;
inline constexpr std::size_t kIdExtensionSize = 4 + kIdCookieSize + kIdNonceSize;
inline constexpr std::size_t kIdCookieAnswerSize = 5 + kIdCookieSize + kIdNonceSize;

// The optional extension of a request.
struct IdExtension {
  bool present = false;
  std::uint8_t cookie[kIdCookieSize] = {};
  std::uint8_t nonce[kIdNonceSize] = {};
};

// What an answer is built for.
struct IdAnswerFor {
  IdRequestKind kind = kIdRequestUnknown;
  int interfaceIndex = 0;
  std::uint8_t appRunning = 0;  // the application answered the last refresh
  bool withNonce = false;       // a verified request: its nonce is echoed
  std::uint8_t nonce[kIdNonceSize] = {};
};

// Classifies the first len bytes of a request.
IdRequestKind IdProt_ClassifyRequest(const char* request, std::size_t len);

// True when the datagram is itself an answer of the protocol: it begins with
// "IDRSP", "NETBR", "CLOSED" or "IDCKE", or with "{" (a status document; no
// request is JSON). Such a datagram is never answered.
bool IdProt_IsAnswer(const char* data, std::size_t len);

// The extension of a request of kind, when it carries one.
IdExtension IdProt_ParseExtension(const char* request, std::size_t len, IdRequestKind kind);

// Builds the full answer of a request into out (space bytes; an answer is at
// most kIdBufferSize bytes and is terminated behind its end when there is
// room) and returns its length. Identification and network answers use the
// identity as the last refresh (idrefresh.h) left it.
int IdProt_BuildAnswer(const IdAnswerFor& what, char* out, std::size_t space);

// Classifies a request and builds its full answer: IdProt_BuildAnswer for the
// request's kind, without a nonce. 0 for a datagram that is itself an answer.
int IdProt_Dispatch(const char* request, std::size_t len, int interfaceIndex, std::uint8_t appRunning, char* out,
                    std::size_t space);

// Builds the cookie answer "IDCKE", cookie, nonce (kIdCookieAnswerSize
// bytes) into out; returns its length, 0 when out has no room.
int IdProt_BuildCookieAnswer(const std::uint8_t cookie[kIdCookieSize], const std::uint8_t nonce[kIdNonceSize],
                             char* out, std::size_t space);

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
