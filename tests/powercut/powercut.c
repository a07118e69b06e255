/* Power-cut shim, preloaded into a host process (LD_PRELOAD).
 *
 * It records what the host has made durable under one folder, so that
 * powercut-rebuild can later put the folder back as a power cut would leave
 * it: a file keeps the contents of its last fsync/fdatasync, a folder the
 * names it had at its last sync. Nothing else survives.
 *
 *   POWERCUT_DIR     the watched folder (absolute, resolved)
 *   POWERCUT_SHADOW  where the record goes (outside the watched folder)
 *   POWERCUT_CUT     N: SIGKILL before the Nth call that changes or syncs
 *                    something under the folder (none: never)
 *
 * The record, <shadow>/log, one line per write(2):
 *   R ino            the watched folder itself
 *   N ino            a new file or folder (perhaps with a freed number):
 *                    nothing of it is durable yet
 *   F ino snapshot   a file synced: its contents as they were then
 *   D ino listing    a folder synced: its names (type, inode, name[, target])
 *   K n call path    killed before call n
 *   E n              the process ended after n calls
 * The folder as it is at start counts as durable.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FDS 65536

static char g_dir[PATH_MAX];
static size_t g_dirLen;
static char g_shadow[PATH_MAX];
static int g_log = -1;
static long g_cut;
static long g_calls;
static long g_seq;
static unsigned char g_watched[MAX_FDS];

/* The shim's own file work goes straight to the kernel, never through the
 * wrappers below. */
static int sysOpen(const char *path, int flags, mode_t mode)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode);
}

static void sysWriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = syscall(SYS_write, fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= (size_t)n;
    }
}

static void logLine(const char *fmt, ...)
{
    char line[PATH_MAX + 128];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (g_log >= 0 && n > 0)
        sysWriteAll(g_log, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

static int under(const char *abs)
{
    return g_dirLen > 0 && strncmp(abs, g_dir, g_dirLen) == 0
            && (abs[g_dirLen] == '/' || abs[g_dirLen] == '\0');
}

/* Absolute form of a path given relative to dirfd (no resolution of "..":
 * the hosts hand absolute, clean paths). */
static void absolutePath(int dirfd, const char *path, char *out)
{
    if (path[0] == '/') {
        snprintf(out, PATH_MAX, "%s", path);
        return;
    }
    char base[PATH_MAX] = "";
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            base[0] = '\0';
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, base, sizeof base - 1);
        base[n > 0 ? n : 0] = '\0';
    }
    snprintf(out, PATH_MAX, "%s/%s", base, path);
}

static int fdPath(int fd, char *out)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, PATH_MAX - 1);
    if (n <= 0)
        return 0;
    out[n] = '\0';
    return 1;
}

static int watchedFd(int fd)
{
    return fd >= 0 && fd < MAX_FDS && g_watched[fd];
}

static void count(const char *call, const char *path)
{
    long n = __atomic_add_fetch(&g_calls, 1, __ATOMIC_SEQ_CST);
    if (g_cut > 0 && n == g_cut) {
        logLine("K %ld %s %s\n", n, call, path ? path : "");
        kill(getpid(), SIGKILL);
    }
}

static void countFd(const char *call, int fd)
{
    if (!watchedFd(fd))
        return;
    char path[PATH_MAX];
    count(call, fdPath(fd, path) ? path : "?");
}

/* Copies what the file holds now into a snapshot and records it. */
static void snapshotFile(int fd, ino_t ino)
{
    char snap[PATH_MAX + 32];
    long seq = __atomic_add_fetch(&g_seq, 1, __ATOMIC_SEQ_CST);
    snprintf(snap, sizeof snap, "%s/s%ld", g_shadow, seq);
    int out = sysOpen(snap, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0)
        return;
    char buf[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = syscall(SYS_pread64, fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sysWriteAll(out, buf, (size_t)n);
        at += n;
    }
    syscall(SYS_close, out);
    logLine("F %lu s%ld\n", (unsigned long)ino, seq);
}

static void snapshotFolder(const char *path, ino_t ino)
{
    char listing[PATH_MAX + 32];
    long seq = __atomic_add_fetch(&g_seq, 1, __ATOMIC_SEQ_CST);
    snprintf(listing, sizeof listing, "%s/d%ld", g_shadow, seq);
    DIR *d = opendir(path);
    if (!d)
        return;
    int out = sysOpen(listing, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) {
        closedir(d);
        return;
    }
    struct dirent *e;
    while ((e = readdir(d))) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        char child[PATH_MAX], line[2 * PATH_MAX + 64], target[PATH_MAX] = "";
        struct stat st;
        snprintf(child, sizeof child, "%s/%s", path, e->d_name);
        if (lstat(child, &st) != 0)
            continue;
        char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        if (type == 'l') {
            ssize_t n = readlink(child, target, sizeof target - 1);
            target[n > 0 ? n : 0] = '\0';
        }
        int n = snprintf(line, sizeof line, "%c\t%lu\t%s\t%s\n", type, (unsigned long)st.st_ino,
                         e->d_name, target);
        sysWriteAll(out, line, (size_t)n);
    }
    closedir(d);
    syscall(SYS_close, out);
    logLine("D %lu d%ld\n", (unsigned long)ino, seq);
}

