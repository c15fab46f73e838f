// The page of kvplant serve, carried inside the program (web/, written into
// a generated source at build time by embed.cmake).
#pragma once

#include <cstddef>

namespace kvplant {

struct WebFile {
  const char* path;  // "/index.html"
  const unsigned char* data;
  std::size_t size;
};
extern const WebFile kWebFiles[];
extern const std::size_t kWebFileCount;

}  // namespace kvplant
