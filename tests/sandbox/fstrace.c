/*
 * fstrace.c: a record of the file-system calls that decide what survives a
 * power cut, made by kvupdaterd and every program it starts.
 *
 * Preloaded into the daemon (LD_PRELOAD) and inherited by what it starts
 * (sh, mv, rm, tar, the stand-ins), this library appends one JSON object per
 * call to the file KV_FSTRACE (O_APPEND, one write per line, so that the
 * processes' lines interleave whole) for calls on paths under the device
 * root KV_FSTRACE_ROOT:
 *
 *   open, openat, creat, fopen, mkstemp, mkostemp with O_CREAT, O_TRUNC or
 *   write access
 *       fd, path, ino after the call
 *   write, pwrite, writev, pwritev, ftruncate, fallocate, copy_file_range
 *       on such a descriptor: fd, ino, size before and after
 *   close, fclose of such a descriptor: its size and mtime then
 *   fsync, fdatasync (file or folder): path, ino, size, mtime, dir
 *   sync, syncfs
 *   rename, renameat, renameat2: from, to, ino (moved), over (replaced ino)
 *   link, linkat (AT_EMPTY_PATH and /proc/self/fd sources too): to, ino
 *   unlink, unlinkat, rmdir, mkdir, mkdirat, mkdtemp: path, ino, dir
 *   execve, execv, execvp, execvpe, posix_spawn, posix_spawnp: path, argv
 *       (logged before the call, anywhere: these are the visible acts)
 *
 * Every line holds pid, seq (the process's own count), call, rc and errno.
 * Paths are device paths: the root's prefix taken off.
 *
 * KV_FSTRACE_KEEP names a folder on the same file system: a hard link
 * <KEEP>/<ino> is made of every regular file about to lose its last name
 * (unlinked or renamed over), so that a power cut's undo can give the name
 * its content back.
 *
 * KV_FSTRACE_SKIP (comma-separated) turns flushes into no-ops, as a daemon
 * that forgot them would behave:
 *   fsync:<glob>        fsync/fdatasync of a file or folder whose device
 *                       path matches
 *   dirsync-after:<glob> the fsync of a folder right after this process
 *                       renamed or unlinked a matching name in it
 * A skipped call is logged with "skipped":1. Since sync() cannot leave one
 * file out, the reader of the trace takes what a skipped call should have
 * flushed as never flushed (tests/e2e/durability.py).
 *
 * Test code only. It is built without the sanitizers, since it is preloaded
 * ahead of their runtime; its own file operations are raw system calls.
 */
/* Both the plain and the 64-bit names are defined here, each by its own
 * name, whatever offset size the build asks of the headers. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum { kMaxFd = 4096, kLine = 8192 };

struct Tracked {
  dev_t dev;
  ino_t ino;
  int ours; /* 1: a regular file under the root; -1: looked at, not ours */
};

static struct Tracked gFds[kMaxFd];
static __thread int gBusy;
static unsigned long gSeq;
static int gTraceFd = -1;
static pid_t gTracePid;
static char gLastChanged[PATH_MAX]; /* name this process last renamed or unlinked */

#define REAL(name, type)   \
  static type real_##name; \
  if (real_##name == NULL) real_##name = (type)dlsym(RTLD_NEXT, #name)

/* --- configuration -------------------------------------------------------- */

static const char *root(void) {
  const char *r = getenv("KV_FSTRACE_ROOT");
  return r != NULL && *r != '\0' && getenv("KV_FSTRACE") != NULL ? r : NULL;
}

static int active(void) { return !gBusy && root() != NULL; }

/* Device path of an absolute host path, or NULL when outside the root. */
static const char *devicePath(const char *abs) {
  const char *r = root();
  size_t n = strlen(r);
  if (strncmp(abs, r, n) != 0) return NULL;
  if (abs[n] == '\0') return "/";
  return abs[n] == '/' ? abs + n : NULL;
}

/* Lexical clean-up: "//", "." and ".." (without resolving links). */
static void normalize(char *path) {
  char out[PATH_MAX];
  size_t len = 0;
  const char *p = path;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char *end = strchr(p, '/');
    size_t n = end != NULL ? (size_t)(end - p) : strlen(p);
    if (n == 0) break;
    if (n == 1 && p[0] == '.') {
    } else if (n == 2 && p[0] == '.' && p[1] == '.') {
      while (len > 0 && out[len - 1] != '/') --len;
      if (len > 0) --len;
    } else if (len + n + 2 < sizeof out) {
      out[len++] = '/';
      memcpy(out + len, p, n);
      len += n;
    }
    p += n;
  }
  if (len == 0) out[len++] = '/';
  out[len] = '\0';
  memcpy(path, out, len + 1);
}

