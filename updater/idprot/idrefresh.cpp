#include "idprot/idrefresh.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "config/identity.h"
#include "idprot/idguard.h"
#include "idprot/idiface.h"
#include "idprot/idpacket.h"
#include "idprot/jsonclient.h"

namespace {

struct State {
  std::mutex mutex;
  std::condition_variable wanted;
  IdRefreshed current;
  std::uint64_t requested = 0;  // the generation asked for
  std::uint64_t running = 0;    // the generation being refreshed; 0: none
  long long lastStartMs = 0;    // when the last refresh began
  bool started = false;
  int subscribers[kIdListenerCount] = {};
  int subscriberCount = 0;
};

State& S() {
  static State* s = new State;  // never destroyed: the thread outlives exit handlers
  return *s;
}

// Copies the flags a JSON-RPC exchange may have changed back into the shared
// record.
void StoreApplicationFlags(const DeviceIdData& from) {
  config_UpdateIdData([&from](DeviceIdData& d) {
    d.writeBackup = from.writeBackup;
    d.forceSsl = from.forceSsl;
    d.remoteAuthentication = from.remoteAuthentication;
    d.digestAccess = from.digestAccess;
    d.sftpEnabled = from.sftpEnabled;
  });
}

// Runs the refresh of generation target (s.running) and publishes it.
void RunOne(State& s, std::uint64_t target) {
  const std::uint8_t app = IdProt_Refresh();
  int fds[kIdListenerCount];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (target > s.current.generation) s.current.generation = target;
    s.current.doneMs = idguard_NowMs();
    s.current.appRunning = app;
    s.running = 0;
    count = s.subscriberCount;
    for (int i = 0; i < count; ++i) fds[i] = s.subscribers[i];
  }
  const std::uint64_t one = 1;
  for (int i = 0; i < count; ++i) (void)!::write(fds[i], &one, sizeof one);
}

void* Main(void*) {
  State& s = S();
  for (;;) {
    std::uint64_t target = 0;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.wanted.wait(lock, [&s] { return s.requested > s.current.generation; });
      // At most one refresh a spacing; whatever is asked for meanwhile is
      // served by this one, which begins after it was asked for.
      for (;;) {
        const long long wait = s.lastStartMs + kIdRefreshSpacingMs - idguard_NowMs();
        if (s.lastStartMs == 0 || wait <= 0) break;
        s.wanted.wait_for(lock, std::chrono::milliseconds(wait));
      }
      target = s.requested;
      s.running = target;
      s.lastStartMs = idguard_NowMs();
    }
    RunOne(s, target);
  }
  return nullptr;
}

}  // namespace

std::uint8_t IdProt_Refresh() {
  config_LoadIdData();
  JsonRpcClient client;
  if (jsonClient_InitSocket(client) == 1) {
    DeviceIdData id = config_SnapshotIdData();
    if (jsonClient_Request(client, id) == 0) StoreApplicationFlags(id);
    jsonClient_Close(client);
    return 1;
  }
  DeviceIdData defaults = config_SnapshotIdData();
  IdProt_SetDefaultSecurity(defaults);
  config_SetSecurityFlags(IdSecurityFlags{defaults.sftpEnabled, defaults.pcommPortFree, defaults.writeBackup,
                                          defaults.forceSsl, defaults.digestAccess, defaults.remoteAuthentication});
  return 0;
}

void idrefresh_Start() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.started) return;
    pthread_t thread{};
    if (::pthread_create(&thread, nullptr, Main, nullptr) != 0) return;  // refreshes then run on the listeners
    ::pthread_detach(thread);
    s.started = true;
  }
}

void idrefresh_Subscribe(int eventFd) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (int i = 0; i < s.subscriberCount; ++i)
    if (s.subscribers[i] == eventFd) return;
  if (s.subscriberCount < kIdListenerCount) s.subscribers[s.subscriberCount++] = eventFd;
}

IdRefreshed idrefresh_Current() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.current;
}

std::uint64_t idrefresh_Need() {
  State& s = S();
  std::uint64_t target = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    // A refresh that is running began before this request: the next one.
    target = (s.running != 0 ? s.running : s.current.generation) + 1;
    if (s.requested < target) s.requested = target;
    if (s.started) {
      s.wanted.notify_one();
      return target;
    }
    s.running = target;
    s.lastStartMs = idguard_NowMs();
  }
  RunOne(s, target);
  return target;
}
