/* Helper of the hostile-network benchmark (idhostile.py): sends datagrams
 * with forged source addresses, and counts the answers that reach forged
 * addresses. Built by the benchmark with the system's C compiler; needs
 * CAP_NET_RAW (it runs in namespaces the benchmark made).
 *
 *   idforge send --iface DEV --dst-mac MAC --dst ADDR --src ADDR [--src-bits N]
 *                [--sport P] --rate R --seconds S --payload HEX [--payload HEX]...
 *                [--random-from K]
 *     R datagrams a second for S seconds to ADDR port 20034 (IPv4 or IPv6,
 *     multicast and broadcast too), written whole (IP and UDP headers) to a
 *     packet socket on DEV for the link-layer address MAC. The source is ADDR
 *     with its last N bits random for each datagram (default 0: always ADDR),
 *     its port P or, with 0 (default), a random port from 1024 that no
 *     discovery or cache service uses. Payloads are sent in turn; with
 *     --random-from K every byte from offset K on is random per datagram.
 *     Datagrams go out in batches (sendmmsg) on a schedule, so the rate holds
 *     on a busy machine. Prints one JSON object: sent, payload and wire bytes
 *     (IP and UDP headers counted), the monotonic time of the first and the
 *     last datagram, and the send errors.
 *
 *   idforge count --iface DEV
 *     Counts the UDP datagrams from port 20034 that arrive on DEV, by bucket:
 *     the second byte of an IPv4 destination, the last byte of an IPv6 one.
 *     Each line "dump" on standard input prints the totals so far as one JSON
 *     object {bucket: [datagrams, payload bytes, wire bytes, IDRSP, NETBR,
 *     CLOSED, IDCKE, "{", other]}; it ends at the end of its input.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define PORT 20034
#define BATCH 64
#define FRAME 2200
#define MAX_PAYLOADS 8
#define ETH_IP 0x0800
#define ETH_IPV6 0x86DD
#define ETH_ALL 0x0003

static uint64_t rng_state;

static uint64_t Rand(void) {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Fail(const char* what) {
  fprintf(stderr, "idforge: %s: %s\n", what, strerror(errno));
  return 1;
}

static uint32_t SumBytes(uint32_t sum, const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += (uint32_t)(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += (uint32_t)(p[n - 1] << 8);
  return sum;
}

static uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint16_t)~sum;
}

static int ParseHex(const char* hex, uint8_t* out, size_t room) {
  size_t n = strlen(hex);
  if (n % 2 || n / 2 > room) return -1;
  for (size_t i = 0; i < n / 2; ++i) {
    unsigned v;
    if (sscanf(hex + 2 * i, "%2x", &v) != 1) return -1;
    out[i] = (uint8_t)v;
  }
  return (int)(n / 2);
}

static int ParseMac(const char* text, uint8_t mac[6]) {
  unsigned v[6];
  if (sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return -1;
  for (int i = 0; i < 6; ++i) mac[i] = (uint8_t)v[i];
  return 0;
}

static int PacketSocket(const char* iface, int protocol, int* index) {
  int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons((uint16_t)protocol));
  if (fd < 0) return -1;
  *index = (int)if_nametoindex(iface);
  struct sockaddr_ll sll;
  memset(&sll, 0, sizeof sll);
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons((uint16_t)protocol);
  sll.sll_ifindex = *index;
  if (*index == 0 || bind(fd, (struct sockaddr*)&sll, sizeof sll) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static uint16_t RandomPort(void) {
  for (;;) {
    uint16_t p = (uint16_t)(1024 + Rand() % (65536 - 1024));
    if (p != 1900 && p != 3702 && p != 5353 && p != 5683 && p != 11211 && p != PORT) return p;
  }
}

/* Writes one datagram (IP header, UDP header, payload) into frame; returns
 * its length. */