static void fdPath(int fd, char *out, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, size - 1);
  out[n > 0 ? (size_t)n : 0] = '\0';
}

static void atPath(int dirfd, const char *path, char *out, size_t size) {
  if (path == NULL) {
    out[0] = '\0';
    return;
  }
  if (path[0] == '/') {
    snprintf(out, size, "%s", path);
  } else {
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
      if (getcwd(base, sizeof base) == NULL) base[0] = '\0';
    } else {
      fdPath(dirfd, base, sizeof base);
    }
    snprintf(out, size, "%s/%s", base, path);
  }
  normalize(out);
}

static int skipListed(const char *kind, const char *devPath) {
  const char *list = getenv("KV_FSTRACE_SKIP");
  if (list == NULL || devPath == NULL) return 0;
  size_t k = strlen(kind);
  char item[PATH_MAX];
  for (const char *p = list; *p != '\0';) {
    const char *end = strchr(p, ',');
    size_t len = end != NULL ? (size_t)(end - p) : strlen(p);
    if (len > k + 1 && len < sizeof item && strncmp(p, kind, k) == 0 && p[k] == ':') {
      memcpy(item, p + k + 1, len - k - 1);
      item[len - k - 1] = '\0';
      if (fnmatch(item, devPath, 0) == 0) return 1;
    }
    if (end == NULL) break;
    p = end + 1;
  }
  return 0;
}

/* --- the line ------------------------------------------------------------- */

struct Line {
  char text[kLine];
  size_t len;
};

static void put(struct Line *l, const char *s) {
  size_t n = strlen(s);
  if (l->len + n + 2 >= sizeof l->text) n = sizeof l->text - l->len - 2;
  memcpy(l->text + l->len, s, n);
  l->len += n;
}

static void putf(struct Line *l, const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  put(l, buf);
}

static void putString(struct Line *l, const char *s) {
  char buf[8];
  put(l, "\"");
  for (const unsigned char *p = (const unsigned char *)s; *p != '\0' && l->len + 8 < sizeof l->text; ++p) {
    if (*p == '"' || *p == '\\') {
      buf[0] = '\\';
      buf[1] = (char)*p;
      buf[2] = '\0';
    } else if (*p < 0x20 || *p >= 0x7f) {
      snprintf(buf, sizeof buf, "\\u%04x", *p);
    } else {
      buf[0] = (char)*p;
      buf[1] = '\0';
    }
    put(l, buf);
  }
  put(l, "\"");
}

static void putKey(struct Line *l, const char *key, const char *value) {
  putf(l, ",\"%s\":", key);
  putString(l, value != NULL ? value : "");
}

static void begin(struct Line *l, const char *call) {
  l->len = 0;
  putf(l, "{\"pid\":%d,\"seq\":%lu,\"call\":\"%s\"", (int)getpid(), __atomic_add_fetch(&gSeq, 1, __ATOMIC_RELAXED),
       call);
}

static void putStat(struct Line *l, const struct stat *st) {
  putf(l, ",\"ino\":%lu,\"size\":%lld,\"mtime\":%lld,\"dir\":%d", (unsigned long)st->st_ino, (long long)st->st_size,
       (long long)st->st_mtim.tv_sec * 1000000000LL + st->st_mtim.tv_nsec, S_ISDIR(st->st_mode) ? 1 : 0);
}

