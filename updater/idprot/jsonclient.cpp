#include "idprot/jsonclient.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "idprot/appuser.h"
#include "idprot/sockowner.h"

namespace {

using kv::Json;

constexpr const char* kParams[] = {
    "{\"Path\":\"6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_write_backup:vBool\"}",
    "{\"Path\":\"6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_cfgOnlySSL:vBool\"}",
    "{\"Path\":\"6.1.ControlUnitPart_mainCard.6.Object_ipProtocol.FtpSetupId_cfgEnableFtps:vBool\"}",
    "{\"Path\":\"6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgRemoteService:vU8int2\"}",
    "{\"Path\":\"6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgAccountType:vBool\"}",
};

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int RemainingMs(const JsonRpcClient& client) {
  const long long left = client.deadlineMs - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Appends text at *len when it fits into size bytes with a terminator.
bool Append(char* out, std::size_t size, std::size_t* len, std::string_view text) {
  if (*len + text.size() >= size) return false;
  std::memcpy(out + *len, text.data(), text.size());
  *len += text.size();
  out[*len] = '\0';
  return true;
}

// Whether the line about an untrusted listener was logged since the last
// trusted exchange: one line for as long as the state lasts, not one per
// request of whoever asks the network for the answer.
std::atomic<bool> gUntrustedLogged{false};

// States in which the far end of a connection is still on its way to a
// process: a half-open request, or a connection in the listener's queue.
bool MayStillBeTaken(const TcpSocketOwner& end) {
  constexpr std::uint8_t kEstablished = 1;
  constexpr std::uint8_t kSynRecv = 3;
  return end.state == kEstablished || end.state == kSynRecv || end.state == kTcpStateNewSynRecv;
}

// Decides whether the connection in client may be believed: the uid owning
// the socket at its far end must be root's or the application's service
// user's. The far end's owner is known once the listener's process has taken
// the connection; until then it is asked again within the deadline. A far
// end that ended before anyone could see its owner (a listener that accepts
// and closes at once) leaves the listener on the port to say whether the
// application runs, and whatever that far end sent is not read
// (client.replyBelieved).
bool PeerTrusted(JsonRpcClient& client) {
  sockaddr_in own{};
  socklen_t ownLen = sizeof own;
  if (::getsockname(client.socket.get(), reinterpret_cast<sockaddr*>(&own), &ownLen) != 0) {
    log_Print(3, "jsonClient_InitSocket, own address unknown: %s\n", std::strerror(errno));
    return false;
  }
  std::optional<uid_t> owner;
  int pause = 1;
  for (;;) {
    const kv::Result<TcpSocketOwner> far = sockowner_Find(client.server, own, RemainingMs(client));
    if (far && far.value().hasOwner) {
      owner = far.value().uid;
      break;
    }
    if (!far || !MayStillBeTaken(far.value()) || RemainingMs(client) <= 0) break;
    (void)::poll(nullptr, 0, std::min(pause, RemainingMs(client)));  // a bounded wait; the result is the lookup's
    pause = std::min(pause * 2, 16);
  }
  client.replyBelieved = owner.has_value();
  if (!owner) {
    const kv::Result<TcpSocketOwner> listener = sockowner_FindListener(client.server, RemainingMs(client));
    if (!listener || !listener.value().hasOwner) {
      log_Print(3, "jsonClient_InitSocket, owner of the connection and of the listener unknown\n");
      return false;
    }
    log_Print(3, "jsonClient_InitSocket, connection ended before its owner was seen; its reply is not read\n");
    owner = listener.value().uid;
  }
  bool trusted = *owner == 0;
  if (!trusted) {
    const std::optional<uid_t> service = appuser_Uid();  // read once per exchange, only when root does not own it
    trusted = service.has_value() && *service == *owner;
  }
  if (trusted) {
    gUntrustedLogged.store(false);
    return true;
  }
  if (!gUntrustedLogged.exchange(true)) {
    log_PrintPriority(kPriorityError, 1, "jsonClient_InitSocket, listener on port %d belongs to uid %u, not trusted\n",
                      static_cast<int>(client.port), static_cast<unsigned>(*owner));
  }
  return false;
}

}  // namespace

int jsonClient_InitSocket(JsonRpcClient& client) {
  client.requestLimit = kJsonClientLimit;
  client.replyLimit = kJsonClientLimit;
  client.port = kJsonClientPort;
  kv::CopyBounded(client.host, kJsonClientHost);
  client.deadlineMs = NowMs() + kJsonClientDeadlineMs;

  client.socket = kv::Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!client.socket) {
    log_PrintPriority(kPriorityError, 1, "jsonClient_InitSocket, no socket avalabale!\n");
    return 0;
  }
  timeval timeout{1, 0};
  (void)::setsockopt(client.socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  client.server = sockaddr_in{};
  client.server.sin_family = AF_INET;
  client.server.sin_port = htons(client.port);
  ::inet_pton(AF_INET, client.host, &client.server.sin_addr);

  // Non-blocking connect, so that a listener whose queue is full cannot hold
  // the answer beyond the deadline.
  int rc = ::connect(client.socket.get(), reinterpret_cast<const sockaddr*>(&client.server), sizeof client.server);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{client.socket.get(), POLLOUT, 0};
    int err = ETIMEDOUT;
    if (::poll(&p, 1, RemainingMs(client)) == 1) {
      socklen_t len = sizeof err;
      if (::getsockopt(client.socket.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
    rc = err == 0 ? 0 : -1;
  }
  if (rc != 0) {
    log_Print(1, "jsonClient_InitSocket, connect, i did not\n");
    client.socket.reset();
    return 0;
  }
  if (!PeerTrusted(client)) {
    client.socket.reset();
    return 0;
  }
  return 1;
}

void jsonClient_Close(JsonRpcClient& client) { client.socket.reset(); }

int jsonClient_CreateRequestData(JsonRpcClient& client, char* out, int limit) {
  char body[2048];
  std::size_t bodyLen = 0;
  body[0] = '\0';
  bool ok = Append(body, sizeof body, &bodyLen, "{") && Append(body, sizeof body, &bodyLen, "\"jsonrpc\":\"2.0\",") &&
            Append(body, sizeof body, &bodyLen, "\"method\":\"telvoRead\",") &&
            Append(body, sizeof body, &bodyLen, "\"params\":[");
  for (std::size_t i = 0; ok && i < std::size(kParams); ++i) {
    ok = Append(body, sizeof body, &bodyLen, kParams[i]) &&
         (i + 1 == std::size(kParams) || Append(body, sizeof body, &bodyLen, ","));
  }
  ok = ok && Append(body, sizeof body, &bodyLen, "],") && Append(body, sizeof body, &bodyLen, "\"id\":13") &&
       Append(body, sizeof body, &bodyLen, "}\n");

  char header[512];
  const int headerLen =
      std::snprintf(header, sizeof header,
                    "{\"ip\":\"%s\",\"clientip\":\"%s\",\"localip\":\"%s\",\"ssl\":false,"
                    "\"filename\":\"%s\",\"logoff\":false,\"length\":%d}\n",
                    client.host, client.host, client.host, "/RPC/QUORVAN/NETSEC.JSON", static_cast<int>(bodyLen));
  log_Print(3, "jsonClient_CreateRequestData, json client req sent:\n %s \n %s\n", body, header);
  if (!ok || headerLen < 0 || static_cast<std::size_t>(headerLen) >= sizeof header) return 0;
  const std::size_t total = static_cast<std::size_t>(headerLen) + bodyLen;
  if (out == nullptr || limit <= 0 || total >= static_cast<std::size_t>(limit)) return 0;
  std::memcpy(out, header, static_cast<std::size_t>(headerLen));
  std::memcpy(out + headerLen, body, bodyLen);
  out[total] = '\0';
  return static_cast<int>(total);
}

int jsonClient_Send(JsonRpcClient& client, const char* data, int len) {
  if (!client.socket || len < 0) return -1;
  pollfd p{client.socket.get(), POLLOUT, 0};
  if (::poll(&p, 1, RemainingMs(client)) != 1) return -1;
  const ssize_t n = ::send(client.socket.get(), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

int jsonClient_Receive(JsonRpcClient& client, char* buffer, int size) {
  if (!client.socket) return 0;
  if (size <= 0) return -1;
  for (;;) {
    const int wait = RemainingMs(client);
    if (wait <= 0) return -1;
    pollfd p{client.socket.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return -1;
    const ssize_t n = ::recv(client.socket.get(), buffer, static_cast<std::size_t>(size), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int jsonClient_Request(JsonRpcClient& client, DeviceIdData& id) {
  client.replyCount = 0;
  std::memset(client.reply, 0, sizeof client.reply);
  if (!client.replyBelieved) return 0;  // an unknown sender: as if no reply came

  const int len = jsonClient_CreateRequestData(client, client.request, client.requestLimit);
  if (len == 0) {
    log_PrintPriority(kPriorityError, 1, "json client request too big, > %d \n", client.requestLimit);
    return 1;
  }
  if (jsonClient_Send(client, client.request, len) != len) {
    log_PrintPriority(kPriorityError, 1, "%s", "sendto() not possible\n");
  }
  const int n = jsonClient_Receive(client, client.reply, client.replyLimit);
  if (n <= 0) return 0;
  client.replyCount = static_cast<std::uint16_t>(n);
  return jsonClient_ProcessReply(client, id);
}

int jsonClient_ProcessReply(JsonRpcClient& client, DeviceIdData& id) {
  const std::size_t limit = static_cast<std::size_t>(client.replyLimit) < kJsonClientLimit
                                ? static_cast<std::size_t>(client.replyLimit)
                                : kJsonClientLimit;
  std::size_t count = client.replyCount < limit ? client.replyCount : limit;
  client.reply[count] = '\0';
  if (count == 0 || client.reply[0] == '\0') {
    std::puts("no data, rcv returned -1, JSON");
    return 1;
  }

  // The header line may come in several pieces: wait for its newline.
  const char* newline = static_cast<const char*>(std::memchr(client.reply, '\n', count));
  while (newline == nullptr && count < limit) {
    const int more = jsonClient_Receive(client, client.reply + count, static_cast<int>(limit - count));
    if (more <= 0) break;
    newline = static_cast<const char*>(std::memchr(client.reply + count, '\n', static_cast<std::size_t>(more)));
    count += static_cast<std::size_t>(more);
    client.replyCount = static_cast<std::uint16_t>(count);
    client.reply[count] = '\0';
  }
  if (newline == nullptr) {
    log_Print(3, "jsonClient_Request, reply without header line (%d bytes)\n", static_cast<int>(count));
    std::puts("Failed to parse JSON");
    return 1;
  }
  const std::size_t headerLen = static_cast<std::size_t>(newline - client.reply);
  const std::size_t headerText =
      headerLen == 0 ? (count < kJsonClientHeaderScan ? count : kJsonClientHeaderScan) : headerLen;
  Json header(cJSON_ParseWithLength(client.reply, headerText));
  if (!header) {
    std::puts("Failed to parse JSON");
    return 1;
  }
  const cJSON* lengthItem = cJSON_GetObjectItemCaseSensitive(header.get(), "length");
  if (!cJSON_IsNumber(lengthItem) || lengthItem->valuedouble < 0 ||
      lengthItem->valuedouble > static_cast<double>(limit)) {
    log_Print(3, "jsonClient_Request, reply header without usable length\n");
    return 1;
  }
  const std::size_t length = static_cast<std::size_t>(lengthItem->valueint);
  const std::size_t end = headerLen + 1 + length;
  if (end > limit) {
    log_Print(3, "jsonClient_Request, reply of %d bytes does not fit\n", static_cast<int>(end));
    return 1;
  }
  // The announced body is complete when at most its last byte (its newline)
  // is still missing; anything short of that by the deadline is given up.
  while (count < headerLen + length) {
    const int more = jsonClient_Receive(client, client.reply + count, static_cast<int>(limit - count));
    if (more <= 0) break;
    count += static_cast<std::size_t>(more);
    client.replyCount = static_cast<std::uint16_t>(count);
  }
  if (count < headerLen + length) {
    client.reply[count] = '\0';
    log_Print(3, "jsonClient_Request, reply incomplete: %d of %d bytes\n", static_cast<int>(count),
              static_cast<int>(end));
    return 1;
  }
  if (count > end) count = end;
  client.reply[count] = '\0';
  log_Print(3, "jsonClient_Request, json client received resp: \n %s \n", client.reply);

  Json body(cJSON_ParseWithLength(client.reply + headerLen + 1, count - headerLen - 1));
  const cJSON* result = body ? cJSON_GetObjectItemCaseSensitive(body.get(), "result") : nullptr;
  if (!cJSON_IsArray(result)) {
    log_Print(3, "jsonClient_Request, reply body without result\n");
    return 1;
  }
  jsonClient_MapResult(result, id);
  return 0;
}

void jsonClient_MapResult(const cJSON* result, DeviceIdData& id) {
  const cJSON* element = nullptr;
  cJSON_ArrayForEach(element, result) {
    const cJSON* path = cJSON_GetObjectItemCaseSensitive(element, "Path");
    if (!cJSON_IsString(path) || path->valuestring == nullptr) continue;
    const cJSON* value = cJSON_GetObjectItemCaseSensitive(element, "Value");
    const std::uint8_t isTrue = cJSON_IsTrue(value) ? 1 : 0;
    const char* p = path->valuestring;
    if (std::strstr(p, "TcpIpSetupId_write_backup") != nullptr) id.writeBackup = isTrue;
    if (std::strstr(p, "TcpIpSetupId_cfgOnlySSL") != nullptr) id.forceSsl = isTrue;
    if (std::strstr(p, "SecurityId_cfgRemoteService") != nullptr) {
      const int number = cJSON_IsNumber(value) ? value->valueint : 0;
      id.remoteAuthentication = static_cast<std::uint8_t>(static_cast<unsigned>(number) & 0xFFu);
    }
    if (std::strstr(p, "SecurityId_cfgAccountType") != nullptr) id.digestAccess = isTrue;
    if (std::strstr(p, "FtpSetupId_cfgEnableFtps") != nullptr) id.sftpEnabled = isTrue;
  }
}
