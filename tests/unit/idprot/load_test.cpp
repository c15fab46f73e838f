// Listeners on several interfaces under load: requests of every kind arrive
// on all of them at once, at the rate the listeners allow, while the main
// thread rewrites the progress record and reloads the identity. Every request
// must be answered, status documents must carry distinct sequence numbers and
// consistent text, and (in a ThreadSanitizer build) nothing may race.
//
// The listeners run in a network namespace of the test's own; the senders run
// in threads of a second namespace that holds the far ends of the veth links,
// so requests cross the links as they would from another machine. The run
// time comes from KV_IDPROT_LOAD_SECONDS (default 3).
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/identity.h"
#include "core/paths.h"
#include "idprot/idserver.h"
#include "idprot/progress.h"
#include "support/capture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Link {
  const char* name;
  const char* peer;
  const char* mine;
  const char* theirs;
};
constexpr Link kLinks[] = {
    {"eth0", "peth0", "10.91.0.2", "10.91.0.10"},
    {"eth1", "peth1", "10.92.0.2", "10.92.0.10"},
    {"eth2", "peth2", "10.93.0.2", "10.93.0.10"},
    {"eth0.vlan1", "pvlan1", "10.94.0.2", "10.94.0.10"},
};

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A thread in a network namespace of its own; runs jobs there one at a time.
// Threads a job starts belong to that namespace too.
class PeerNamespace {
 public:
  bool Start() {
    thread_ = std::thread([this] { Main(); });
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return tid_ != 0; });
    return tid_ > 0;
  }
  pid_t tid() const { return tid_; }
  void Run(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = std::move(job);
    done_ = false;
    cond_.notify_all();
    cond_.wait(lock, [this] { return done_; });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      cond_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Main() {
    const bool ok = ::unshare(CLONE_NEWNET) == 0 && Sh("ip link set lo up");
    std::unique_lock<std::mutex> lock(mutex_);
    tid_ = ok ? static_cast<pid_t>(::syscall(SYS_gettid)) : -1;
    cond_.notify_all();
    for (;;) {
      cond_.wait(lock, [this] { return quit_ || job_; });
      if (quit_) return;
      auto job = std::move(job_);
      job_ = nullptr;
      lock.unlock();
      job();
      lock.lock();
      done_ = true;
      cond_.notify_all();
    }
  }
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::function<void()> job_;
  bool done_ = false;
  bool quit_ = false;
  pid_t tid_ = 0;
};

// The application's JSON-RPC service on 127.0.0.1:4006, answering every
// request with the same settings.
class AppStandIn {
 public:
  bool Start() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(4006);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  int served() const { return served_.load(); }

 private:
  void Serve() {
    const std::string body =
        "{\"jsonrpc\":\"2.0\",\"result\":[{\"Path\":\"x.TcpIpSetupId_cfgOnlySSL:vBool\",\"Value\":true},"
        "{\"Path\":\"x.SecurityId_cfgRemoteService:vU8int2\",\"Value\":1}],\"id\":13}\n";
    const std::string reply = "{\"length\":" + std::to_string(body.size()) + "}\n" + body;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string request;
      char buf[4096];
      // Header line, then the body it announces.
      for (;;) {
        pollfd q{c, POLLIN, 0};
        if (::poll(&q, 1, 2000) != 1) break;
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
        const std::size_t nl = request.find('\n');
        if (nl == std::string::npos) continue;
        const std::size_t at = request.find("\"length\":");
        if (at != std::string::npos && request.size() >= nl + 1 + std::stoul(request.substr(at + 9))) break;
      }
      (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(c);
      ++served_;
    }
  }
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
};

// One UDP exchange from a peer interface; the answer or empty after timeoutMs.
std::string Exchange(int fd, const Link& link, const std::string& request, int timeoutMs) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kIdPort);
  ::inet_pton(AF_INET, link.mine, &to.sin_addr);
  if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return {};
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return {};
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

int PeerSocket(const Link& link) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, link.peer, static_cast<socklen_t>(std::strlen(link.peer)));
  return fd;
}

struct SenderResult {
  int sent = 0;
  int unanswered = 0;
  int wrong = 0;
  std::vector<int> sequence;
  std::string firstProblem;
};

void Note(SenderResult& r, const std::string& what) {
  ++r.wrong;
  if (r.firstProblem.empty()) r.firstProblem = what;
}