static void finish(struct Line *l, long rc, int err) {
  putf(l, ",\"rc\":%ld,\"errno\":%d}\n", rc, rc < 0 ? err : 0);
  pid_t pid = getpid();
  if (gTraceFd < 0 || gTracePid != pid) {
    gTraceFd =
        (int)syscall(SYS_openat, AT_FDCWD, getenv("KV_FSTRACE"), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    gTracePid = pid;
  }
  if (gTraceFd >= 0) (void)syscall(SYS_write, gTraceFd, l->text, l->len);
}

/* --- descriptors ---------------------------------------------------------- */

static void track(int fd) {
  struct stat st;
  if (fd < 0 || fd >= kMaxFd || fstat(fd, &st) != 0) return;
  gFds[fd].dev = st.st_dev;
  gFds[fd].ino = st.st_ino;
  gFds[fd].ours = S_ISREG(st.st_mode) ? 1 : -1;
}

/* Whether fd is a regular file under the root (remembered per descriptor
 * and inode: a descriptor inherited from the parent is looked up once). */
static int ours(int fd, struct stat *st) {
  if (fd < 0 || fd >= kMaxFd || fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) return 0;
  if (gFds[fd].ours != 0 && gFds[fd].dev == st->st_dev && gFds[fd].ino == st->st_ino) return gFds[fd].ours > 0;
  char path[PATH_MAX];
  fdPath(fd, path, sizeof path);
  gFds[fd].dev = st->st_dev;
  gFds[fd].ino = st->st_ino;
  gFds[fd].ours = path[0] == '/' && devicePath(path) != NULL ? 1 : -1;
  return gFds[fd].ours > 0;
}

static int writes(int flags) { return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY; }

static void logOpen(const char *call, int dirfd, const char *path, int flags, int rc, int err) {
  char abs[PATH_MAX];
  atPath(dirfd, path, abs, sizeof abs);
  const char *dev = devicePath(abs);
  if (dev == NULL) return;
  struct Line l;
  begin(&l, call);
  putKey(&l, "path", dev);
  putf(&l, ",\"fd\":%d,\"trunc\":%d,\"creat\":%d", rc, (flags & O_TRUNC) != 0, (flags & O_CREAT) != 0);
  struct stat st;
  if (rc >= 0 && fstat(rc, &st) == 0) {
    putStat(&l, &st);
    track(rc);
  }
  finish(&l, rc, err);
}

static void openDone(const char *call, int dirfd, const char *path, int flags, int rc) {
  if (!active() || !writes(flags)) return;
  int err = errno;
  gBusy = 1;
  logOpen(call, dirfd, path, flags, rc, err);
  gBusy = 0;
  errno = err;
}

static mode_t modeArg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(ap, int) : 0;
}

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);

int open(const char *path, int flags, ...) {
  REAL(open, open_fn);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  int rc = real_open(path, flags, mode);
  openDone("open", AT_FDCWD, path, flags, rc);
  return rc;
}

int open64(const char *path, int flags, ...) {
  REAL(open64, open_fn);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  int rc = real_open64(path, flags, mode);
  openDone("open", AT_FDCWD, path, flags, rc);
  return rc;
}

int openat(int dirfd, const char *path, int flags, ...) {
  REAL(openat, openat_fn);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  int rc = real_openat(dirfd, path, flags, mode);
  openDone("openat", dirfd, path, flags, rc);
  return rc;
}

int openat64(int dirfd, const char *path, int flags, ...) {
  REAL(openat64, openat_fn);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  int rc = real_openat64(dirfd, path, flags, mode);
  openDone("openat", dirfd, path, flags, rc);
  return rc;
}

typedef int (*creat_fn)(const char *, mode_t);

