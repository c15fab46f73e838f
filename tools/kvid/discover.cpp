// Discovery: asks every controller on a segment (the identification group
// by IPv6 multicast, the IPv4 broadcast addresses) and at given addresses,
// and keeps one sane answer per controller interface.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "idprot/idiface.h"
#include "kvid/kvid.h"

namespace kvid {

namespace {

// One answering address of a discovery.
struct Probe {
  Peer peer;
  Nonce nonce{};          // of our unicast request to it (after its cookie answer)
  int resends = 0;        // unicast requests sent to it
  bool done = false;      // its answer was taken
  bool reported = false;  // a malformed answer of it was noted
};

// An answering address: its bytes and, for a link-local one, the interface
// it answered on (the same link-local address may answer on two links).
using AddressKey = std::pair<std::array<std::uint8_t, 16>, std::uint32_t>;

AddressKey KeyOf(const sockaddr_in6& a) {
  AddressKey k{};
  std::memcpy(k.first.data(), a.sin6_addr.s6_addr, k.first.size());
  if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr)) k.second = a.sin6_scope_id;
  return k;
}

// The address text a connection can use again: a link-local one names its
// interface.
std::string ScopedText(const sockaddr_in6& a) {
  std::string text = AddressText(a);
  char name[IF_NAMESIZE] = "";
  if (IN6_IS_ADDR_LINKLOCAL(&a.sin6_addr) && a.sin6_scope_id != 0 && ::if_indextoname(a.sin6_scope_id, name) != nullptr)
    text += std::string("%") + name;
  return text;
}

struct GroupTarget {
  Target target;
  unsigned interfaceIndex = 0;  // the interface a multicast request leaves by (0: not a group)
};

}  // namespace

