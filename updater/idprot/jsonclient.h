// JSON-RPC client to the controller's application: one short exchange on
// 127.0.0.1 port 4006 that reads the application's security settings into
// the security flags of the device identity.
//
// The whole exchange (connection, request, reply) has one deadline of
// kJsonClientDeadlineMs, whatever the application does: an application that
// stalls, closes early or sends something malformed costs at most that long,
// the flags then keep their values, and the identification answer goes out.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/identity.h"
#include "core/handles.h"

struct cJSON;

inline constexpr int kJsonClientPort = 4006;
inline constexpr const char* kJsonClientHost = "127.0.0.1";
inline constexpr int kJsonClientLimit = 10000;
inline constexpr int kJsonClientDeadlineMs = 1000;
// The header line is looked for in at most this many bytes when the reply
// starts with its newline.
inline constexpr std::size_t kJsonClientHeaderScan = 2000;

// One exchange; a local of the caller.
struct JsonRpcClient {
  char request[kJsonClientLimit];
  int requestLimit = kJsonClientLimit;
  char reply[kJsonClientLimit + 1];  // one more byte: the reply is always terminated
  int replyLimit = kJsonClientLimit;
  std::uint16_t replyCount = 0;
  kv::Fd socket;
  sockaddr_in server{};
  std::uint16_t port = 0;
  char host[16] = "";
  long long deadlineMs = 0;  // monotonic milliseconds; 0: no exchange started
  // False when the far end of the connection ended before its owner could be
  // seen: nothing it sent is read.
  bool replyBelieved = true;
};

// Sets the limits and connects to 127.0.0.1:4006 within the deadline, which
// starts here, then asks the kernel who owns the socket at the far end of
// this very connection (sockowner.h). Any local process can listen on the
// port while the application is down; only a socket of root's or of the
// application's service user (the device setting kAppUser, appuser.h) is
// believed. When the far end ended before its owner could be seen, the
// listener on the port answers for it and the connection's reply is not read
// (replyBelieved false: jsonClient_Request then reports no reply).
// Returns 1 when connected to a trusted owner, 0 otherwise (socket closed):
// no connection, or an owner that is not trusted, logged once
// ("jsonClient_InitSocket, listener on port 4006 belongs to uid N, not
// trusted", error priority) until a trusted exchange is seen again.
[[nodiscard]] int jsonClient_InitSocket(JsonRpcClient& client);

// Sends the request and reads the reply into the security flags of id.
// Returns 0 after a completed exchange or when no reply came at all, 1 when
// the request could not be built or the reply was empty, malformed,
// incomplete by the deadline or too large; on 1 the flags are unchanged.
int jsonClient_Request(JsonRpcClient& client, DeviceIdData& id);

// Closes the connection.
void jsonClient_Close(JsonRpcClient& client);

// Writes the header line followed by the body into out. Returns the total
// length, or 0 when it would not be shorter than limit.
int jsonClient_CreateRequestData(JsonRpcClient& client, char* out, int limit);

// Sends len bytes in one call; returns the sent count or -1.
int jsonClient_Send(JsonRpcClient& client, const char* data, int len);

// Receives at most size bytes, waiting no longer than the deadline. Returns
// the count, 0 when the peer closed (or there is no connection), -1 on a
// failure or when the deadline has passed.
int jsonClient_Receive(JsonRpcClient& client, char* buffer, int size);

// Works on the reply that has arrived in client.reply (client.replyCount
// bytes), receiving the rest as needed, and maps it into id. The result is
// that of jsonClient_Request after its first receive.
int jsonClient_ProcessReply(JsonRpcClient& client, DeviceIdData& id);

// Applies each element of a "result" array to the security flags of id.
void jsonClient_MapResult(const cJSON* result, DeviceIdData& id);
