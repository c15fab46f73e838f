/*
 * attackhook.c: the watch folder's attacker at exactly one instruction of
 * kvupdaterd.
 *
 * A race between the daemon's look at an entry and its use of it cannot be
 * won by sleeping and hoping. Preloaded into the daemon (LD_PRELOAD), this
 * library makes such a race happen every time: when KV_ATTACK_DIR is set,
 * before each call of rename, renameat, renameat2, link, linkat, fchown,
 * fchmod and fcntl(F_SETLEASE), it looks for an executable
 * <KV_ATTACK_DIR>/<call>.hook ("fcntl.hook" for F_SETLEASE) and, if there is
 * one, runs it and waits for it, then makes the real call. After the real
 * call it does the same with <call>.after.hook, which gets the call's result
 * as one more argument: an observer of what the call made.
 *
 * A hook's arguments are the call's paths: a path relative to a folder
 * descriptor is joined to that folder's path, and a descriptor (fchown,
 * fchmod, fcntl, linkat with AT_EMPTY_PATH) is given as the readlink of
 * /proc/self/fd/N. The hook runs without LD_PRELOAD, so its own programs do
 * not call hooks; a call the daemon makes while a hook of the same thread
 * runs does not either.
 *
 * Only processes whose name (program_invocation_short_name) is listed in
 * KV_ATTACK_PROGRAMS (comma-separated, default "kvupdaterd") call hooks: the
 * stand-ins and tools the daemon starts inherit the preload and stay quiet.
 *
 * Test code only. It is built without the sanitizers, since it is preloaded
 * ahead of their runtime.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

enum { kMaxArgs = 4 };

static __thread int inHook;

static int listed(const char *list, const char *name) {
  size_t n = strlen(name);
  for (const char *p = list; *p != '\0';) {
    const char *end = strchr(p, ',');
    size_t len = end != NULL ? (size_t)(end - p) : strlen(p);
    if (len == n && strncmp(p, name, n) == 0) return 1;
    if (end == NULL) break;
    p = end + 1;
  }
  return 0;
}

static const char *attackDir(void) {
  const char *dir = getenv("KV_ATTACK_DIR");
  if (dir == NULL || *dir == '\0') return NULL;
  const char *programs = getenv("KV_ATTACK_PROGRAMS");
  return listed(programs != NULL ? programs : "kvupdaterd", program_invocation_short_name) ? dir : NULL;
}

static void fdPath(int fd, char *out, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, size - 1);
  out[n > 0 ? (size_t)n : 0] = '\0';
}

/* The path a call at (dirfd, path) names, as far as it can be told. */
static void atPath(int dirfd, const char *path, char *out, size_t size) {
  if (path == NULL || path[0] == '/') {
    snprintf(out, size, "%s", path != NULL ? path : "");
    return;
  }
  char base[PATH_MAX];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) base[0] = '\0';
  } else {
    fdPath(dirfd, base, sizeof base);
  }
  if (path[0] == '\0') {
    snprintf(out, size, "%s", base);
  } else {
    snprintf(out, size, "%s/%s", base, path);
  }
}

/* Runs <dir>/<call><suffix>.hook with args and waits for it; errno stays. */
static void runHook(const char *call, const char *suffix, const char *const *args, int count) {
  const char *dir = attackDir();
  if (dir == NULL || inHook) return;
  int saved = errno;
  char hook[PATH_MAX];
  snprintf(hook, sizeof hook, "%s/%s%s.hook", dir, call, suffix);
  if (access(hook, X_OK) != 0) {
    errno = saved;
    return;
  }
  inHook = 1;
  const char *argv[kMaxArgs + 3] = {hook};
  for (int i = 0; i < count && i < kMaxArgs + 1; ++i) argv[i + 1] = args[i];
  size_t n = 0;
  while (environ[n] != NULL) ++n;
  char **envp = calloc(n + 1, sizeof *envp);
  if (envp != NULL) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
      if (strncmp(environ[i], "LD_PRELOAD=", 11) != 0) envp[k++] = environ[i];
    }
    pid_t pid = fork();
    if (pid == 0) {
      execve(hook, (char *const *)argv, envp);
      _exit(127);
    }
    if (pid > 0) {
      while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
      }
    }
    free(envp);
  }
  inHook = 0;
  errno = saved;
}

static void hookPaths(const char *call, const char *suffix, const char *a, const char *b, const int *rc) {
  char result[16];
  const char *args[3] = {a, b, NULL};
  int count = b != NULL ? 2 : 1;
  if (rc != NULL) {
    snprintf(result, sizeof result, "%d", *rc);
    args[count++] = result;
  }
  runHook(call, suffix, args, count);
}

