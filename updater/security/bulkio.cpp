#include "security/bulkio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr std::size_t kPageSize = 4096;

}  // namespace

kv::CMemory<unsigned char> bulkio_AllocChunk(std::size_t size) {
  return kv::CMemory<unsigned char>(static_cast<unsigned char*>(std::aligned_alloc(kPageSize, size)));
}

void bulkio_AdviseSequential(int fd, off_t offset) {
  (void)::posix_fadvise(fd, offset, 0, POSIX_FADV_SEQUENTIAL);  // a hint; refusals change nothing
}

BulkRead bulkio_ReadFull(int fd, unsigned char* buf, std::size_t n) {
  BulkRead r;
  while (r.got < n) {
    const ssize_t got = ::read(fd, buf + r.got, n - r.got);
    if (got > 0) {
      r.got += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      r.failed = true;
      break;
    }
  }
  return r;
}

bool bulkio_WriteAll(int fd, const unsigned char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(fd, data + done, n - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno != EINTR) {
      return false;
    } else if (put == 0) {
      return false;  // nothing taken and no error: do not spin
    }
  }
  return true;
}