int creat(const char *path, mode_t mode) {
  REAL(creat, creat_fn);
  int rc = real_creat(path, mode);
  openDone("creat", AT_FDCWD, path, O_CREAT | O_TRUNC | O_WRONLY, rc);
  return rc;
}

int creat64(const char *path, mode_t mode) {
  REAL(creat64, creat_fn);
  int rc = real_creat64(path, mode);
  openDone("creat", AT_FDCWD, path, O_CREAT | O_TRUNC | O_WRONLY, rc);
  return rc;
}

static int stdioFlags(const char *mode) {
  int flags = O_RDONLY;
  if (mode[0] == 'w') flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags = O_WRONLY | O_CREAT | O_APPEND;
  if (strchr(mode, '+') != NULL) flags = (flags & ~O_ACCMODE) | O_RDWR;
  return flags;
}

typedef FILE *(*fopen_fn)(const char *, const char *);

static FILE *fopenWith(fopen_fn real, const char *path, const char *mode) {
  FILE *f = real(path, mode);
  openDone("fopen", AT_FDCWD, path, stdioFlags(mode), f != NULL ? fileno(f) : -1);
  return f;
}

FILE *fopen(const char *path, const char *mode) {
  REAL(fopen, fopen_fn);
  return fopenWith(real_fopen, path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
  REAL(fopen64, fopen_fn);
  return fopenWith(real_fopen64, path, mode);
}

/* --- data ------------------------------------------------------------------ */

struct WriteMark {
  int traced;
  long long before;
};

static struct WriteMark writeBegin(int fd) {
  struct WriteMark m = {0, 0};
  struct stat st;
  if (!active()) return m;
  gBusy = 1;
  if (ours(fd, &st)) {
    m.traced = 1;
    m.before = (long long)st.st_size;
  }
  gBusy = 0;
  return m;
}

static void writeEnd(const char *call, int fd, struct WriteMark m, long rc) {
  if (!m.traced) return;
  int err = errno;
  gBusy = 1;
  struct Line l;
  begin(&l, call);
  putf(&l, ",\"fd\":%d,\"before\":%lld", fd, m.before);
  struct stat st;
  if (fstat(fd, &st) == 0) putStat(&l, &st);
  finish(&l, rc, err);
  gBusy = 0;
  errno = err;
}

typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*pwrite_fn)(int, const void *, size_t, off_t);
typedef ssize_t (*writev_fn)(int, const struct iovec *, int);
typedef ssize_t (*pwritev_fn)(int, const struct iovec *, int, off_t);
typedef ssize_t (*pwrite64_fn)(int, const void *, size_t, off64_t);
typedef int (*ftruncate_fn)(int, off_t);
typedef int (*ftruncate64_fn)(int, off64_t);
typedef int (*fallocate_fn)(int, int, off_t, off_t);
typedef int (*fallocate64_fn)(int, int, off64_t, off64_t);
typedef ssize_t (*cfr_fn)(int, off64_t *, int, off64_t *, size_t, unsigned int);

ssize_t write(int fd, const void *buf, size_t n) {
  REAL(write, write_fn);
  struct WriteMark m = writeBegin(fd);
  ssize_t rc = real_write(fd, buf, n);
  writeEnd("write", fd, m, rc);
  return rc;
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  REAL(pwrite, pwrite_fn);
  struct WriteMark m = writeBegin(fd);
  ssize_t rc = real_pwrite(fd, buf, n, off);
  writeEnd("pwrite", fd, m, rc);
  return rc;
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
  REAL(pwrite64, pwrite64_fn);
  struct WriteMark m = writeBegin(fd);
  ssize_t rc = real_pwrite64(fd, buf, n, off);
  writeEnd("pwrite", fd, m, rc);
  return rc;
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
  REAL(writev, writev_fn);
  struct WriteMark m = writeBegin(fd);
  ssize_t rc = real_writev(fd, iov, count);
  writeEnd("writev", fd, m, rc);
  return rc;
}

ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t off) {
  REAL(pwritev, pwritev_fn);
  struct WriteMark m = writeBegin(fd);
  ssize_t rc = real_pwritev(fd, iov, count, off);
  writeEnd("pwritev", fd, m, rc);
  return rc;
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate, ftruncate_fn);
  struct WriteMark m = writeBegin(fd);
  int rc = real_ftruncate(fd, length);
  writeEnd("ftruncate", fd, m, rc);
  return rc;
}

