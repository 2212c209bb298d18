/* The libc calls that the virtual camera interposes. Each call on one of its
 * nodes or descriptors goes to the device; every other call goes to the next
 * definition, as if this file were not there. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "bridge.h"

#define NEXT(name, type)                                                                                               \
    static type next_##name(void) {                                                                                    \
        static type fn;                                                                                                \
        if (!fn) fn = (type)dlsym(RTLD_NEXT, #name);                                                                   \
        return fn;                                                                                                     \
    }

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*openat2_fn)(int, const char*, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef void* (*mmap_fn)(void*, size_t, int, int, int, off_t);
typedef void* (*mmap64_fn)(void*, size_t, int, int, int, off64_t);
typedef int (*munmap_fn)(void*, size_t);
typedef int (*stat_fn)(const char*, struct stat*);
typedef int (*fstat_fn)(int, struct stat*);
typedef int (*stat64_fn)(const char*, struct stat64*);
typedef int (*fstat64_fn)(int, struct stat64*);
typedef int (*access_fn)(const char*, int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef long (*syscall_fn)(long, ...);
typedef int (*poll_fn)(struct pollfd*, nfds_t, int);
typedef int (*ppoll_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
typedef int (*select_fn)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
typedef int (*pselect_fn)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);

NEXT(open, open_fn)
NEXT(open64, open_fn)
NEXT(openat, openat_fn)
NEXT(openat64, openat_fn)
NEXT(__open_2, open2_fn)
NEXT(__open64_2, open2_fn)
NEXT(__openat_2, openat2_fn)
NEXT(close, close_fn)
NEXT(dup, close_fn)
NEXT(ioctl, ioctl_fn)
NEXT(mmap, mmap_fn)
NEXT(mmap64, mmap64_fn)
NEXT(munmap, munmap_fn)
NEXT(stat, stat_fn)
NEXT(fstat, fstat_fn)
NEXT(stat64, stat64_fn)
NEXT(fstat64, fstat64_fn)
NEXT(access, access_fn)
NEXT(dup2, dup2_fn)
NEXT(dup3, dup3_fn)
NEXT(fcntl, fcntl_fn)
NEXT(fcntl64, fcntl_fn)
NEXT(syscall, syscall_fn)
NEXT(poll, poll_fn)
NEXT(ppoll, ppoll_fn)
NEXT(select, select_fn)
NEXT(pselect, pselect_fn)

/* Descriptors of the device, marked by the device itself. This file is built
 * without sanitizer instrumentation, and these checks keep calls of the
 * sanitizer runtimes (made before they are ready) out of instrumented code. */
#define FAST_TABLE_SIZE 65536
static unsigned char device_fds[FAST_TABLE_SIZE];

void vcam_mark_fd(int fd, int on) {
    if (fd >= 0 && fd < FAST_TABLE_SIZE) __atomic_store_n(&device_fds[fd], (unsigned char)on, __ATOMIC_RELEASE);
}

static int is_device(int fd) {
    if (fd < 0) return 0;
    if (fd < FAST_TABLE_SIZE) return __atomic_load_n(&device_fds[fd], __ATOMIC_ACQUIRE);
    return vcam_is_device(fd);
}

static int needs_mode(int flags) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

static mode_t mode_argument(int flags, va_list args) {
    return needs_mode(flags) ? (mode_t)va_arg(args, int) : 0;
}

/* Whether a relative path may name a device node: only its last part counts. */
static int may_name_node(const char* path) {
    const char* last = strrchr(path, '/');
    return strncmp(last ? last + 1 : path, "video", 5) == 0;
}

/* The absolute form of path relative to dirfd, with "." and ".." resolved; 0
 * when it cannot be made. A folder under umockdev's testbed counts as the
 * folder it stands for. */
