// recorder.c - an LD_PRELOAD shim that logs the file operations a process
// makes inside one directory tree, for the crash-state enumerator.
//
//   TOLV_REC_LOG=FILE   the log, appended to
//   TOLV_REC_ROOT=DIR   the tree (a real path, no trailing '/'); nothing outside is logged
//
// One line per operation that changes the tree or makes it durable; names in
// hex, directories and files by inode number:
//   creat DIR NAME INO        a new file (O_CREAT on a missing name)
//   mkdir DIR NAME INO
//   symlink DIR NAME INO TARGET
//   link DIR NAME INO         a new name for an existing file
//   rename DIR NAME DIR NAME INO
//   unlink DIR NAME
//   rmdir DIR NAME
//   write INO OFFSET BYTES    bytes in hex
//   trunc INO LENGTH
//   fsync INO                 fsync and fdatasync alike
//   writeback INO             sync_file_range: the write-out of the bytes so far started
//   syncall                   sync, syncfs
// The real call is made first; only one that succeeded is logged.
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
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

static __thread int t_inside;  // the shim's own calls are not logged

static int log_fd(void) {
    static int fd = -2;
    if (fd == -2) {
        const char *p = getenv("TOLV_REC_LOG");
        fd = p ? (int)syscall(SYS_openat, AT_FDCWD, p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    }
    return fd;
}

static const char *root(void) { return getenv("TOLV_REC_ROOT"); }

static int under_root(const char *path) {
    const char *r = root();
    if (!r || !*r) return 0;
    const size_t n = strlen(r);
    return strncmp(path, r, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

// A growing line, written with one write(2).
struct Line {
    char *buf;
    size_t len, cap;
};

static void put(struct Line *l, const char *s, size_t n) {
    if (l->len + n + 1 > l->cap) {
        size_t cap = l->cap ? l->cap : 256;
        while (cap < l->len + n + 1) cap *= 2;
        char *b = realloc(l->buf, cap);
        if (!b) return;
        l->buf = b;
        l->cap = cap;
    }
    memcpy(l->buf + l->len, s, n);
    l->len += n;
}

static void put_s(struct Line *l, const char *s) { put(l, s, strlen(s)); }

static void put_num(struct Line *l, unsigned long long v) {
    char b[32];
    put(l, b, (size_t)snprintf(b, sizeof b, " %llu", v));
}

static void put_hex(struct Line *l, const void *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char *p = data;
    put_s(l, " ");
    if (n == 0) put_s(l, "-");
    for (size_t i = 0; i < n; ++i) {
        char two[2] = {digits[p[i] >> 4], digits[p[i] & 15]};
        put(l, two, 2);
    }
}

static void emit(struct Line *l) {
    put_s(l, "\n");
    const int fd = log_fd();
    if (fd >= 0 && l->buf) {
        ssize_t w = syscall(SYS_write, fd, l->buf, l->len);
        (void)w;
    }
    free(l->buf);
}

// The path of a descriptor, or of the directory a relative name starts from.
static int fd_path(int fd, char *out, size_t size) {
    if (fd == AT_FDCWD) return getcwd(out, size) ? 0 : -1;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, out, size - 1);
    if (n < 0) return -1;
    out[n] = '\0';
    return 0;
}

// The directory holding (dirfd, path) and the last name: 0 when it is under the root.
struct Where {
    char dir[PATH_MAX];
    const char *name;
    unsigned long long dir_ino;
};

static int where(int dirfd, const char *path, struct Where *w) {
    if (!root()) return -1;
    const char *slash = strrchr(path, '/');
    w->name = slash ? slash + 1 : path;
    char base[PATH_MAX];
    if (path[0] == '/') {
        base[0] = '\0';
    } else if (fd_path(dirfd, base, sizeof base) != 0) {
        return -1;
    }
    const size_t part = slash ? (size_t)(slash - path) : 0;
    if (snprintf(w->dir, sizeof w->dir, "%s%s%.*s", base, path[0] == '/' || !slash ? "" : "/", (int)part, path) >=
        (int)sizeof w->dir)
        return -1;
    if (w->dir[0] == '\0') strcpy(w->dir, "/");
    if (!under_root(w->dir)) return -1;
    struct stat st;
    if (stat(w->dir, &st) != 0) return -1;
    w->dir_ino = st.st_ino;
    return 0;
}

static int fd_under_root(int fd, unsigned long long *ino, int *is_dir) {
    char p[PATH_MAX];
    struct stat st;
    if (fd_path(fd, p, sizeof p) != 0 || !under_root(p) || fstat(fd, &st) != 0) return 0;
    *ino = st.st_ino;
    if (is_dir) *is_dir = S_ISDIR(st.st_mode);
    return 1;
}

static void op_named(const char *what, const struct Where *w) {
    struct Line l = {0};
    put_s(&l, what);
    put_num(&l, w->dir_ino);
    put_hex(&l, w->name, strlen(w->name));
    emit(&l);
}

static void op_new(const char *what, const struct Where *w, unsigned long long ino, const char *target) {
    struct Line l = {0};
    put_s(&l, what);
    put_num(&l, w->dir_ino);
    put_hex(&l, w->name, strlen(w->name));
    put_num(&l, ino);
    if (target) put_hex(&l, target, strlen(target));
    emit(&l);
}

static unsigned long long ino_at(int dirfd, const char *path) {
    struct stat st;
    return fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

#define REAL(name)                   \
    static __typeof__(name) *real_##name;  \
    if (!real_##name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

enum Which { kOpenat, kOpenat64, kOpen, kOpen64 };

static int real_open_call(enum Which which, int dirfd, const char *path, int flags, mode_t mode) {
    switch (which) {
    case kOpenat: {
        REAL(openat);
        return real_openat(dirfd, path, flags, mode);
    }
    case kOpenat64: {
        REAL(openat64);
        return real_openat64(dirfd, path, flags, mode);
    }
    case kOpen: {
        REAL(open);
        return real_open(path, flags, mode);
    }
    default: {
        REAL(open64);
        return real_open64(path, flags, mode);
    }
    }
}

static int do_openat(int dirfd, const char *path, int flags, mode_t mode, enum Which which) {
    if (t_inside || !(flags & (O_CREAT | O_TRUNC))) return real_open_call(which, dirfd, path, flags, mode);
    t_inside = 1;
    struct Where w;
    const int ours = where(dirfd, path, &w) == 0;
    const int existed = ours && ino_at(dirfd, path) != 0;
    const int fd = real_open_call(which, dirfd, path, flags, mode);
    if (fd >= 0 && ours) {
        struct stat st;
        if (fstat(fd, &st) == 0) {
            if (!existed) {
                op_new("creat", &w, st.st_ino, NULL);
            } else if (flags & O_TRUNC) {
                struct Line l = {0};
                put_s(&l, "trunc");
                put_num(&l, st.st_ino);
                put_num(&l, 0);
                emit(&l);
            }
        }
    }
    t_inside = 0;
    return fd;
}

// The mode argument is there only with O_CREAT or O_TMPFILE.
#define MODE_ARG(flags)                                                      \
    va_list ap;                                                              \
    va_start(ap, flags);                                                     \
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0; \
    va_end(ap)

int openat(int dirfd, const char *path, int flags, ...) {
    MODE_ARG(flags);
    return do_openat(dirfd, path, flags, mode, kOpenat);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    MODE_ARG(flags);
    return do_openat(dirfd, path, flags, mode, kOpenat64);
}

int open(const char *path, int flags, ...) {
    MODE_ARG(flags);
    return do_openat(AT_FDCWD, path, flags, mode, kOpen);
}

int open64(const char *path, int flags, ...) {
    MODE_ARG(flags);
    return do_openat(AT_FDCWD, path, flags, mode, kOpen64);
}

// glibc makes a temporary file with its own internal open, which no wrapper sees.
static int new_temp(int fd, const char *path) {
    struct Where w;
    struct stat st;
    if (fd >= 0 && !t_inside && where(AT_FDCWD, path, &w) == 0 && fstat(fd, &st) == 0) op_new("creat", &w, st.st_ino, NULL);
    return fd;
}

int mkostemp(char *tmpl, int flags) {
    REAL(mkostemp);
    return new_temp(real_mkostemp(tmpl, flags), tmpl);
}

int mkstemp(char *tmpl) {
    REAL(mkstemp);
    return new_temp(real_mkstemp(tmpl), tmpl);
}

// A new name made by a call that returned r.
static int new_name(int r, const char *what, int dirfd, const char *path, const char *target) {
    struct Where w;
    if (r == 0 && !t_inside && where(dirfd, path, &w) == 0) op_new(what, &w, ino_at(dirfd, path), target);
    return r;
}

int mkdirat(int dirfd, const char *path, mode_t mode) {
    REAL(mkdirat);
    return new_name(real_mkdirat(dirfd, path, mode), "mkdir", dirfd, path, NULL);
}

int mkdir(const char *path, mode_t mode) { return mkdirat(AT_FDCWD, path, mode); }

int symlinkat(const char *target, int dirfd, const char *path) {
    REAL(symlinkat);
    return new_name(real_symlinkat(target, dirfd, path), "symlink", dirfd, path, target);
}

int symlink(const char *target, const char *path) { return symlinkat(target, AT_FDCWD, path); }

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) {
    REAL(linkat);
    return new_name(real_linkat(olddirfd, oldpath, newdirfd, newpath, flags), "link", newdirfd, newpath, NULL);
}

int link(const char *oldpath, const char *newpath) { return linkat(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0); }

static int do_rename(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags) {
    REAL(renameat2);
    struct Where a, b;
    const int ours = !t_inside && where(olddirfd, oldpath, &a) == 0 && where(newdirfd, newpath, &b) == 0;
    const unsigned long long ino = ours ? ino_at(olddirfd, oldpath) : 0;
    const int r = real_renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
    if (r == 0 && ours) {
        struct Line l = {0};
        put_s(&l, "rename");
        put_num(&l, a.dir_ino);
        put_hex(&l, a.name, strlen(a.name));
        put_num(&l, b.dir_ino);
        put_hex(&l, b.name, strlen(b.name));
        put_num(&l, ino);
        emit(&l);
    }
    return r;
}

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags) {
    return do_rename(olddirfd, oldpath, newdirfd, newpath, flags);
}
int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) {
    return do_rename(olddirfd, oldpath, newdirfd, newpath, 0);
}
int rename(const char *oldpath, const char *newpath) { return do_rename(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0); }

int unlinkat(int dirfd, const char *path, int flags) {
    REAL(unlinkat);
    struct Where w;
    const int ours = !t_inside && where(dirfd, path, &w) == 0;
    const int r = real_unlinkat(dirfd, path, flags);
    if (r == 0 && ours) op_named(flags & AT_REMOVEDIR ? "rmdir" : "unlink", &w);
    return r;
}
int unlink(const char *path) { return unlinkat(AT_FDCWD, path, 0); }
int rmdir(const char *path) { return unlinkat(AT_FDCWD, path, AT_REMOVEDIR); }

static void op_write(int fd, off_t at, const struct iovec *iov, int count, ssize_t n) {
    unsigned long long ino;
    if (n <= 0 || t_inside || !fd_under_root(fd, &ino, NULL)) return;
    struct Line l = {0};
    put_s(&l, "write");
    put_num(&l, ino);
    put_num(&l, (unsigned long long)at);
    put_s(&l, " ");
    size_t left = (size_t)n;
    for (int i = 0; i < count && left > 0; ++i) {
        const size_t step = iov[i].iov_len < left ? iov[i].iov_len : left;
        static const char digits[] = "0123456789abcdef";
        const unsigned char *p = iov[i].iov_base;
        for (size_t k = 0; k < step; ++k) {
            char two[2] = {digits[p[k] >> 4], digits[p[k] & 15]};
            put(&l, two, 2);
        }
        left -= step;
    }
    emit(&l);
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
    REAL(writev);
    const ssize_t n = real_writev(fd, iov, count);
    if (n > 0) op_write(fd, lseek(fd, 0, SEEK_CUR) - n, iov, count, n);
    return n;
}

ssize_t write(int fd, const void *buf, size_t len) {
    REAL(write);
    const ssize_t n = real_write(fd, buf, len);
    if (n > 0 && !t_inside) {
        const struct iovec one = {(void *)buf, len};
        op_write(fd, lseek(fd, 0, SEEK_CUR) - n, &one, 1, n);
    }
    return n;
}

ssize_t pwrite(int fd, const void *buf, size_t len, off_t at) {
    REAL(pwrite);
    const ssize_t n = real_pwrite(fd, buf, len, at);
    const struct iovec one = {(void *)buf, len};
    op_write(fd, at, &one, 1, n);
    return n;
}

int ftruncate(int fd, off_t len) {
    REAL(ftruncate);
    const int r = real_ftruncate(fd, len);
    unsigned long long ino;
    if (r == 0 && !t_inside && fd_under_root(fd, &ino, NULL)) {
        struct Line l = {0};
        put_s(&l, "trunc");
        put_num(&l, ino);
        put_num(&l, (unsigned long long)len);
        emit(&l);
    }
    return r;
}

static void op_sync(int fd) {
    unsigned long long ino;
    if (t_inside || !fd_under_root(fd, &ino, NULL)) return;
    struct Line l = {0};
    put_s(&l, "fsync");
    put_num(&l, ino);
    emit(&l);
}

int fsync(int fd) {
    REAL(fsync);
    const int r = real_fsync(fd);
    if (r == 0) op_sync(fd);
    return r;
}

int fdatasync(int fd) {
    REAL(fdatasync);
    const int r = real_fdatasync(fd);
    if (r == 0) op_sync(fd);
    return r;
}

int sync_file_range(int fd, off64_t at, off64_t len, unsigned int flags) {
    REAL(sync_file_range);
    const int r = real_sync_file_range(fd, at, len, flags);
    unsigned long long ino;
    if (r == 0 && !t_inside && fd_under_root(fd, &ino, NULL)) {
        struct Line l = {0};
        put_s(&l, "writeback");
        put_num(&l, ino);
        emit(&l);
    }
    return r;
}

static void op_syncall(void) {
    if (t_inside) return;
    struct Line l = {0};
    put_s(&l, "syncall");
    emit(&l);
}

int syncfs(int fd) {
    REAL(syncfs);
    const int r = real_syncfs(fd);
    if (r == 0) op_syncall();
    return r;
}

void sync(void) {
    REAL(sync);
    real_sync();
    op_syncall();
}