int ftruncate64(int fd, off64_t length) {
  REAL(ftruncate64, ftruncate64_fn);
  struct WriteMark m = writeBegin(fd);
  int rc = real_ftruncate64(fd, length);
  writeEnd("ftruncate", fd, m, rc);
  return rc;
}

int fallocate(int fd, int mode, off_t off, off_t len) {
  REAL(fallocate, fallocate_fn);
  struct WriteMark m = writeBegin(fd);
  int rc = real_fallocate(fd, mode, off, len);
  writeEnd("fallocate", fd, m, rc);
  return rc;
}

int fallocate64(int fd, int mode, off64_t off, off64_t len) {
  REAL(fallocate64, fallocate64_fn);
  struct WriteMark m = writeBegin(fd);
  int rc = real_fallocate64(fd, mode, off, len);
  writeEnd("fallocate", fd, m, rc);
  return rc;
}

ssize_t copy_file_range(int in, off64_t *inOff, int out, off64_t *outOff, size_t n, unsigned int flags) {
  REAL(copy_file_range, cfr_fn);
  struct WriteMark m = writeBegin(out);
  ssize_t rc = real_copy_file_range(in, inOff, out, outOff, n, flags);
  writeEnd("copy_file_range", out, m, rc);
  return rc;
}

/* A descriptor's last state before it closes: what stdio wrote through it
 * (by calls this library cannot see) is on the file by then. */
static void logClose(const char *call, int fd) {
  struct stat st;
  if (!active()) return;
  gBusy = 1;
  if (fd >= 0 && fd < kMaxFd && gFds[fd].ours > 0 && ours(fd, &st)) {
    struct Line l;
    begin(&l, call);
    putf(&l, ",\"fd\":%d", fd);
    putStat(&l, &st);
    finish(&l, 0, 0);
  }
  if (fd >= 0 && fd < kMaxFd) gFds[fd].ours = 0;
  gBusy = 0;
}

typedef int (*close_fn)(int);
typedef int (*fclose_fn)(FILE *);

int close(int fd) {
  REAL(close, close_fn);
  int err = errno;
  logClose("close", fd);
  errno = err;
  return real_close(fd);
}

int fclose(FILE *f) {
  REAL(fclose, fclose_fn);
  if (f != NULL && active()) {
    int err = errno;
    (void)fflush(f);
    logClose("close", fileno(f));
    errno = err;
  }
  return real_fclose(f);
}

/* --- flushes ---------------------------------------------------------------- */

typedef int (*fd_fn)(int);
typedef void (*void_fn)(void);

static int flushFd(const char *call, fd_fn real, int fd) {
  if (!active()) return real(fd);
  gBusy = 1;
  char abs[PATH_MAX];
  fdPath(fd, abs, sizeof abs);
  const char *dev = abs[0] == '/' ? devicePath(abs) : NULL;
  struct stat st;
  int statted = dev != NULL && fstat(fd, &st) == 0;
  int skip = 0;
  if (dev != NULL) {
    skip = skipListed("fsync", dev);
    if (statted && S_ISDIR(st.st_mode) && gLastChanged[0] != '\0') {
      char folder[PATH_MAX];
      snprintf(folder, sizeof folder, "%s", gLastChanged);
      char *slash = strrchr(folder, '/');
      if (slash != NULL) *(slash == folder ? slash + 1 : slash) = '\0';
      if (strcmp(folder, dev) == 0 && skipListed("dirsync-after", gLastChanged)) skip = 1;
      gLastChanged[0] = '\0';
    }
  }
  gBusy = 0;
  int rc = skip ? 0 : real(fd);
  int err = errno;
  if (dev != NULL) {
    gBusy = 1;
    struct Line l;
    begin(&l, call);
    putKey(&l, "path", dev);
    putf(&l, ",\"fd\":%d", fd);
    if (fstat(fd, &st) == 0) putStat(&l, &st);
    if (skip) put(&l, ",\"skipped\":1");
    finish(&l, rc, err);
    gBusy = 0;
  }
  errno = err;
  return rc;
}