static void hookFd(const char *call, const char *suffix, int fd, const int *rc) {
  char path[PATH_MAX];
  if (attackDir() == NULL) return;
  fdPath(fd, path, sizeof path);
  hookPaths(call, suffix, path, NULL, rc);
}

static void hookAt(const char *call, const char *suffix, int fromDir, const char *from, int toDir, const char *to,
                   const int *rc) {
  char a[PATH_MAX];
  char b[PATH_MAX];
  if (attackDir() == NULL) return;
  atPath(fromDir, from, a, sizeof a);
  atPath(toDir, to, b, sizeof b);
  hookPaths(call, suffix, a, b, rc);
}

typedef int (*path2_fn)(const char *, const char *);
typedef int (*at2_fn)(int, const char *, int, const char *);
typedef int (*at2flags_fn)(int, const char *, int, const char *, int);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*fchown_fn)(int, uid_t, gid_t);
typedef int (*fchmod_fn)(int, mode_t);

#define REAL(name, type)   \
  static type real_##name; \
  if (real_##name == NULL) real_##name = (type)dlsym(RTLD_NEXT, #name)

int rename(const char *from, const char *to) {
  REAL(rename, path2_fn);
  hookAt("rename", "", AT_FDCWD, from, AT_FDCWD, to, NULL);
  int rc = real_rename(from, to);
  hookAt("rename", ".after", AT_FDCWD, from, AT_FDCWD, to, &rc);
  return rc;
}

int renameat(int fromDir, const char *from, int toDir, const char *to) {
  REAL(renameat, at2_fn);
  hookAt("renameat", "", fromDir, from, toDir, to, NULL);
  int rc = real_renameat(fromDir, from, toDir, to);
  hookAt("renameat", ".after", fromDir, from, toDir, to, &rc);
  return rc;
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) {
  REAL(renameat2, renameat2_fn);
  hookAt("renameat2", "", fromDir, from, toDir, to, NULL);
  int rc = real_renameat2(fromDir, from, toDir, to, flags);
  hookAt("renameat2", ".after", fromDir, from, toDir, to, &rc);
  return rc;
}

int link(const char *from, const char *to) {
  REAL(link, path2_fn);
  hookAt("link", "", AT_FDCWD, from, AT_FDCWD, to, NULL);
  int rc = real_link(from, to);
  hookAt("link", ".after", AT_FDCWD, from, AT_FDCWD, to, &rc);
  return rc;
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags) {
  REAL(linkat, at2flags_fn);
  hookAt("linkat", "", fromDir, from, toDir, to, NULL);
  int rc = real_linkat(fromDir, from, toDir, to, flags);
  hookAt("linkat", ".after", fromDir, from, toDir, to, &rc);
  return rc;
}

int fchown(int fd, uid_t owner, gid_t group) {
  REAL(fchown, fchown_fn);
  hookFd("fchown", "", fd, NULL);
  int rc = real_fchown(fd, owner, group);
  hookFd("fchown", ".after", fd, &rc);
  return rc;
}

int fchmod(int fd, mode_t mode) {
  REAL(fchmod, fchmod_fn);
  hookFd("fchmod", "", fd, NULL);
  int rc = real_fchmod(fd, mode);
  hookFd("fchmod", ".after", fd, &rc);
  return rc;
}

static int fcntlWith(const char *name, int fd, int cmd, void *arg) {
  typedef int (*fcntl_fn)(int, int, ...);
  static fcntl_fn real[2];
  int which = strcmp(name, "fcntl") == 0 ? 0 : 1;
  if (real[which] == NULL) real[which] = (fcntl_fn)dlsym(RTLD_NEXT, name);
  if (real[which] == NULL) real[which] = (fcntl_fn)dlsym(RTLD_NEXT, "fcntl");
  if (cmd != F_SETLEASE) return real[which](fd, cmd, arg);
  hookFd("fcntl", "", fd, NULL);
  int rc = real[which](fd, cmd, arg);
  hookFd("fcntl", ".after", fd, &rc);
  return rc;
}

/* Every fcntl command takes at most one argument, an int or a pointer. The
 * headers may name fcntl64 for fcntl: both symbols are defined by their own
 * names. */
int hookedFcntl(int fd, int cmd, ...) __asm__("fcntl");
int hookedFcntl64(int fd, int cmd, ...) __asm__("fcntl64");

int hookedFcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntlWith("fcntl", fd, cmd, arg);
}

int hookedFcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntlWith("fcntl64", fd, cmd, arg);
}