static size_t Build(uint8_t* frame, int v6, const uint8_t* src, const uint8_t* dst, uint16_t sport,
                    const uint8_t* payload, size_t length) {
  const size_t ip = v6 ? 40 : 20;
  const size_t udp_len = 8 + length;
  uint8_t* u = frame + ip;
  memset(frame, 0, ip + 8);
  if (v6) {
    frame[0] = 0x60;
    frame[4] = (uint8_t)(udp_len >> 8);
    frame[5] = (uint8_t)udp_len;
    frame[6] = 17;
    frame[7] = 64;
    memcpy(frame + 8, src, 16);
    memcpy(frame + 24, dst, 16);
  } else {
    const size_t total = ip + udp_len;
    const uint16_t id = (uint16_t)Rand();
    frame[0] = 0x45;
    frame[2] = (uint8_t)(total >> 8);
    frame[3] = (uint8_t)total;
    frame[4] = (uint8_t)(id >> 8);
    frame[5] = (uint8_t)id;
    frame[6] = 0x40;
    frame[8] = 64;
    frame[9] = 17;
    memcpy(frame + 12, src, 4);
    memcpy(frame + 16, dst, 4);
    const uint16_t c = Fold(SumBytes(0, frame, 20));
    frame[10] = (uint8_t)(c >> 8);
    frame[11] = (uint8_t)c;
  }
  u[0] = (uint8_t)(sport >> 8);
  u[1] = (uint8_t)sport;
  u[2] = PORT >> 8;
  u[3] = PORT & 0xFF;
  u[4] = (uint8_t)(udp_len >> 8);
  u[5] = (uint8_t)udp_len;
  memcpy(u + 8, payload, length);
  /* Pseudo header: addresses, length, protocol. */
  const size_t alen = v6 ? 16 : 4;
  uint32_t sum = SumBytes(0, v6 ? frame + 8 : frame + 12, alen);
  sum = SumBytes(sum, v6 ? frame + 24 : frame + 16, alen);
  sum += (uint32_t)udp_len + 17;
  uint16_t c = Fold(SumBytes(sum, u, udp_len));
  if (c == 0) c = 0xFFFF;
  u[6] = (uint8_t)(c >> 8);
  u[7] = (uint8_t)c;
  return ip + udp_len;
}