static int absolute_path(int dirfd, const char* path, char* out, size_t size) {
    char joined[PATH_MAX];
    if (path[0] == '/') {
        if (strlen(path) >= sizeof(joined)) return 0;
        strcpy(joined, path);
    } else {
        char base[PATH_MAX];
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof(base))) return 0;
        } else {
            char link[64];
            snprintf(link, sizeof(link), "/proc/self/fd/%d", dirfd);
            ssize_t n = readlink(link, base, sizeof(base) - 1);
            if (n < 0) return 0;
            base[n] = 0;
        }
        const char* testbed = getenv("UMOCKDEV_DIR");
        size_t skip = 0;
        if (testbed && *testbed && strncmp(base, testbed, strlen(testbed)) == 0 && base[strlen(testbed)] == '/')
            skip = strlen(testbed);
        if ((size_t)snprintf(joined, sizeof(joined), "%s/%s", base + skip, path) >= sizeof(joined)) return 0;
    }
    /* Resolve the parts in place. */
    size_t length = 0;
    out[0] = 0;
    char* rest = NULL; /* strtok_r: several threads open files at once */
    for (char* part = strtok_r(joined, "/", &rest); part; part = strtok_r(NULL, "/", &rest)) {
        if (strcmp(part, ".") == 0) continue;
        if (strcmp(part, "..") == 0) {
            while (length > 0 && out[length - 1] != '/') --length;
            if (length > 0) --length;
            out[length] = 0;
            continue;
        }
        size_t n = strlen(part);
        if (length + 1 + n + 1 > size) return 0;
        out[length++] = '/';
        memcpy(out + length, part, n + 1);
        length += n;
    }
    if (length == 0) strcpy(out, "/");
    return 1;
}

/* 1 when path names a node of the device, -1 when it names one that has been
 * unplugged (it is gone), 0 otherwise. */
static int claimed(int dirfd, const char* path, int* node) {
    if (!path) return 0;
    /* A camera's button: its event node, opened by absolute path as input devices are. */
    if (strncmp(path, "/dev/input/event", 16) == 0) return vcam_claims_button(path, node) ? 2 : 0;
    if (path[0] == '/') return strncmp(path, "/dev/video", 10) == 0 ? vcam_claims_path(path, node) : 0;
    if (!may_name_node(path)) return 0;
    char absolute[PATH_MAX];
    if (!absolute_path(dirfd, path, absolute, sizeof(absolute))) return 0;
    return strncmp(absolute, "/dev/video", 10) == 0 ? vcam_claims_path(absolute, node) : 0;
}

static int gone(void) {
    errno = ENOENT;
    return -1;
}

