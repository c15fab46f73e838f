// Feeds arbitrary bytes to the JSON-RPC client as the application's reply
// (all of it already received, no connection to wait on) and checks that the
// reply handling stays inside its buffer, keeps the flags unless it reports a
// completed exchange, and writes only the five flags the reply may set.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/identity.h"
#include "idprot/jsonclient.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The client reports some malformed replies on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static JsonRpcClient* client = new JsonRpcClient;
  const std::size_t n = size < kJsonClientLimit ? size : kJsonClientLimit;
  std::memset(client->reply, 0, sizeof client->reply);
  std::memcpy(client->reply, data, n);
  client->replyCount = static_cast<std::uint16_t>(n);
  client->replyLimit = kJsonClientLimit;

  DeviceIdData before{};
  std::memset(&before, 0x5A, sizeof before);
  DeviceIdData id = before;
  const int result = jsonClient_ProcessReply(*client, id);
  Check(result == 0 || result == 1);
  DeviceIdData masked = id;
  masked.writeBackup = before.writeBackup;
  masked.forceSsl = before.forceSsl;
  masked.sftpEnabled = before.sftpEnabled;
  masked.digestAccess = before.digestAccess;
  masked.remoteAuthentication = before.remoteAuthentication;
  Check(std::memcmp(&masked, &before, sizeof before) == 0);
  if (result != 0) Check(std::memcmp(&id, &before, sizeof before) == 0);
  for (std::uint8_t flag : {id.writeBackup, id.forceSsl, id.sftpEnabled, id.digestAccess})
    Check(flag == 0 || flag == 1 || flag == 0x5A);
  Check(client->replyCount <= kJsonClientLimit);
  return 0;
}