/* The folder as it is at start: all of it durable. */
static void snapshotTree(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    snapshotFolder(path, st.st_ino);
    DIR *d = opendir(path);
    if (!d)
        return;
    struct dirent *e;
    while ((e = readdir(d))) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        char child[PATH_MAX];
        struct stat cs;
        snprintf(child, sizeof child, "%s/%s", path, e->d_name);
        if (lstat(child, &cs) != 0)
            continue;
        if (S_ISDIR(cs.st_mode)) {
            snapshotTree(child);
        } else if (S_ISREG(cs.st_mode)) {
            int fd = sysOpen(child, O_RDONLY, 0);
            if (fd >= 0) {
                snapshotFile(fd, cs.st_ino);
                syscall(SYS_close, fd);
            }
        }
    }
    closedir(d);
}

static void afterSync(int fd, int rc)
{
    if (rc != 0 || !watchedFd(fd))
        return;
    struct stat st;
    char path[PATH_MAX];
    if (fstat(fd, &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (fdPath(fd, path))
            snapshotFolder(path, st.st_ino);
    } else if (S_ISREG(st.st_mode)) {
        snapshotFile(fd, st.st_ino);
    }
}

__attribute__((constructor)) static void powercutStart(void)
{
    const char *dir = getenv("POWERCUT_DIR");
    const char *shadow = getenv("POWERCUT_SHADOW");
    const char *cut = getenv("POWERCUT_CUT");
    if (!dir || !shadow || !*dir || !*shadow)
        return;
    snprintf(g_dir, sizeof g_dir, "%s", dir);
    g_dirLen = strlen(g_dir);
    while (g_dirLen > 1 && g_dir[g_dirLen - 1] == '/')
        g_dir[--g_dirLen] = '\0';
    snprintf(g_shadow, sizeof g_shadow, "%s", shadow);
    g_cut = cut ? atol(cut) : 0;
    char logPath[PATH_MAX + 8];
    snprintf(logPath, sizeof logPath, "%s/log", g_shadow);
    g_log = sysOpen(logPath, O_WRONLY | O_CREAT | O_APPEND, 0600);
    struct stat st;
    if (stat(g_dir, &st) == 0)
        logLine("R %lu\n", (unsigned long)st.st_ino);
    snapshotTree(g_dir);
    /* Processes the host starts are not watched. */
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void powercutEnd(void)
{
    logLine("E %ld\n", __atomic_load_n(&g_calls, __ATOMIC_SEQ_CST));
}

#define REAL(ret, name, ...)                                                                     \
    static ret (*real)(__VA_ARGS__);                                                             \
    if (!real)                                                                                   \
        real = (ret(*)(__VA_ARGS__))dlsym(RTLD_NEXT, name)

static int tracked(int fd, int flags, int existed)
{
    if (fd < 0 || fd >= MAX_FDS || g_dirLen == 0)
        return fd;
    char path[PATH_MAX];
    g_watched[fd] = fdPath(fd, path) && under(path);
    /* A new file may get the number of one freed before. */
    const int fresh = ((flags & O_CREAT) && !existed) || (flags & O_TMPFILE) == O_TMPFILE;
    if (g_watched[fd] && fresh) {
        struct stat st;
        if (fstat(fd, &st) == 0)
            logLine("N %lu\n", (unsigned long)st.st_ino);
    }
    return fd;
}

static int openCommon(int dirfd, const char *path, int flags, mode_t mode, int *existed)
{
    char abs[PATH_MAX];
    absolutePath(dirfd, path, abs);
    *existed = 1;
    if (under(abs) && (flags & (O_CREAT | O_TRUNC))) {
        struct stat st;
        *existed = lstat(abs, &st) == 0;
        count("open", abs);
    }
    (void)mode;
    return 0;
}

static mode_t modeArg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    REAL(int, "open", const char *, int, ...);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    int existed;
    openCommon(AT_FDCWD, path, flags, mode, &existed);
    return tracked(real(path, flags, mode), flags, existed);
}

int open64(const char *path, int flags, ...)
{
    REAL(int, "open64", const char *, int, ...);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    int existed;
    openCommon(AT_FDCWD, path, flags, mode, &existed);
    return tracked(real(path, flags, mode), flags, existed);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    REAL(int, "openat", int, const char *, int, ...);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    int existed;
    openCommon(dirfd, path, flags, mode, &existed);
    return tracked(real(dirfd, path, flags, mode), flags, existed);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    REAL(int, "openat64", int, const char *, int, ...);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    int existed;
    openCommon(dirfd, path, flags, mode, &existed);
    return tracked(real(dirfd, path, flags, mode), flags, existed);
}

int creat(const char *path, mode_t mode)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

int creat64(const char *path, mode_t mode)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    REAL(ssize_t, "write", int, const void *, size_t);
    countFd("write", fd);
    return real(fd, buf, n);
}