#define OPEN_DEVICE(dirfd, path, flags)                                                                                \
    do {                                                                                                               \
        int node_, claim_ = claimed((dirfd), (path), &node_);                                                          \
        if (claim_ == 2) return vcam_open_button(node_, (flags));                                                      \
        if (claim_ > 0) return vcam_open(node_, (flags));                                                              \
        if (claim_ < 0) return gone();                                                                                 \
    } while (0)

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    OPEN_DEVICE(AT_FDCWD, path, flags);
    return next_open()(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    OPEN_DEVICE(AT_FDCWD, path, flags);
    return next_open64()(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    OPEN_DEVICE(dirfd, path, flags);
    return next_openat()(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    OPEN_DEVICE(dirfd, path, flags);
    return next_openat64()(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) {
    OPEN_DEVICE(AT_FDCWD, path, flags);
    return next___open_2()(path, flags);
}

int __open64_2(const char* path, int flags) {
    OPEN_DEVICE(AT_FDCWD, path, flags);
    return next___open64_2()(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags) {
    OPEN_DEVICE(dirfd, path, flags);
    return next___openat_2()(dirfd, path, flags);
}

int close(int fd) {
    if (is_device(fd)) return vcam_close(fd);
    return next_close()(fd);
}

int dup(int fd) {
    if (is_device(fd)) return vcam_dup(fd);
    return next_dup()(fd);
}

/* A descriptor that dup2 or dup3 puts over a descriptor of the device closes it. */
static int dup_onto(int oldfd, int newfd, int flags, int use_dup3) {
    const int device = is_device(oldfd);
    if (oldfd != newfd && is_device(newfd) && next_fcntl()(oldfd, F_GETFD) >= 0) vcam_forget(newfd);
    int copy = use_dup3 ? next_dup3()(oldfd, newfd, flags) : next_dup2()(oldfd, newfd);
    if (copy < 0 || !device || copy == oldfd) return copy;
    return vcam_dup_to(oldfd, copy);
}

int dup2(int oldfd, int newfd) {
    return dup_onto(oldfd, newfd, 0, 0);
}

int dup3(int oldfd, int newfd, int flags) {
    return dup_onto(oldfd, newfd, flags, 1);
}

static int fcntl_with(fcntl_fn next, int fd, int command, va_list args) {
    void* argument = va_arg(args, void*);
    int result = next(fd, command, argument);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC) && is_device(fd))
        return vcam_dup_to(fd, result);
    return result;
}

int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    int result = fcntl_with(next_fcntl(), fd, command, args);
    va_end(args);
    return result;
}

int fcntl64(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    int result = fcntl_with(next_fcntl64(), fd, command, args);
    va_end(args);
    return result;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (is_device(fd)) return vcam_ioctl(fd, request, argument);
    return next_ioctl()(fd, request, argument);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (fd >= 0 && is_device(fd)) return vcam_mmap(address, length, protection, flags, fd, offset);
    return next_mmap()(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
    if (fd >= 0 && is_device(fd)) return vcam_mmap(address, length, protection, flags, fd, offset);
    return next_mmap64()(address, length, protection, flags, fd, offset);
}

/* Buffers are mappings of the device's own memory file, so unmapping them is
 * the ordinary call. */
int munmap(void* address, size_t length) {
    return next_munmap()(address, length);
}

int stat(const char* path, struct stat* st) {
    int node, claim = claimed(AT_FDCWD, path, &node);
    if (claim < 0) return gone();
    if (claim == 1) {
        vcam_fill_stat(node, st);
        return 0;
    }
    return next_stat()(path, st);
}

int fstat(int fd, struct stat* st) {
    if (is_device(fd)) {
        vcam_fill_stat(vcam_node_of(fd), st);
        return 0;
    }
    return next_fstat()(fd, st);
}

int stat64(const char* path, struct stat64* st) {
    int node, claim = claimed(AT_FDCWD, path, &node);
    if (claim < 0) return gone();
    if (claim == 1) {
        vcam_fill_stat(node, st);
        return 0;
    }
    return next_stat64()(path, st);
}

int access(const char* path, int mode) {
    int node, claim = claimed(AT_FDCWD, path, &node);
    if (claim < 0) return gone();
    if (claim > 0) return 0;
    return next_access()(path, mode);
}

int fstat64(int fd, struct stat64* st) {
    if (is_device(fd)) {
        vcam_fill_stat(vcam_node_of(fd), st);
        return 0;
    }
    return next_fstat64()(fd, st);
}

/* libv4l2 makes its calls through syscall(2); those on the device go to it. */
long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    switch (number) {
    case SYS_open: {
        OPEN_DEVICE(AT_FDCWD, (const char*)a[0], (int)a[1]);
        break;
    }
    case SYS_openat: {
        OPEN_DEVICE((int)a[0], (const char*)a[1], (int)a[2]);
        break;
    }
    case SYS_close:
        if (is_device((int)a[0])) return vcam_close((int)a[0]);
        break;
    case SYS_ioctl:
        if (is_device((int)a[0])) return vcam_ioctl((int)a[0], (unsigned long)a[1], (void*)a[2]);
        break;
    case SYS_mmap:
        if ((int)a[4] >= 0 && is_device((int)a[4]))
            return (long)vcam_mmap((void*)a[0], (size_t)a[1], (int)a[2], (int)a[3], (int)a[4], a[5]);
        break;
    case SYS_dup:
        if (is_device((int)a[0])) return vcam_dup((int)a[0]);
        break;
    case SYS_dup2:
        return dup_onto((int)a[0], (int)a[1], 0, 0);
    case SYS_dup3:
        return dup_onto((int)a[0], (int)a[1], (int)a[2], 1);
    case SYS_read:
    case SYS_write:
        if (is_device((int)a[0])) { /* streaming only, as the capabilities say */
            errno = EINVAL;
            return -1;
        }
        break;
    default:
        break;
    }
    return next_syscall()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

static long long now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* poll over a set with descriptors of the device: the device says what each
 * of its descriptors reports (POLLIN, POLLPRI, POLLERR, POLLHUP); its
 * descriptor becomes readable whenever that may have changed, so the wait
 * itself is the ordinary one. */
static int poll_devices(struct pollfd* fds, nfds_t count, long long timeout_ms, const sigset_t* mask) {
    struct pollfd local[64];
    struct pollfd* copy = count <= 64 ? local : malloc(count * sizeof(*copy));
    if (!copy) {
        errno = ENOMEM;
        return -1;
    }
    const long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    int result = 0;
    for (;;) {
        int reported = 0;
        for (nfds_t i = 0; i < count; ++i) {
            copy[i] = fds[i];
            copy[i].revents = 0;
            fds[i].revents = 0;
            if (fds[i].fd >= 0 && is_device(fds[i].fd)) {
                fds[i].revents = vcam_poll_events(fds[i].fd, fds[i].events);
                if (fds[i].revents) ++reported;
                copy[i].events = POLLIN;
            }
        }
        long long wait = reported ? 0 : deadline < 0 ? -1 : deadline - now_ms();
        if (wait < -1) wait = 0;
        int ready;
        if (mask) {
            struct timespec ts = {wait / 1000, (wait % 1000) * 1000000};
            ready = next_ppoll()(copy, count, wait < 0 ? NULL : &ts, mask);
        } else {
            ready = next_poll()(copy, count, (int)(wait > INT_MAX ? INT_MAX : wait));
        }
        if (ready < 0) {
            result = -1;
            break;
        }
        int found = 0, idle_device = 0;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].fd >= 0 && is_device(fds[i].fd)) {
                if (!fds[i].revents && (copy[i].revents & POLLIN)) {
                    fds[i].revents = vcam_poll_events(fds[i].fd, fds[i].events);
                    if (!fds[i].revents) idle_device = 1;
                }
            } else {
                fds[i].revents = copy[i].revents;
            }
            if (fds[i].revents) ++found;
        }
        if (found || wait == 0) {
            result = found;
            break;
        }
        if (deadline >= 0 && now_ms() >= deadline) break;
        if (idle_device) { /* something the caller did not ask for is pending: look again shortly */
            struct timespec pause = {0, 5 * 1000000};
            nanosleep(&pause, NULL);
        }
    }
    if (copy != local) free(copy);
    return result;
}

