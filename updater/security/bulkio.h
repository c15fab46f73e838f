// Sequential reading and writing of large files with read(2) and write(2)
// straight from one page-aligned buffer, without stdio buffers in between:
// the decryption and the signature check stream packages of hundreds of MiB
// through these, and every extra copy of the data costs as much as a good
// part of the cipher itself.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "core/handles.h"

// Chunk of the streaming loops: large enough that the cost of each system
// call and library call vanishes beside the data, no larger than the
// second-level cache of the smallest controller (128 KiB), so that the chunk
// is still in the cache for the cipher or digest and the write after the read
// that fills it.
inline constexpr std::size_t kBulkChunkSize = 128 * 1024;

// A page-aligned buffer of size bytes (size a multiple of the page size), or
// an empty one when memory is short.
[[nodiscard]] kv::CMemory<unsigned char> bulkio_AllocChunk(std::size_t size);

// Tells the kernel that fd is read once, from offset to its end, so that it
// reads ahead further. Only a hint: a descriptor that cannot take it (a pipe)
// is read all the same.
void bulkio_AdviseSequential(int fd, off_t offset);

struct BulkRead {
  std::size_t got = 0;  // bytes placed in the buffer
  bool failed = false;  // a read error ended the chunk early
};

// Fills buf with up to n bytes from fd, reading again after short reads and
// interruptions until n bytes, the end of the file or an error. A chunk
// shorter than n therefore means the end of the file, or failed.
[[nodiscard]] BulkRead bulkio_ReadFull(int fd, unsigned char* buf, std::size_t n);

// Writes all n bytes of data to fd, writing again after short writes and
// interruptions. False when the descriptor refuses them (disk full, I/O error).
[[nodiscard]] bool bulkio_WriteAll(int fd, const unsigned char* data, std::size_t n);