int fsync(int fd) {
  REAL(fsync, fd_fn);
  return flushFd("fsync", real_fsync, fd);
}

int fdatasync(int fd) {
  REAL(fdatasync, fd_fn);
  return flushFd("fdatasync", real_fdatasync, fd);
}

static void logSync(const char *call, long rc, int err) {
  struct Line l;
  begin(&l, call);
  finish(&l, rc, err);
}

void sync(void) {
  REAL(sync, void_fn);
  real_sync();
  if (!active()) return;
  int err = errno;
  gBusy = 1;
  logSync("sync", 0, 0);
  gBusy = 0;
  errno = err;
}

int syncfs(int fd) {
  REAL(syncfs, fd_fn);
  int rc = real_syncfs(fd);
  if (!active()) return rc;
  int err = errno;
  gBusy = 1;
  logSync("syncfs", rc, err);
  gBusy = 0;
  errno = err;
  return rc;
}

/* --- names ------------------------------------------------------------------ */

/* Keeps a link to the regular file at abs, about to lose that name, when it
 * is its last one: a file that keeps a name meanwhile must keep its link
 * count too (the daemon looks at it). */
static void keep(const char *abs, const struct stat *st) {
  const char *dir = getenv("KV_FSTRACE_KEEP");
  if (dir == NULL || *dir == '\0' || !S_ISREG(st->st_mode) || st->st_nlink != 1) return;
  char to[PATH_MAX];
  snprintf(to, sizeof to, "%s/%lu", dir, (unsigned long)st->st_ino);
  (void)syscall(SYS_linkat, AT_FDCWD, abs, AT_FDCWD, to, 0);
}

struct NameMark {
  int traced;
  int had; /* an entry stood at the (destination) name */
  struct stat st;
  char from[PATH_MAX];
  char to[PATH_MAX];
};

static void nameBegin(struct NameMark *m, int fromDir, const char *from, int toDir, const char *to, int keepTo) {
  m->traced = 0;
  if (!active()) return;
  gBusy = 1;
  atPath(fromDir, from, m->from, sizeof m->from);
  atPath(toDir, to, m->to, sizeof m->to);
  m->traced = devicePath(m->from) != NULL || (to != NULL && devicePath(m->to) != NULL);
  const char *at = to != NULL ? m->to : m->from;
  m->had = m->traced && lstat(at, &m->st) == 0;
  if (m->had && keepTo) keep(at, &m->st);
  gBusy = 0;
}

static void putPath(struct Line *l, const char *key, const char *abs) {
  const char *dev = devicePath(abs);
  putKey(l, key, dev != NULL ? dev : abs);
  if (dev == NULL) putf(l, ",\"%s_outside\":1", key);
}

static void nameEnd(const char *call, struct NameMark *m, int twoNames, int rc) {
  if (!m->traced) return;
  int err = errno;
  gBusy = 1;
  struct Line l;
  begin(&l, call);
  if (twoNames) {
    putPath(&l, "from", m->from);
    putPath(&l, "to", m->to);
    if (m->had) putf(&l, ",\"over\":%lu", (unsigned long)m->st.st_ino);
    struct stat st;
    if (rc == 0 && lstat(m->to, &st) == 0) putStat(&l, &st);
  } else {
    putPath(&l, "path", m->from);
    struct stat st;
    if (m->had) {
      putStat(&l, &m->st);
    } else if (rc == 0 && lstat(m->from, &st) == 0) {
      putStat(&l, &st);
    }
  }
  finish(&l, rc, err);
  if (rc == 0) {
    const char *changed = devicePath(twoNames ? m->to : m->from);
    snprintf(gLastChanged, sizeof gLastChanged, "%s", changed != NULL ? changed : "");
  }
  gBusy = 0;
  errno = err;
}