static int has_device(const struct pollfd* fds, nfds_t count) {
    for (nfds_t i = 0; i < count; ++i)
        if (fds[i].fd >= 0 && is_device(fds[i].fd)) return 1;
    return 0;
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (!has_device(fds, count)) return next_poll()(fds, count, timeout);
    return poll_devices(fds, count, timeout, NULL);
}

int __poll_chk(struct pollfd* fds, nfds_t count, int timeout, size_t size) {
    (void)size;
    return poll(fds, count, timeout);
}

static long long timespec_ms(const struct timespec* t) {
    return t ? (long long)t->tv_sec * 1000 + (t->tv_nsec + 999999) / 1000000 : -1;
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
    if (!has_device(fds, count)) return next_ppoll()(fds, count, timeout, mask);
    static sigset_t unchanged;
    if (!mask) {
        sigprocmask(SIG_SETMASK, NULL, &unchanged);
        mask = &unchanged;
    }
    return poll_devices(fds, count, timespec_ms(timeout), mask);
}

int __ppoll_chk(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask, size_t size) {
    (void)size;
    return ppoll(fds, count, timeout, mask);
}

/* select as poll, when a descriptor of the device is in one of the sets. */
static int select_devices(int nfds, fd_set* readable, fd_set* writable, fd_set* exceptional, long long timeout_ms,
                          const sigset_t* mask, int* handled) {
    *handled = 0;
    int devices = 0;
    nfds_t count = 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        const int in = (readable && FD_ISSET(fd, readable)) || (writable && FD_ISSET(fd, writable)) ||
                       (exceptional && FD_ISSET(fd, exceptional));
        if (!in) continue;
        ++count;
        if (is_device(fd)) devices = 1;
    }
    if (!devices) return 0;
    *handled = 1;
    struct pollfd* fds = calloc(count ? count : 1, sizeof(*fds));
    if (!fds) {
        errno = ENOMEM;
        return -1;
    }
    nfds_t n = 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (readable && FD_ISSET(fd, readable)) events |= POLLIN;
        if (writable && FD_ISSET(fd, writable)) events |= POLLOUT;
        if (exceptional && FD_ISSET(fd, exceptional)) events |= POLLPRI;
        if (events) fds[n++] = (struct pollfd){fd, events, 0};
    }
    int ready = poll_devices(fds, n, timeout_ms, mask);
    if (ready < 0) {
        free(fds);
        return -1;
    }
    int bits = 0;
    if (readable) FD_ZERO(readable);
    if (writable) FD_ZERO(writable);
    if (exceptional) FD_ZERO(exceptional);
    for (nfds_t i = 0; i < n; ++i) {
        const short r = fds[i].revents;
        if (r & POLLNVAL) {
            free(fds);
            errno = EBADF;
            return -1;
        }
        if ((fds[i].events & POLLIN) && (r & (POLLIN | POLLHUP | POLLERR))) FD_SET(fds[i].fd, readable), ++bits;
        if ((fds[i].events & POLLOUT) && (r & (POLLOUT | POLLERR))) FD_SET(fds[i].fd, writable), ++bits;
        if ((fds[i].events & POLLPRI) && (r & POLLPRI)) FD_SET(fds[i].fd, exceptional), ++bits;
    }
    free(fds);
    return bits;
}