void CheckStatus(SenderResult& r, const std::string& answer) {
  cJSON* doc = cJSON_Parse(answer.c_str());
  if (doc == nullptr) return Note(r, "status not JSON: " + answer);
  const cJSON* seq = cJSON_GetObjectItem(doc, "msgSeqNumber");
  const cJSON* code = cJSON_GetObjectItem(doc, "currentActionCode");
  const cJSON* action = cJSON_GetObjectItem(doc, "currentActionDescription");
  const cJSON* number = cJSON_GetObjectItem(doc, "currentErrorNumber");
  const cJSON* error = cJSON_GetObjectItem(doc, "currentErrorDescription");
  if (!cJSON_IsNumber(seq) || !cJSON_IsNumber(code) || !cJSON_IsString(action) || !cJSON_IsNumber(number) ||
      !cJSON_IsString(error)) {
    Note(r, "status members: " + answer);
  } else {
    r.sequence.push_back(seq->valueint);
    // The writer sets description and code together: a document must never
    // show the text of one write with the code of another.
    const bool idle = code->valueint == 0 && std::strcmp(action->valuestring, "Idle") == 0;
    if (!idle && std::string(action->valuestring) != "step " + std::to_string(code->valueint))
      Note(r, "torn action: " + answer);
    const bool none = number->valueint == 0 && std::strcmp(error->valuestring, "No Error") == 0;
    if (!none && std::string(error->valuestring) != "error " + std::to_string(number->valueint))
      Note(r, "torn error: " + answer);
  }
  cJSON_Delete(doc);
}

// The request's fixed part with the extension that carries cookie.
std::string Extended(const std::string& request, const std::string& cookie) {
  return request + "KVX1" + cookie + std::string("nonce-01", 8);
}

// The sender's cookie, asked for with an extended status request.
std::string FetchCookie(int fd, const Link& link) {
  for (int i = 0; i < 10; ++i) {
    const std::string answer =
        Exchange(fd, link, Extended(std::string("IDUPDATESTATUS\0", 15), std::string(16, '\0')), 500);
    if (answer.size() == 29 && answer.compare(0, 5, "IDCKE") == 0) return answer.substr(5, 16);
  }
  return {};
}

// Every sender proves its address and keeps within its address's budget
// (20 answers a second): then every request is answered.
void Send(const Link& link, Clock::time_point until, SenderResult& r) {
  const int fd = PeerSocket(link);
  const std::string cookie = FetchCookie(fd, link);
  if (cookie.empty()) Note(r, "no cookie");
  const std::string requests[] = {std::string("IDREQ\0", 6), std::string("IDUPDATESTATUS\0", 15),
                                  std::string("BURNR\0", 6), std::string("IDUPDATESTATUS\0", 15)};
  const Clock::time_point start = Clock::now();
  // Identification and network answers wait for a refresh of the identity,
  // at most one a second: a sender asks at least three rounds, however long
  // they take on a busy machine.
  for (std::size_t i = 0; (i < 3 * std::size(requests) || Clock::now() < until) && !cookie.empty(); ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(70 * i));
    const std::string& request = requests[i % std::size(requests)];
    ++r.sent;
    const std::string answer = Exchange(fd, link, Extended(request, cookie), 5000);
    if (answer.empty()) {
      ++r.unanswered;
      continue;
    }
    switch (i % std::size(requests)) {
      case 0:
        if (answer.compare(0, 5, "IDRSP") != 0 || answer.find("\"app_running\":true") == std::string::npos ||
            answer.find(std::string("\"interface_name\":\"") +
                        (std::strcmp(link.name, "eth0.vlan1") == 0 ? "eth0.vlan1" : "")) == std::string::npos ||
            answer.find("\"nonce\":\"6e6f6e63652d3031\"}") == std::string::npos)
          Note(r, "identification: " + answer.substr(0, 200));
        break;
      case 2:
        if (answer.compare(0, 5, "NETBR") != 0) Note(r, "network: " + answer.substr(0, 20));
        break;
      default: CheckStatus(r, answer);
    }
  }
  ::close(fd);
}

class IdProtLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::unshare(CLONE_NEWNET) != 0 || !Sh("ip link set lo up")) return;
    root_ = new kvtest::TempDir;
    const std::string r = root_->path();
    for (const char* d :
         {"/etc", "/etc/ssh", "/etc/systemd", "/etc/systemd/network", "/sbin", "/opt", "/opt/kv2", "/opt/kv2/etc"})
      ::mkdir((r + d).c_str(), 0755);
    kvtest::WriteFile(r + "/image_info", "image_machine=kv2t-imx6dl\nimage_version=kv-image-9.9\n");
    kvtest::WriteFile(r + "/opt/kv2/etc/appname.config",
                      "[appconfig]\nplatformname = KV2_TOUCH\nswrevision = Rev: 1\n");
    kvtest::WriteFile(r + "/opt/kv2/etc/netinterfaces.config",
                      "[netif0]\ndescription = one\naddressv4 = 10.91.0.2\n\n[netif1]\ndescription = two\n");
    kvtest::WriteFile(r + "/etc/ssh/sshd_config", "Subsystem sftp internal-sftp\n");
    kvtest::WriteFile(r + "/etc/resolv.conf", "nameserver 10.91.0.1\n");
    kvtest::WriteFile(r + "/etc/systemd/network/eth1.network", "[Network]\nDHCP=yes\n");
    for (const char* name : {"eth0", "eth2", "eth0.vlan1"})
      kvtest::WriteFile(r + "/etc/systemd/network/" + name + ".network", "[Network]\nAddress=10.9.0.1/24\n");
    if (::symlink("/usr/sbin/route", (r + "/sbin/route").c_str()) != 0) return;
    paths_SetRoot(r);
    config_SetIdDefaults();
    config_LoadIdData();
    progress_Init();

    peer_ = new PeerNamespace;
    if (!peer_->Start()) return;
    for (const Link& l : kLinks) {
      if (!Sh(std::string("ip link add ") + l.name + " type veth peer name " + l.peer) ||
          !Sh(std::string("ip addr add ") + l.mine + "/24 dev " + l.name) ||
          !Sh(std::string("ip link set ") + l.name + " up") ||
          !Sh(std::string("ip link set ") + l.peer + " netns " + std::to_string(peer_->tid())))
        return;
    }
    bool peerReady = true;
    peer_->Run([&peerReady] {
      for (const Link& l : kLinks) {
        peerReady = peerReady && Sh(std::string("ip addr add ") + l.theirs + "/24 dev " + l.peer) &&
                    Sh(std::string("ip link set ") + l.peer + " up");
      }
    });
    if (!peerReady) return;
    IdProt_Init();
    IdProt_StartUpListeningServers();
    // Wait until every listener answers.
    bool answered = true;
    peer_->Run([&answered] {
      for (const Link& l : kLinks) {
        const int fd = PeerSocket(l);
        bool got = false;
        for (int i = 0; i < 50 && !got; ++i) got = Exchange(fd, l, "ping", 100) == "CLOSED";
        ::close(fd);
        answered = answered && got;
      }
    });
    ready_ = answered;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "needs root to create network namespaces with veth interfaces";
  }
  static bool ready_;
  static kvtest::TempDir* root_;
  static PeerNamespace* peer_;
};
bool IdProtLoad::ready_ = false;
kvtest::TempDir* IdProtLoad::root_ = nullptr;
PeerNamespace* IdProtLoad::peer_ = nullptr;

TEST_F(IdProtLoad, EveryRequestAnsweredOnAllInterfacesAtOnce) {
  const char* env = std::getenv("KV_IDPROT_LOAD_SECONDS");
  const int seconds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 3;
  AppStandIn app;
  ASSERT_TRUE(app.Start());
  progress_Init();
  const int seqBefore = progress_Snapshot().msgSeqNumber;

  const auto until = Clock::now() + std::chrono::seconds(seconds);
  std::vector<SenderResult> results(std::size(kLinks));
  std::atomic<bool> sendersDone{false};
  std::thread driver([&] {
    peer_->Run([&] {
      std::vector<std::thread> senders;
      for (std::size_t i = 0; i < std::size(kLinks); ++i)
        senders.emplace_back([&, i] { Send(kLinks[i], until, results[i]); });
      for (auto& s : senders) s.join();
    });
    sendersDone = true;
  });
  // Meanwhile the main thread works as the loop does: progress and identity.
  for (int n = 1; !sendersDone; ++n) {
    progress_SetAction(("step " + std::to_string(n)).c_str(), n);
    progress_SetError(("error " + std::to_string(n)).c_str(), n);
    progress_SetComponent("IMAGE.CRY", n % 101);
    progress_SetTotalProgress(n % 101);
    if (n % 50 == 0) progress_SetStartTime();
    if (n % 20 == 0) config_LoadIdData();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  driver.join();
  app.Stop();

  std::vector<int> all;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const SenderResult& r = results[i];
    std::printf("%s: %d requests in %d s\n", kLinks[i].name, r.sent, seconds);
    EXPECT_GT(r.sent, 5) << kLinks[i].name;
    EXPECT_EQ(r.unanswered, 0) << kLinks[i].name << " of " << r.sent;
    EXPECT_EQ(r.wrong, 0) << kLinks[i].name << ": " << r.firstProblem;
    all.insert(all.end(), r.sequence.begin(), r.sequence.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a sequence number was given twice";
  // The only status documents are those of this test: one unbroken count.
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front(), seqBefore);
  EXPECT_EQ(all.back(), seqBefore + static_cast<int>(all.size()) - 1);
  EXPECT_GT(app.served(), 0);
}

}  // namespace
