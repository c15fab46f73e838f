/*
 * canbus.c: a user-space CAN bus for the simulated board.
 *
 * The machines that run the tests have no CAN support in their kernel, so
 * this preload library stands in for it: a raw CAN socket (PF_CAN, SOCK_RAW,
 * CAN_RAW) becomes a Unix datagram socket connected to the bus hub of the
 * test bed (simboard.py), named by KV_CANBUS ("@name" for an abstract socket
 * address). The hub carries every frame sent on one interface to the other
 * sockets of the bus and records it; each socket applies its CAN_RAW_FILTER
 * to what it reads by the kernel's matching rule.
 *
 * Interfaces: those named in KV_CANBUS_IFACES (default "can0,can1"); canN
 * has the interface index 100 + N. A socket bound to index 0 (an unknown
 * name leaves the index 0) listens on every interface and cannot send,
 * like the kernel's (ENXIO).
 *
 * Messages to the hub: 'B', 3 pad bytes, the interface index (int32), when
 * the socket binds; 'F', 3 pad bytes, the interface index and the 16-byte
 * frame, when it sends. The hub sends each delivered frame as 16 bytes.
 *
 * Test code only: it must come first in LD_PRELOAD (before umockdev's own
 * library, which also wraps read, write and ioctl); calls on descriptors
 * that are not CAN sockets go on to the next library unchanged.
 */
#include <dlfcn.h>
#include <errno.h>
#include <net/if.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

#ifndef RTLD_NEXT
#define RTLD_NEXT ((void *)-1l)
#endif

#define MAX_FDS 1024
#define MAX_FILTERS 512 /* the kernel's CAN_RAW_FILTER_MAX */
#define IFINDEX_BASE 100

struct can_sock {
    int used;
    int ifindex;
    int nfilters;
    struct can_filter filters[MAX_FILTERS];
};

static struct can_sock *socks[MAX_FDS];

struct hub_message {
    char kind;
    char pad[3];
    int32_t ifindex;
    unsigned char frame[CAN_MTU];
};

typedef int (*socket_fn)(int, int, int);
typedef int (*connect_fn)(int, const struct sockaddr *, socklen_t);
typedef int (*bind_fn)(int, const struct sockaddr *, socklen_t);
typedef int (*close_fn)(int);
typedef int (*setsockopt_fn)(int, int, int, const void *, socklen_t);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*recv_fn)(int, void *, size_t, int);
typedef ssize_t (*send_fn)(int, const void *, size_t, int);

/* The next library's (in the end the C library's) function of that name. */
#define NEXT(name) \
    static name##_fn next_##name; \
    if (next_##name == NULL) next_##name = (name##_fn)dlsym(RTLD_NEXT, #name)

static struct can_sock *find_sock(int fd)
{
    if (fd < 0 || fd >= MAX_FDS) return NULL;
    return socks[fd];
}

static int interface_index(const char *name)
{
    const char *list = getenv("KV_CANBUS_IFACES");
    size_t len = strnlen(name, IFNAMSIZ);
    if (list == NULL) list = "can0,can1";
    if (len < 4 || strncmp(name, "can", 3) != 0) return 0;
    for (const char *p = list; *p != '\0';) {
        const char *end = strchr(p, ',');
        size_t n = end != NULL ? (size_t)(end - p) : strlen(p);
        if (n == len && strncmp(p, name, n) == 0) return IFINDEX_BASE + atoi(name + 3);
        if (end == NULL) break;
        p = end + 1;
    }
    return 0;
}

static int hub_address(struct sockaddr_un *addr, socklen_t *len)
{
    const char *name = getenv("KV_CANBUS");
    size_t n;
    if (name == NULL || name[0] == '\0') return -1;
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    n = strlen(name);
    if (n >= sizeof addr->sun_path) return -1;
    memcpy(addr->sun_path, name, n);
    if (name[0] == '@') addr->sun_path[0] = '\0';
    *len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + n + (name[0] == '@' ? 0 : 1));
    return 0;
}

