/* The calls between the interposer (interpose.c) and the device (C++): the
 * device side of each interposed call, and the next definitions of the
 * interposed calls for the device itself. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The device side. vcam_claims_path: 1 for a node of the device, -1 for one
 * that has been unplugged (it is gone), 0 for any other path. */
int vcam_claims_path(const char* path, int* node);
int vcam_is_device(int fd);
int vcam_open(int node, int flags);
/* A camera's button: 1 when path is the event node of a camera with one. Its
 * open gives the reading end of a socket that the camera's presses reach as
 * input events; the descriptor is a plain one, not the device's. */
int vcam_claims_button(const char* path, int* node);
int vcam_open_button(int node, int flags);
int vcam_close(int fd);
int vcam_dup(int fd);
/* copy, a new descriptor of fd's open file made by the caller, joins it. */
int vcam_dup_to(int fd, int copy);
/* Forgets a descriptor that is about to be replaced (dup2 onto it). */
void vcam_forget(int fd);
/* What poll reports for a descriptor now: POLLIN, POLLPRI, POLLERR, POLLHUP. */
short vcam_poll_events(int fd, short requested);
int vcam_ioctl(int fd, unsigned long request, void* argument);
void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset);
void vcam_fill_stat(int node, void* stat);
int vcam_node_of(int fd);

/* The next definitions, for the device's own files and buffers. */
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
