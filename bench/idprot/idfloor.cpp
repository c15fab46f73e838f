// Helper of the identification benchmark (idbench.py), run inside the
// daemon's network namespace:
//
//   idfloor echo ADDRESS PORT      a trivial UDP echo, for the network floor
//   idfloor steps ROOT N [app]     times N runs of each step an identification
//                                  answer cannot avoid, with the daemon's own
//                                  functions: reading the image version,
//                                  reading the sftp status, and the connection
//                                  attempt to the application (with "app": the
//                                  whole exchange with the stand-in)
//
// "steps" prints one JSON object of sample lists in milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/paths.h"
#include "idprot/idpacket.h"
#include "idprot/jsonclient.h"

namespace {

double NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int Echo(const char* address, int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || ::inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("idfloor echo");
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);
  char buf[4096];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n >= 0) (void)::sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

void Print(const char* name, const std::vector<double>& samples, bool last) {
  std::printf("\"%s\":[", name);
  for (std::size_t i = 0; i < samples.size(); ++i) std::printf("%s%.4f", i ? "," : "", samples[i]);
  std::printf("]%s", last ? "" : ",");
}

int Steps(const char* root, int n, bool app) {
  paths_SetRoot(root);
  std::vector<double> image, sftp, connect;
  for (int i = 0; i < n; ++i) {
    double t = NowMs();
    (void)config_GetImageRev();
    image.push_back(NowMs() - t);
    t = NowMs();
    (void)IdProt_GetSftpStatus();
    sftp.push_back(NowMs() - t);
    t = NowMs();
    JsonRpcClient client;
    if (jsonClient_InitSocket(client) == 1) {
      if (app) {
        DeviceIdData id{};
        (void)jsonClient_Request(client, id);
      }
      jsonClient_Close(client);
    }
    connect.push_back(NowMs() - t);
  }
  std::printf("{");
  Print("image", image, false);
  Print("sftp", sftp, false);
  Print("connect", connect, true);
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "echo") == 0) return Echo(argv[2], std::atoi(argv[3]));
  if (argc >= 4 && std::strcmp(argv[1], "steps") == 0)
    return Steps(argv[2], std::atoi(argv[3]), argc >= 5 && std::strcmp(argv[4], "app") == 0);
  std::fputs("usage: idfloor echo ADDRESS PORT | idfloor steps ROOT N [app]\n", stderr);
  return 2;
}