typedef int (*path1_fn)(const char *);
typedef int (*path2_fn)(const char *, const char *);
typedef int (*at1flags_fn)(int, const char *, int);
typedef int (*at2_fn)(int, const char *, int, const char *);
typedef int (*at2flags_fn)(int, const char *, int, const char *, int);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*mkdir_fn)(const char *, mode_t);
typedef int (*mkdirat_fn)(int, const char *, mode_t);

int rename(const char *from, const char *to) {
  REAL(rename, path2_fn);
  struct NameMark m;
  nameBegin(&m, AT_FDCWD, from, AT_FDCWD, to, 1);
  int rc = real_rename(from, to);
  nameEnd("rename", &m, 1, rc);
  return rc;
}

int renameat(int fromDir, const char *from, int toDir, const char *to) {
  REAL(renameat, at2_fn);
  struct NameMark m;
  nameBegin(&m, fromDir, from, toDir, to, 1);
  int rc = real_renameat(fromDir, from, toDir, to);
  nameEnd("rename", &m, 1, rc);
  return rc;
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) {
  REAL(renameat2, renameat2_fn);
  struct NameMark m;
  nameBegin(&m, fromDir, from, toDir, to, 1);
  int rc = real_renameat2(fromDir, from, toDir, to, flags);
  nameEnd("rename", &m, 1, rc);
  return rc;
}

int link(const char *from, const char *to) {
  REAL(link, path2_fn);
  struct NameMark m;
  nameBegin(&m, AT_FDCWD, from, AT_FDCWD, to, 0);
  int rc = real_link(from, to);
  nameEnd("link", &m, 1, rc);
  return rc;
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags) {
  REAL(linkat, at2flags_fn);
  struct NameMark m;
  nameBegin(&m, fromDir, from, toDir, to, 0);
  int rc = real_linkat(fromDir, from, toDir, to, flags);
  nameEnd("link", &m, 1, rc);
  return rc;
}

int unlink(const char *path) {
  REAL(unlink, path1_fn);
  struct NameMark m;
  nameBegin(&m, AT_FDCWD, path, AT_FDCWD, NULL, 1);
  int rc = real_unlink(path);
  nameEnd("unlink", &m, 0, rc);
  return rc;
}

int unlinkat(int dirfd, const char *path, int flags) {
  REAL(unlinkat, at1flags_fn);
  struct NameMark m;
  nameBegin(&m, dirfd, path, AT_FDCWD, NULL, (flags & AT_REMOVEDIR) == 0);
  int rc = real_unlinkat(dirfd, path, flags);
  nameEnd((flags & AT_REMOVEDIR) != 0 ? "rmdir" : "unlink", &m, 0, rc);
  return rc;
}

int rmdir(const char *path) {
  REAL(rmdir, path1_fn);
  struct NameMark m;
  nameBegin(&m, AT_FDCWD, path, AT_FDCWD, NULL, 0);
  int rc = real_rmdir(path);
  nameEnd("rmdir", &m, 0, rc);
  return rc;
}

int mkdir(const char *path, mode_t mode) {
  REAL(mkdir, mkdir_fn);
  struct NameMark m;
  nameBegin(&m, AT_FDCWD, path, AT_FDCWD, NULL, 0);
  int rc = real_mkdir(path, mode);
  m.had = 0;
  nameEnd("mkdir", &m, 0, rc);
  return rc;
}

int mkdirat(int dirfd, const char *path, mode_t mode) {
  REAL(mkdirat, mkdirat_fn);
  struct NameMark m;
  nameBegin(&m, dirfd, path, AT_FDCWD, NULL, 0);
  int rc = real_mkdirat(dirfd, path, mode);
  m.had = 0;
  nameEnd("mkdir", &m, 0, rc);
  return rc;
}

