/* The libc calls that the virtual camera interposes. Each call on one of its
 * nodes or descriptors goes to the device; every other call goes to the next
 * definition, as if this file were not there. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "real.h"

int vcam_claims_path(const char* path, int* node);
int vcam_is_device(int fd);
int vcam_open(int node, int flags);
int vcam_close(int fd);
int vcam_dup(int fd);
int vcam_ioctl(int fd, unsigned long request, void* argument);
void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset);
void vcam_fill_stat(int node, void* st);
int vcam_node_of(int fd);

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

static int claimed(int dirfd, const char* path, int* node) {
    (void)dirfd; /* only absolute paths name a device node */
    return path && strncmp(path, "/dev/video", 10) == 0 && vcam_claims_path(path, node);
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int node;
    if (claimed(AT_FDCWD, path, &node)) return vcam_open(node, flags);
    return next_open()(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int node;
    if (claimed(AT_FDCWD, path, &node)) return vcam_open(node, flags);
    return next_open64()(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int node;
    if (claimed(dirfd, path, &node)) return vcam_open(node, flags);
    return next_openat()(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int node;
    if (claimed(dirfd, path, &node)) return vcam_open(node, flags);
    return next_openat64()(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) {
    int node;
    if (claimed(AT_FDCWD, path, &node)) return vcam_open(node, flags);
    return next___open_2()(path, flags);
}

int __open64_2(const char* path, int flags) {
    int node;
    if (claimed(AT_FDCWD, path, &node)) return vcam_open(node, flags);
    return next___open64_2()(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags) {
    int node;
    if (claimed(dirfd, path, &node)) return vcam_open(node, flags);
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
    int node;
    if (claimed(AT_FDCWD, path, &node)) {
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
    int node;
    if (claimed(AT_FDCWD, path, &node)) {
        vcam_fill_stat(node, st);
        return 0;
    }
    return next_stat64()(path, st);
}

int fstat64(int fd, struct stat64* st) {
    if (is_device(fd)) {
        vcam_fill_stat(vcam_node_of(fd), st);
        return 0;
    }
    return next_fstat64()(fd, st);
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
