#include "support/capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvtest {

SyslogCapture::SyslogCapture() {
  const char* marker = std::getenv("KV_PRIVATE_DEV");
  if (marker == nullptr || std::strcmp(marker, "1") != 0) return;
  ::unlink("/dev/log");
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

SyslogCapture::~SyslogCapture() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink("/dev/log");
  }
}

std::vector<SyslogLine> SyslogCapture::Drain() {
  std::vector<SyslogLine> lines;
  if (fd_ < 0) return lines;
  std::vector<char> buf(1 << 16);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) break;
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    std::string d(buf.data(), static_cast<std::size_t>(n));
    SyslogLine line;
    // "<PRI>Mmm dd hh:mm:ss ident: text"
    const auto close = d.find('>');
    if (d.empty() || d[0] != '<' || close == std::string::npos) continue;
    const int pri = std::atoi(d.substr(1, close - 1).c_str());
    line.priority = pri & 7;
    line.facility = pri >> 3;
    std::string rest = d.substr(close + 1);
    if (rest.size() > 16) rest = rest.substr(16);  // the time stamp and its blank
    const auto colon = rest.find(": ");
    if (colon != std::string::npos) {
      line.ident = rest.substr(0, colon);
      line.text = rest.substr(colon + 2);
    } else {
      line.text = rest;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char name[] = "/tmp/kvtest-stdout.XXXXXX";
  file_ = ::mkstemp(name);
  ::unlink(name);
  saved_ = ::dup(1);
  ::dup2(file_, 1);
}

StdoutCapture::~StdoutCapture() { (void)Stop(); }

std::string StdoutCapture::Stop() {
  if (saved_ < 0) return {};
  std::fflush(stdout);
  ::dup2(saved_, 1);
  ::close(saved_);
  saved_ = -1;
  std::string out;
  ::lseek(file_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(file_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(file_);
  file_ = -1;
  return out;
}

TempDir::TempDir() {
  char name[] = "/tmp/kvtest.XXXXXX";
  const char* made = ::mkdtemp(name);
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace kvtest