/* Temporary names: the C library creates them by calls of its own. */
typedef int (*mkstemp_fn)(char *);
typedef int (*mkostemp_fn)(char *, int);
typedef char *(*mkdtemp_fn)(char *);

int mkstemp(char *templ) {
  REAL(mkstemp, mkstemp_fn);
  int rc = real_mkstemp(templ);
  openDone("open", AT_FDCWD, templ, O_CREAT | O_EXCL | O_RDWR, rc);
  return rc;
}

int mkostemp(char *templ, int flags) {
  REAL(mkostemp, mkostemp_fn);
  int rc = real_mkostemp(templ, flags);
  openDone("open", AT_FDCWD, templ, O_CREAT | O_EXCL | O_RDWR, rc);
  return rc;
}

int mkstemp64(char *templ) {
  REAL(mkstemp64, mkstemp_fn);
  int rc = real_mkstemp64(templ);
  openDone("open", AT_FDCWD, templ, O_CREAT | O_EXCL | O_RDWR, rc);
  return rc;
}

int mkostemp64(char *templ, int flags) {
  REAL(mkostemp64, mkostemp_fn);
  int rc = real_mkostemp64(templ, flags);
  openDone("open", AT_FDCWD, templ, O_CREAT | O_EXCL | O_RDWR, rc);
  return rc;
}

char *mkdtemp(char *templ) {
  REAL(mkdtemp, mkdtemp_fn);
  char *made = real_mkdtemp(templ);
  if (made != NULL && active()) {
    struct NameMark m;
    int err = errno;
    nameBegin(&m, AT_FDCWD, made, AT_FDCWD, NULL, 0);
    m.had = 0;
    errno = err;
    nameEnd("mkdir", &m, 0, 0);
  }
  return made;
}

/* --- programs ----------------------------------------------------------------- */

static void logExec(const char *call, const char *path, char *const argv[]) {
  if (!active() || path == NULL) return;
  /* A shell tries each folder of PATH in turn: only a program that is there
   * is about to run. */
  if (strchr(path, '/') != NULL && access(path, X_OK) != 0) return;
  int err = errno;
  gBusy = 1;
  struct Line l;
  begin(&l, call);
  putKey(&l, "path", path);
  put(&l, ",\"argv\":[");
  for (int i = 0; argv != NULL && argv[i] != NULL; ++i) {
    if (i > 0) put(&l, ",");
    putString(&l, argv[i]);
  }
  put(&l, "]");
  finish(&l, 0, 0);
  gBusy = 0;
  errno = err;
}

typedef int (*execve_fn)(const char *, char *const[], char *const[]);
typedef int (*execv_fn)(const char *, char *const[]);
typedef int (*spawn_fn)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                        char *const[], char *const[]);

int execve(const char *path, char *const argv[], char *const envp[]) {
  REAL(execve, execve_fn);
  logExec("execve", path, argv);
  return real_execve(path, argv, envp);
}

int execv(const char *path, char *const argv[]) {
  REAL(execv, execv_fn);
  logExec("execve", path, argv);
  return real_execv(path, argv);
}

int execvp(const char *file, char *const argv[]) {
  REAL(execvp, execv_fn);
  logExec("execve", file, argv);
  return real_execvp(file, argv);
}

int execvpe(const char *file, char *const argv[], char *const envp[]) {
  REAL(execvpe, execve_fn);
  logExec("execve", file, argv);
  return real_execvpe(file, argv, envp);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attr,
                char *const argv[], char *const envp[]) {
  REAL(posix_spawn, spawn_fn);
  logExec("execve", path, argv);
  return real_posix_spawn(pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attr,
                 char *const argv[], char *const envp[]) {
  REAL(posix_spawnp, spawn_fn);
  logExec("execve", file, argv);
  return real_posix_spawnp(pid, file, actions, attr, argv, envp);
}