static int tell_hub(int fd, const struct hub_message *msg, size_t size)
{
    NEXT(send);
    return next_send(fd, msg, size, MSG_NOSIGNAL) == (ssize_t)size ? 0 : -1;
}

/* The kernel's rule (net/can/af_can.c): a filter whose mask has the error
 * flag set only takes error frames; a mask with the extended-frame flag and
 * an identifier without it matches standard frames only; otherwise a frame
 * matches when (id & mask) == (filter id & mask), or differs for an
 * inverted filter (CAN_INV_FILTER in the filter's identifier). */
static int filter_matches(const struct can_filter *f, canid_t id)
{
    canid_t fid = f->can_id;
    canid_t mask = f->can_mask;
    int inv = (fid & CAN_INV_FILTER) != 0;
    if (mask & CAN_ERR_FLAG) return 0;
    if (id & CAN_ERR_FLAG) return 0;
    if ((mask & CAN_EFF_FLAG) && !(fid & CAN_EFF_FLAG)) mask &= (CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG);
    fid &= mask;
    return inv ? (id & mask) != fid : (id & mask) == fid;
}

static int frame_passes(const struct can_sock *s, const unsigned char *frame)
{
    canid_t id;
    memcpy(&id, frame, sizeof id);
    for (int i = 0; i < s->nfilters; i++) {
        if (filter_matches(&s->filters[i], id)) return 1;
    }
    return 0;
}

int socket(int domain, int type, int protocol)
{
    NEXT(socket);
    NEXT(connect);
    NEXT(bind);
    NEXT(close);
    struct sockaddr_un hub;
    socklen_t hublen;
    struct can_sock *s;
    sa_family_t autobind = AF_UNIX;
    int fd;

    if (domain != PF_CAN || (type & 0xff) != SOCK_RAW || protocol != CAN_RAW) {
        return next_socket(domain, type, protocol);
    }
    if (hub_address(&hub, &hublen) != 0) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    fd = next_socket(AF_UNIX, SOCK_DGRAM | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0);
    if (fd < 0) return -1;
    s = calloc(1, sizeof *s);
    /* An unnamed datagram socket gets an abstract name, so that the hub
     * can send to it. */
    if (fd >= MAX_FDS || s == NULL || next_bind(fd, (const struct sockaddr *)&autobind, sizeof autobind) != 0 ||
        next_connect(fd, (const struct sockaddr *)&hub, hublen) != 0) {
        free(s);
        next_close(fd);
        errno = ENOBUFS;
        return -1;
    }
    /* A fresh raw socket takes every frame (one filter, mask 0). */
    s->used = 1;
    s->nfilters = 1;
    socks[fd] = s;
    return fd;
}

int close(int fd)
{
    NEXT(close);
    struct can_sock *s = find_sock(fd);
    if (s != NULL) {
        socks[fd] = NULL;
        free(s);
    }
    return next_close(fd);
}