static int Send(int argc, char** argv) {
  const char *iface = NULL, *mac_text = NULL, *dst_text = NULL, *src_text = NULL;
  int src_bits = 0, random_from = -1, npayloads = 0;
  long sport = 0;
  double rate = 0, seconds = 0;
  static uint8_t payloads[MAX_PAYLOADS][FRAME];
  int lengths[MAX_PAYLOADS];
  static const struct option options[] = {
      {"iface", 1, 0, 'i'},    {"dst-mac", 1, 0, 'm'},     {"dst", 1, 0, 'd'},  {"src", 1, 0, 's'},
      {"src-bits", 1, 0, 'b'}, {"sport", 1, 0, 'p'},       {"rate", 1, 0, 'r'}, {"seconds", 1, 0, 't'},
      {"payload", 1, 0, 'x'},  {"random-from", 1, 0, 'k'}, {0, 0, 0, 0}};
  for (int c; (c = getopt_long(argc, argv, "", options, NULL)) != -1;) {
    switch (c) {
      case 'i': iface = optarg; break;
      case 'm': mac_text = optarg; break;
      case 'd': dst_text = optarg; break;
      case 's': src_text = optarg; break;
      case 'b': src_bits = atoi(optarg); break;
      case 'p': sport = atol(optarg); break;
      case 'r': rate = atof(optarg); break;
      case 't': seconds = atof(optarg); break;
      case 'k': random_from = atoi(optarg); break;
      case 'x':
        if (npayloads == MAX_PAYLOADS || (lengths[npayloads] = ParseHex(optarg, payloads[npayloads], 2048)) < 0) {
          fprintf(stderr, "idforge: bad or too many payloads\n");
          return 2;
        }
        ++npayloads;
        break;
      default: return 2;
    }
  }
  uint8_t mac[6], src[16], dst[16];
  const int v6 = dst_text && strchr(dst_text, ':') != NULL;
  const int family = v6 ? AF_INET6 : AF_INET;
  if (!iface || !mac_text || ParseMac(mac_text, mac) || !dst_text || inet_pton(family, dst_text, dst) != 1 ||
      !src_text || inet_pton(family, src_text, src) != 1 || rate <= 0 || seconds <= 0 || npayloads == 0 ||
      src_bits < 0 || src_bits > (v6 ? 64 : 24) || sport < 0 || sport > 65535) {
    fprintf(stderr, "idforge send: missing or bad arguments\n");
    return 2;
  }
  int index;
  const int fd = PacketSocket(iface, v6 ? ETH_IPV6 : ETH_IP, &index);
  if (fd < 0) return Fail("packet socket");
  struct sockaddr_ll to;
  memset(&to, 0, sizeof to);
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(v6 ? ETH_IPV6 : ETH_IP);
  to.sll_ifindex = index;
  to.sll_halen = 6;
  memcpy(to.sll_addr, mac, 6);

  static uint8_t frames[BATCH][FRAME];
  struct mmsghdr msgs[BATCH];
  struct iovec iovs[BATCH];
  const size_t alen = v6 ? 16 : 4;
  uint64_t sent = 0, payload_bytes = 0, wire_bytes = 0, errors = 0, next = 0;
  double first = 0, last = 0;
  const double start = Now();
  for (;;) {
    const double now = Now();
    if (now - start >= seconds) break;
    const uint64_t due = (uint64_t)((now - start) * rate) + 1;
    if (due <= next) {
      const double wait = (double)next / rate - (now - start);
      struct timespec ts = {0, (long)(wait > 0.0005 ? 500000 : wait * 1e9)};
      if (ts.tv_nsec > 0) nanosleep(&ts, NULL);
      continue;
    }
    unsigned n = (unsigned)(due - next < BATCH ? due - next : BATCH);
    for (unsigned i = 0; i < n; ++i) {
      const int which = (int)((next + i) % (uint64_t)npayloads);
      uint8_t payload[FRAME], from[16];
      const size_t length = (size_t)lengths[which];
      memcpy(payload, payloads[which], length);
      for (size_t k = random_from < 0 ? length : (size_t)random_from; k < length; ++k) payload[k] = (uint8_t)Rand();
      memcpy(from, src, alen);
      for (int bit = 0; bit < src_bits; ++bit) {
        const size_t byte = alen - 1 - (size_t)bit / 8;
        const uint8_t mask = (uint8_t)(1u << (bit % 8));
        from[byte] = (uint8_t)((from[byte] & ~mask) | (Rand() & 1 ? mask : 0));
      }
      const size_t len = Build(frames[i], v6, from, dst, sport ? (uint16_t)sport : RandomPort(), payload, length);
      iovs[i].iov_base = frames[i];
      iovs[i].iov_len = len;
      memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_name = &to;
      msgs[i].msg_hdr.msg_namelen = sizeof to;
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int done = sendmmsg(fd, msgs, n, 0);
    if (done <= 0) {
      ++errors;
      struct timespec ts = {0, 200000};
      nanosleep(&ts, NULL);
      continue;
    }
    if (sent == 0) first = Now();
    last = Now();
    for (int i = 0; i < done; ++i) {
      wire_bytes += iovs[i].iov_len;
      payload_bytes += iovs[i].iov_len - (v6 ? 48 : 28);
    }
    sent += (uint64_t)done;
    next += (uint64_t)done;
  }
  close(fd);
  printf(
      "{\"sent\": %llu, \"payload_bytes\": %llu, \"wire_bytes\": %llu, \"first\": %.6f, \"last\": %.6f, "
      "\"seconds\": %.6f, \"send_errors\": %llu}\n",
      (unsigned long long)sent, (unsigned long long)payload_bytes, (unsigned long long)wire_bytes, first, last,
      last - first, (unsigned long long)errors);
  return 0;
}

enum { kDatagrams, kPayload, kWire, kKinds, kColumns = kKinds + 6 };

static int Count(int argc, char** argv) {
  const char* iface = NULL;
  static const struct option options[] = {{"iface", 1, 0, 'i'}, {0, 0, 0, 0}};
  for (int c; (c = getopt_long(argc, argv, "", options, NULL)) != -1;) {
    if (c != 'i') return 2;
    iface = optarg;
  }
  if (!iface) {
    fprintf(stderr, "idforge count: --iface needed\n");
    return 2;
  }
  int index;
  const int fd = PacketSocket(iface, ETH_ALL, &index);
  if (fd < 0) return Fail("packet socket");
  const int big = 16 << 20;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  static uint64_t totals[256][kColumns];
  static const char* const kinds[] = {"IDRSP", "NETBR", "CLOSED", "IDCKE", "{"};
  printf("ready\n");
  fflush(stdout);
  char line[64];
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return Fail("poll");
    if (p[0].revents & POLLIN) {
      uint8_t buf[4096];
      struct sockaddr_ll from;
      socklen_t flen = sizeof from;
      const ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, (struct sockaddr*)&from, &flen);
      if (n > 0 && from.sll_pkttype != PACKET_OUTGOING) {
        const uint16_t proto = ntohs(from.sll_protocol);
        size_t ip = 0, wire = 0;
        int bucket = -1;
        if (proto == ETH_IP && n >= 28 && buf[9] == 17) {
          ip = (size_t)(buf[0] & 0x0F) * 4;
          wire = (size_t)(buf[2] << 8 | buf[3]);
          bucket = buf[17];
        } else if (proto == ETH_IPV6 && n >= 48 && buf[6] == 17) {
          ip = 40;
          wire = 40 + (size_t)(buf[4] << 8 | buf[5]);
          bucket = buf[39];
        }
        if (bucket >= 0 && (size_t)n >= ip + 8 && (buf[ip] << 8 | buf[ip + 1]) == PORT && wire >= ip + 8) {
          uint64_t* t = totals[bucket];
          const uint8_t* payload = buf + ip + 8;
          const size_t have = (size_t)n - ip - 8;
          int kind = 5;
          for (int k = 0; k < 5; ++k) {
            const size_t klen = strlen(kinds[k]);
            if (have >= klen && memcmp(payload, kinds[k], klen) == 0) {
              kind = k;
              break;
            }
          }
          t[kDatagrams] += 1;
          t[kPayload] += wire - ip - 8;
          t[kWire] += wire;
          t[kKinds + kind] += 1;
        }
      }
    }
    if (p[1].revents & (POLLIN | POLLHUP)) {
      if (!fgets(line, sizeof line, stdin)) break;
      printf("{");
      const char* sep = "";
      for (int b = 0; b < 256; ++b) {
        if (totals[b][kDatagrams] == 0) continue;
        printf("%s\"%d\": [", sep, b);
        for (int c = 0; c < kColumns; ++c) printf("%s%llu", c ? ", " : "", (unsigned long long)totals[b][c]);
        printf("]");
        sep = ", ";
      }
      printf("}\n");
      fflush(stdout);
    }
  }
  close(fd);
  return 0;
}

int main(int argc, char** argv) {
  if (getrandom(&rng_state, sizeof rng_state, 0) != sizeof rng_state || rng_state == 0)
    rng_state = 88172645463325252ull;
  if (argc >= 2 && strcmp(argv[1], "send") == 0) return Send(argc - 1, argv + 1);
  if (argc >= 2 && strcmp(argv[1], "count") == 0) return Count(argc - 1, argv + 1);
  fprintf(stderr, "usage: idforge send ... | idforge count --iface DEV\n");
  return 2;
}