kv::Result<Discovery> Discover(const DiscoverRequest& request, const std::function<void(const Discovered&)>& onFound,
                               const std::function<void(const std::string&)>& onNote) {
  std::vector<GroupTarget> targets;  // groups first, then the addresses asked
  bool broadcast = false;
  for (std::size_t i = 0; i < request.interfaces.size(); ++i) {
    const unsigned index = request.interfaces[i];
    const std::string name = i < request.interfaceNames.size() ? request.interfaceNames[i] : std::to_string(index);
    if (request.family != AF_INET) {
      auto group = MakeTarget(kIdMulticastGroup, index, request.port);
      if (group) targets.push_back({std::move(group).value(), index});
    }
    bool hasBroadcast = false;
    if (request.family != AF_INET6) {
      // Controllers answer IPv4 requests on the same socket, a broadcast one
      // like a multicast one (after a random delay, within a group budget).
      for (Target& t : BroadcastTargets(index, request.port)) {
        targets.push_back({std::move(t), 0});
        broadcast = hasBroadcast = true;
      }
    }
    if (request.family != AF_INET6 && !hasBroadcast) Note("interface " + name + " has no IPv4 broadcast address");
  }
  for (const std::string& a : request.addresses) {
    auto resolved =
        ResolveTargets(a, request.interfaces.size() == 1 ? request.interfaces[0] : 0, request.port, request.family);
    if (!resolved) return resolved.error();
    for (Target& t : resolved.value()) {
      if (t.text != a) Note(a + " is " + t.text);
      targets.push_back({std::move(t), 0});
    }
  }
  if (targets.empty()) {
    if (request.interfaces.size() == 1)
      return kv::Error(0, "interface " +
                              (request.interfaceNames.empty() ? std::string("?") : request.interfaceNames[0]) +
                              " has no IPv4 broadcast address to ask");
    if (!request.interfaces.empty()) return kv::Error(0, "no interface has an IPv4 broadcast address to ask");
    return kv::Error(0, "give an interface (-i) or an address (-a) to ask");
  }
  auto opened = OpenSocket(request.interfaces.size() == 1 ? request.interfaces[0] : 0, true, broadcast);
  if (!opened) return opened.error();
  const kv::Fd fd = std::move(opened).value();
  const std::uint16_t port = targets.front().target.address.sin6_port;

  // A group request leaves by its own interface (the socket has one
  // multicast interface at a time).
  auto sendTo = [&fd](const GroupTarget& t, std::string_view data) {
    if (t.interfaceIndex != 0)
      (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &t.interfaceIndex, sizeof t.interfaceIndex);
    Send(fd, t.target.address, data);
  };

  // The first request carries a zero cookie: every controller that speaks the
  // extension answers with its cookie, an old one with its document.
  const Nonce first = NewNonce();
  for (const GroupTarget& t : targets) {
    Note("asking " + t.target.text);
    sendTo(t, ExtendedRequest(kIdentityRequest, {}, first));
  }

  Discovery out;
  std::map<AddressKey, Probe> asked;
  // A controller's interface answers a discovery once per family it was asked
  // by; the interfaces found so far, by MAC address, tell a second answer of
  // the same interface (see SameInterface).
  std::multimap<std::string, std::size_t> byMac;
  const auto note = [&](std::string text) {
    if (onNote) onNote(text);
    out.notes.push_back(std::move(text));
  };
  const long long deadline = NowMs() + request.timeoutMs;
  // A datagram may be lost (a full queue on a crowded segment, a cookie
  // budget spent by a flood): the first request goes out once more, to the
  // groups and to every address asked that has not answered, a third of the
  // way through the wait. Controllers that answered the first pass the
  // second answer over here.
  long long resendAt = NowMs() + request.timeoutMs / 3;
  Datagram d;
  for (;;) {
    if (!Receive(fd, resendAt != 0 && resendAt < deadline ? resendAt : deadline, d)) {
      if (resendAt == 0 || NowMs() >= deadline) break;
      resendAt = 0;
      for (const GroupTarget& t : targets) {
        const auto at = asked.find(KeyOf(t.target.address));
        if (at == asked.end() || !at->second.done) sendTo(t, ExtendedRequest(kIdentityRequest, {}, first));
      }
      continue;
    }
    if (d.from.sin6_port != port) continue;
    const AddressKey key = KeyOf(d.from);
    auto it = asked.find(key);
    if (it == asked.end()) {
      if (asked.size() >= kMaxControllers) {
        if (!out.full) note(std::to_string(asked.size()) + " controllers answered; further ones are passed over");
        out.full = true;
        continue;
      }
      it = asked.emplace(key, Probe{}).first;
    }
    Probe& f = it->second;
    if (f.done) continue;  // asked by a group and directly, or a duplicate
    const std::string from = AddressText(d.from);
    auto report = [&](const std::string& reason) {
      if (!f.reported) note("malformed answer from " + from + ": " + reason);
      f.reported = true;
      ++out.malformed;
    };
    if (d.size > kMaxAnswerBytes) {
      report("answer of " + std::to_string(d.size) + " bytes, longer than " + std::to_string(kMaxAnswerBytes));
      continue;
    }
    if (const auto cookie = DecodeCookieAnswer(d.data)) {
      // The first request's nonce before we asked it directly, its own after.
      const bool fresh = f.resends == 0 ? cookie->nonce == first : cookie->nonce == f.nonce;
      if (!fresh || f.resends >= 2) {
        Note("passed over a cookie answer from " + from);
        continue;
      }
      f.peer.cookie = cookie->cookie;
      f.peer.extended = true;
      f.nonce = NewNonce();
      ++f.resends;
      sockaddr_in6 to = d.from;
      to.sin6_port = port;
      Note("cookie answer from " + from + ", asking again with it");
      Send(fd, to, ExtendedRequest(kIdentityRequest, f.peer.cookie, f.nonce));
      continue;
    }
    auto id = DecodeIdentity(d.data);
    if (!id) {
      report(id.error().message());
      continue;
    }
    // A document with a nonce answers our direct request with its cookie;
    // one without can only come from a controller that never sent a cookie.
    if ((f.resends == 0 && id.value().nonce) || JudgeNonce(id.value().nonce, f.nonce, f.peer) == Freshness::kStale) {
      Note("passed over an answer from " + from + ": not fresh");
      continue;
    }
    f.done = true;
    const auto same = byMac.equal_range(id.value().mac);
    const auto seen = std::find_if(same.first, same.second, [&](const auto& p) {
      const Discovered& c = out.controllers[p.second];
      return SameInterface(c.from, c.id, from, id.value());
    });
    if (seen != same.second) {
      Discovered& c = out.controllers[seen->second];
      Note("the answer from " + from + " is the one from " + c.from + " again (same interface)");
      c.addresses.push_back(ScopedText(d.from));
      continue;
    }
    Discovered found{from, std::move(id).value(), {ScopedText(d.from)}};
    if (onFound) onFound(found);
    byMac.emplace(found.id.mac, out.controllers.size());
    out.controllers.push_back(std::move(found));
  }
  return out;
}

}  // namespace kvid