int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    NEXT(bind);
    struct can_sock *s = find_sock(fd);
    struct hub_message msg;
    const struct sockaddr_can *can = (const struct sockaddr_can *)addr;

    if (s == NULL) return next_bind(fd, addr, len);
    if (addr == NULL || len < sizeof *can || can->can_family != AF_CAN) {
        errno = EINVAL;
        return -1;
    }
    if (can->can_ifindex != 0 && (can->can_ifindex < IFINDEX_BASE || can->can_ifindex >= IFINDEX_BASE + 100)) {
        errno = ENODEV;
        return -1;
    }
    s->ifindex = can->can_ifindex;
    memset(&msg, 0, sizeof msg);
    msg.kind = 'B';
    msg.ifindex = s->ifindex;
    if (tell_hub(fd, &msg, offsetof(struct hub_message, frame)) != 0) {
        errno = ENETDOWN;
        return -1;
    }
    return 0;
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t len)
{
    NEXT(setsockopt);
    struct can_sock *s = find_sock(fd);

    if (s == NULL) return next_setsockopt(fd, level, name, value, len);
    if (level != SOL_CAN_RAW) {
        /* Socket-level options (buffer sizes, time-outs) act on the stand-in. */
        return next_setsockopt(fd, level, name, value, len);
    }
    if (name != CAN_RAW_FILTER) return 0;
    if (len % sizeof(struct can_filter) != 0 || len / sizeof(struct can_filter) > MAX_FILTERS) {
        errno = EINVAL;
        return -1;
    }
    if (len > 0 && value == NULL) {
        errno = EFAULT;
        return -1;
    }
    s->nfilters = (int)(len / sizeof(struct can_filter));
    if (len > 0) memcpy(s->filters, value, len);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    NEXT(ioctl);
    struct can_sock *s = find_sock(fd);
    va_list ap;
    void *arg;

    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    if (s == NULL || request != SIOCGIFINDEX) return next_ioctl(fd, request, arg);
    {
        struct ifreq *ifr = arg;
        char name[IFNAMSIZ + 1];
        int index;
        memcpy(name, ifr->ifr_name, IFNAMSIZ);
        name[IFNAMSIZ] = '\0';
        index = interface_index(name);
        if (index == 0) {
            errno = ENODEV;
            return -1;
        }
        ifr->ifr_ifindex = index;
        return 0;
    }
}

static ssize_t can_send(int fd, struct can_sock *s, const void *buf, size_t count)
{
    struct hub_message msg;
    const unsigned char *frame = buf;

    if (count != CAN_MTU || frame[4] > CAN_MAX_DLEN) {
        errno = EINVAL;
        return -1;
    }
    if (s->ifindex == 0) {
        errno = ENXIO;
        return -1;
    }
    memset(&msg, 0, sizeof msg);
    msg.kind = 'F';
    msg.ifindex = s->ifindex;
    memcpy(msg.frame, frame, CAN_MTU);
    if (tell_hub(fd, &msg, sizeof msg) != 0) {
        errno = ENETDOWN;
        return -1;
    }
    return CAN_MTU;
}

/* Frames the filters do not take are dropped; a non-blocking socket with
 * nothing left to read fails with EAGAIN, as the kernel's does. */
static ssize_t can_receive(int fd, struct can_sock *s, void *buf, size_t count, int flags)
{
    NEXT(recv);
    unsigned char frame[CAN_MTU];

    for (;;) {
        ssize_t got = next_recv(fd, frame, sizeof frame, flags);
        if (got < 0) return -1;
        if (got != CAN_MTU || !frame_passes(s, frame)) continue;
        if (count > CAN_MTU) count = CAN_MTU;
        memcpy(buf, frame, count);
        return (ssize_t)count;
    }
}

ssize_t write(int fd, const void *buf, size_t count)
{
    NEXT(write);
    struct can_sock *s = find_sock(fd);
    if (s == NULL) return next_write(fd, buf, count);
    return can_send(fd, s, buf, count);
}

ssize_t send(int fd, const void *buf, size_t count, int flags)
{
    NEXT(send);
    struct can_sock *s = find_sock(fd);
    if (s == NULL) return next_send(fd, buf, count, flags);
    return can_send(fd, s, buf, count);
}

ssize_t read(int fd, void *buf, size_t count)
{
    NEXT(read);
    struct can_sock *s = find_sock(fd);
    if (s == NULL) return next_read(fd, buf, count);
    return can_receive(fd, s, buf, count, 0);
}

ssize_t recv(int fd, void *buf, size_t count, int flags)
{
    NEXT(recv);
    struct can_sock *s = find_sock(fd);
    if (s == NULL) return next_recv(fd, buf, count, flags);
    return can_receive(fd, s, buf, count, flags);
}
