// Feeds arbitrary datagrams to the identification request dispatcher and
// checks every answer: "CLOSED", an "IDRSP" document, a network record of
// the documented shape, or a status document, each inside the datagram
// limit; a datagram that is itself an answer gets none. The same datagram
// then passes a listener's guard, from a sender port the input chooses:
// answers and service ports are always dropped, an extended request gets
// at most its cookie answer (shorter than itself), and a plain source gets
// no more answer bytes at one instant than its burst. The device files come
// from a sandbox root.
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
#include "idprot/idiface.h"
#include "idprot/idrequest.h"

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

bool gReady = false;

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
  gReady = true;
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
  if (!gReady) return 0;
  // The listener's receive: cut to the buffer, terminated behind the text.
  const std::size_t n = size < kIdBufferSize ? size : kIdBufferSize;
  char request[kIdBufferSize + 1] = {};
  std::memcpy(request, data, n);
  const IdRequestKind kind = IdProt_ClassifyRequest(request, n);
  const bool isAnswer = IdProt_IsAnswer(request, n);
  char out[kIdBufferSize + 1];
  const int got = IdProt_Dispatch(request, n, static_cast<int>(size % kIdListenerCount), 0, out, sizeof out);
  if (isAnswer) {
    Check(got == 0);
  } else {
    Check(got > 0);
    CheckAnswer(std::string(out, static_cast<std::size_t>(got)), kind);
  }

  // The guard, at one instant, from a sender port the input chooses.
  IdDatagram d;
  d.sender.sin6_family = AF_INET6;
  d.sender.sin6_addr = in6addr_loopback;
  d.sender.sin6_port = htons(size > 1 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 40000);
  d.data = request;
  d.length = n;
  d.kind = kind;
  d.extension = IdProt_ParseExtension(request, n, kind);
  d.toGroup = size > 2 && (data[2] & 1) != 0;
  IdGuard guard;
  const bool silent = isAnswer || idguard_SilentPort(ntohs(d.sender.sin6_port));
  double bytes = 0;
  for (int i = 0; i < 64; ++i) {
    const IdGuardVerdict v = idguard_Check(guard, d, 1000);
    Check((v == kIdDropAnswer) == silent);
    if (v == kIdAnswerCookie) Check(d.extension.present && kIdCookieAnswerSize < n);
    if (v == kIdAnswerFull) {
      Check(!d.extension.present);
      const double answer = static_cast<double>(idguard_ExpectedAnswerBytes(kind));
      if (answer > static_cast<double>(n)) bytes += answer;
    }
  }
  Check(bytes <= kIdRateUnverifiedSource.burst);
  return 0;
}
