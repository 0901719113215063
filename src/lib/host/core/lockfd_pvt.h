/*
 * lockfd_pvt.h -- descriptors whose file locks must stay with this process.
 *
 * A lock taken through an open file description (F_OFD_SETLK) belongs to the
 * description, and a child forked without exec shares every description of
 * its parent -- through its descriptors and through every shared mapping of
 * the file: after the parent closes its descriptor the child would keep the
 * lock alive for as long as it runs.  So:
 *   - a descriptor entered here is, in every child forked afterwards,
 *     pointed at /dev/null at once (closed if that cannot be opened); the
 *     number stays taken in the child, so its later close of the descriptor
 *     closes nothing of anyone else's;
 *   - a mapping of such a file made with hk_lockfd_mmap is not passed on to
 *     children at all (a child touching it faults: a child forked without
 *     exec must leave its parent's locked files alone).
 * The one moment a child still shares the lock is between its fork and its
 * first instruction.
 *
 * Thread-safe.  Not for a program that forks from a signal handler while
 * another thread is inside these calls.
 */
#ifndef HOSTKIT_LOCKFD_PVT_H
#define HOSTKIT_LOCKFD_PVT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Enters fd; 0, or -1 with "<fname>: cannot keep lock descriptor (out of
 * memory).\n" (flag 1). */
int hk_lockfd_keep(const char *fname, int fd);
/* Takes fd out again (before it is closed); unknown descriptors are ignored. */
void hk_lockfd_drop(int fd);
/* mmap(0, len, prot, MAP_SHARED, fd, 0) that no child inherits; MAP_FAILED
 * on failure (errno set; no message). */
void *hk_lockfd_mmap(size_t len, int prot, int fd);

#ifdef __cplusplus
}
#endif

#endif
