// SHA-256 of what kvplant sends: one digest for a release file read whole
// (HashFile, plant.h) and for the bytes an upload reads as it sends them.
#pragma once

#include <cstddef>
#include <string>

#include "core/handles.h"

namespace kvplant {

class Sha256 {
 public:
  Sha256();
  void Add(const void* data, std::size_t n);
  // Lower-case hex of the digest; empty when a digest call failed (the
  // library's error queue is cleared either way). Ends the digest.
  std::string Hex();

 private:
  kv::MdCtx md_;
  bool ok_ = false;
};

}  // namespace kvplant