ssize_t writev(int fd, const struct iovec *iov, int n)
{
    REAL(ssize_t, "writev", int, const struct iovec *, int);
    countFd("writev", fd);
    return real(fd, iov, n);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t at)
{
    REAL(ssize_t, "pwrite", int, const void *, size_t, off_t);
    countFd("pwrite", fd);
    return real(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at)
{
    REAL(ssize_t, "pwrite64", int, const void *, size_t, off64_t);
    countFd("pwrite", fd);
    return real(fd, buf, n, at);
}

int ftruncate(int fd, off_t size)
{
    REAL(int, "ftruncate", int, off_t);
    countFd("ftruncate", fd);
    return real(fd, size);
}

int ftruncate64(int fd, off64_t size)
{
    REAL(int, "ftruncate64", int, off64_t);
    countFd("ftruncate", fd);
    return real(fd, size);
}

int fsync(int fd)
{
    REAL(int, "fsync", int);
    countFd("fsync", fd);
    int rc = real(fd);
    afterSync(fd, rc);
    return rc;
}

int fdatasync(int fd)
{
    REAL(int, "fdatasync", int);
    countFd("fdatasync", fd);
    int rc = real(fd);
    afterSync(fd, rc);
    return rc;
}

int close(int fd)
{
    REAL(int, "close", int);
    countFd("close", fd);
    if (fd >= 0 && fd < MAX_FDS)
        g_watched[fd] = 0;
    return real(fd);
}

static void countPath(const char *call, int dirfd, const char *path)
{
    char abs[PATH_MAX];
    absolutePath(dirfd, path, abs);
    if (under(abs))
        count(call, abs);
}

int rename(const char *from, const char *to)
{
    REAL(int, "rename", const char *, const char *);
    countPath("rename", AT_FDCWD, to);
    return real(from, to);
}

int renameat(int fromfd, const char *from, int tofd, const char *to)
{
    REAL(int, "renameat", int, const char *, int, const char *);
    (void)fromfd;
    countPath("rename", tofd, to);
    return real(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char *from, int tofd, const char *to, unsigned flags)
{
    REAL(int, "renameat2", int, const char *, int, const char *, unsigned);
    countPath("rename", tofd, to);
    return real(fromfd, from, tofd, to, flags);
}

int link(const char *from, const char *to)
{
    REAL(int, "link", const char *, const char *);
    countPath("link", AT_FDCWD, to);
    return real(from, to);
}

int linkat(int fromfd, const char *from, int tofd, const char *to, int flags)
{
    REAL(int, "linkat", int, const char *, int, const char *, int);
    countPath("link", tofd, to);
    return real(fromfd, from, tofd, to, flags);
}

int symlink(const char *target, const char *to)
{
    REAL(int, "symlink", const char *, const char *);
    countPath("symlink", AT_FDCWD, to);
    return real(target, to);
}

int unlink(const char *path)
{
    REAL(int, "unlink", const char *);
    countPath("unlink", AT_FDCWD, path);
    return real(path);
}

int unlinkat(int dirfd, const char *path, int flags)
{
    REAL(int, "unlinkat", int, const char *, int);
    countPath("unlink", dirfd, path);
    return real(dirfd, path, flags);
}

int rmdir(const char *path)
{
    REAL(int, "rmdir", const char *);
    countPath("rmdir", AT_FDCWD, path);
    return real(path);
}

static void newFolder(int dirfd, const char *path, int rc)
{
    char abs[PATH_MAX];
    struct stat st;
    absolutePath(dirfd, path, abs);
    if (rc == 0 && under(abs) && stat(abs, &st) == 0)
        logLine("N %lu\n", (unsigned long)st.st_ino);
}

int mkdir(const char *path, mode_t mode)
{
    REAL(int, "mkdir", const char *, mode_t);
    countPath("mkdir", AT_FDCWD, path);
    int rc = real(path, mode);
    newFolder(AT_FDCWD, path, rc);
    return rc;
}

int mkdirat(int dirfd, const char *path, mode_t mode)
{
    REAL(int, "mkdirat", int, const char *, mode_t);
    countPath("mkdir", dirfd, path);
    int rc = real(dirfd, path, mode);
    newFolder(dirfd, path, rc);
    return rc;
}
