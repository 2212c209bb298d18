/* The next definitions of the interposed calls, for the device itself. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int vcam_real_close(int fd);
int vcam_real_dup(int fd);
void* vcam_real_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset);
int vcam_real_munmap(void* address, size_t length);
struct pollfd;
int vcam_real_poll(struct pollfd* fds, unsigned long count, int timeout);
/* Marks fd as a descriptor of the device, or unmarks it. */
void vcam_mark_fd(int fd, int on);

#ifdef __cplusplus
}
#endif
