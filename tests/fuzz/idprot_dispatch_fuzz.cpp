// Feeds arbitrary datagrams to the identification request dispatcher, as a
// listener would after a receive, and checks every answer: "CLOSED", an
// "IDRSP" document, a network record of the documented shape, or a status
// document, each inside the datagram limit; a datagram that is itself an
// answer gets none. The same datagram then passes a listener's guard, from
// a sender port the input chooses: answers and the protocol's own port are
// always dropped, and no bucket admits more than its burst at one instant. The answers go to a loopback
// socket of the fuzzer's own; the device files come from a sandbox root.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/bounded.h"
#include "core/paths.h"
#include "idprot/idguard.h"
#include "idprot/idrequest.h"
#include "idprot/idserver.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Write(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::fputs(text, f);
  std::fclose(f);
}

int gAnswers = -1;  // where the answers arrive
IdListener* gListener = nullptr;

void SetUp() {
  static char root[] = "/tmp/kvidfuzz.XXXXXX";
  if (::mkdtemp(root) == nullptr) return;
  const std::string r = root;
  for (const char* d : {"/etc", "/etc/ssh", "/etc/systemd", "/etc/systemd/network", "/opt", "/opt/kv2", "/opt/kv2/etc"})
    ::mkdir((r + d).c_str(), 0755);
  Write(r + "/image_info", "image_machine=kv2t\nimage_version=fuzz-1\n");
  Write(r + "/opt/kv2/etc/appname.config", "[appconfig]\nplatformname = KV2_TOUCH\n");
  Write(r + "/opt/kv2/etc/netinterfaces.config", "[netif0]\ndescription = fuzz\n");
  Write(r + "/etc/ssh/sshd_config", "Subsystem sftp internal-sftp\n");
  Write(r + "/etc/resolv.conf", "nameserver 10.0.0.1\n");
  paths_SetRoot(r);

  gListener = new IdListener;
  gListener->socket = kv::Fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  gAnswers = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  if (::bind(gAnswers, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(gAnswers, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return;
  const int big = 1 << 20;
  ::setsockopt(gAnswers, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  gListener->senderAddress = a;
}

void CheckAnswer(const std::string& answer, IdRequestKind kind) {
  Check(answer.size() <= kIdBufferSize);
  switch (kind) {
    case kIdRequestUnknown: Check(answer == "CLOSED"); break;
    case kIdRequestIdentification: {
      Check(answer.compare(0, 5, "IDRSP") == 0);
      cJSON* doc = cJSON_ParseWithLength(answer.data() + 5, answer.size() - 5);
      Check(cJSON_IsObject(doc));
      cJSON_Delete(doc);
      break;
    }
    case kIdRequestNetwork:
      Check(answer.size() >= 155 && answer.compare(0, 5, "NETBR") == 0);
      Check(answer.compare(5, 4, std::string("\0\0\0\x94", 4)) == 0);
      Check(answer.back() == '\0');
      break;
    case kIdRequestStatus: {
      cJSON* doc = cJSON_ParseWithLength(answer.data(), answer.size());
      Check(cJSON_IsObject(doc) && cJSON_GetObjectItem(doc, "msgSeqNumber") != nullptr);
      cJSON_Delete(doc);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gListener == nullptr || gAnswers < 0) return 0;
  IdListener& l = *gListener;
  // The listener's receive: cut to the buffer, terminated behind the text.
  const std::size_t n = size < kIdBufferSize ? size : kIdBufferSize;
  std::memset(l.rxBuffer, 0, 100);
  std::memcpy(l.rxBuffer, data, n);
  l.rxBuffer[n] = '\0';
  l.requestLength = static_cast<unsigned>(n);
  l.interfaceIndex = static_cast<int>(size % kIdListenerCount);
  kv::CopyBounded(l.interfaceName, IdProt_GetInterfaceName(l.interfaceIndex));
  const IdRequestKind kind = IdProt_ClassifyRequest(l.rxBuffer, n);
  const bool isAnswer = IdProt_IsAnswer(l.rxBuffer, n);
  idserver_ServeOne(l);
  Check(l.appRunning == 0);

  char buf[65536];
  const ssize_t got = ::recv(gAnswers, buf, sizeof buf, 0);
  if (isAnswer) {
    Check(got < 0);
  } else {
    Check(got >= 0);
    CheckAnswer(std::string(buf, static_cast<std::size_t>(got)), kind);
  }
  while (::recv(gAnswers, buf, sizeof buf, 0) >= 0) {
  }

  // The guard, at one instant: the bucket of the kind admits its burst and
  // no more; answers and port 20034 never pass.
  sockaddr_in6 sender = l.senderAddress;
  if (size > 0 && (data[0] & 1) != 0) sender.sin6_port = htons(kIdPort);
  IdGuard guard;
  const double burst = kind == kIdRequestIdentification || kind == kIdRequestNetwork ? kIdRateIdentification.burst
                       : kind == kIdRequestStatus                                    ? kIdRateStatus.burst
                                                                                     : kIdRateOther.burst;
  int admitted = 0;
  for (int i = 0; i < 64; ++i) {
    const IdGuardVerdict v = idguard_Check(guard, sender, l.rxBuffer, n, kind, 1000);
    Check((v == kIdDropAnswer) == (isAnswer || sender.sin6_port == htons(kIdPort)));
    if (v == kIdAdmit) ++admitted;
  }
  Check(admitted == (isAnswer || sender.sin6_port == htons(kIdPort) ? 0 : static_cast<int>(burst)));
  Check(guard.droppedAnswers + guard.droppedOverRate == static_cast<unsigned>(64 - admitted));
  return 0;
}
