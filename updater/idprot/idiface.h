// The identification protocol's fixed numbers and its interface table: the
// listener indexes (the same numbering as the interface configuration) and
// their names. Shared by the transport (idserver.h) and the answers
// (idrequest.h, idpacket.h), which otherwise know nothing of each other.
#pragma once

#include <array>
#include <cstddef>

inline constexpr int kIdListenerCount = 8;
inline constexpr int kIdPort = 20034;
inline constexpr const char* kIdMulticastGroup = "ff05::5a:5157";
// The largest datagram read and the largest answer sent.
inline constexpr std::size_t kIdBufferSize = 2048;

// Text the JSON document and the network record report when the OS image
// version cannot be read.
inline constexpr const char* kIdUnknownImageVersion = "unknown";

// The update status once the start after an image update has committed the
// new image: action "Image committed" (code 3); or, when the commit failed or
// cannot be known, action "Image not committed" (code 3) with error number
// 202 and the reason. A client that followed the update through the restart
// learns from it whether the new image stays.
inline constexpr const char* kIdImageCommittedAction = "Image committed";
inline constexpr const char* kIdImageNotCommittedAction = "Image not committed";
inline constexpr int kIdImageCommitErrorNumber = 202;

// Interface indexes of the listener table.
inline constexpr int kIdIndexEth0 = 0;
inline constexpr int kIdIndexEth1 = 1;
inline constexpr int kIdIndexWlan0 = 2;
inline constexpr int kIdIndexBnep0 = 3;  // never gets a listener
inline constexpr int kIdIndexWwan0 = 4;
inline constexpr int kIdIndexEth2 = 5;
inline constexpr int kIdIndexEth0Vlan1 = 6;
inline constexpr int kIdIndexEth2Vlan1 = 7;

// The interface name of a listener index ("eth0", "eth1", "wlan0", "bnep0",
// "wwan0", "eth2", "eth0.vlan1", "eth2.vlan1"); the empty text above 7.
inline const char* IdProt_GetInterfaceName(int index) {
  constexpr std::array<const char*, kIdListenerCount> kNames = {"eth0",  "eth1", "wlan0",      "bnep0",
                                                                "wwan0", "eth2", "eth0.vlan1", "eth2.vlan1"};
  if (index < 0 || index >= kIdListenerCount) return "";
  return kNames[static_cast<std::size_t>(index)];
}