int select(int nfds, fd_set* readable, fd_set* writable, fd_set* exceptional, struct timeval* timeout) {
    int handled;
    long long ms = timeout ? (long long)timeout->tv_sec * 1000 + (timeout->tv_usec + 999) / 1000 : -1;
    int result = select_devices(nfds, readable, writable, exceptional, ms, NULL, &handled);
    if (handled) return result;
    return next_select()(nfds, readable, writable, exceptional, timeout);
}

int pselect(int nfds, fd_set* readable, fd_set* writable, fd_set* exceptional, const struct timespec* timeout,
            const sigset_t* mask) {
    int handled;
    sigset_t unchanged;
    if (!mask) {
        sigprocmask(SIG_SETMASK, NULL, &unchanged);
        mask = &unchanged;
    }
    int result = select_devices(nfds, readable, writable, exceptional, timespec_ms(timeout), mask, &handled);
    if (handled) return result;
    return next_pselect()(nfds, readable, writable, exceptional, timeout, mask);
}

int vcam_real_poll(struct pollfd* fds, unsigned long count, int timeout) {
    return next_poll()(fds, (nfds_t)count, timeout);
}

int vcam_real_close(int fd) {
    return next_close()(fd);
}
int vcam_real_dup(int fd) {
    return next_dup()(fd);
}
void* vcam_real_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset) {
    return next_mmap()(address, length, protection, flags, fd, (off_t)offset);
}
int vcam_real_munmap(void* address, size_t length) {
    return next_munmap()(address, length);
}
