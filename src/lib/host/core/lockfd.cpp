// Descriptors holding file locks that forked children must not share: a
// fork handler points them at /dev/null in the child, and mappings of their
// files are not inherited (see lockfd_pvt.h).

#include "lockfd_pvt.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "stock.h"

namespace {

// The kept descriptors, unordered.  Guarded by lock_mutex, which the fork
// handlers hold across the fork so the child sees a whole list.
pthread_mutex_t lock_mutex = PTHREAD_MUTEX_INITIALIZER;
int *kept = nullptr;
size_t nkept = 0, room = 0;
bool handlers_set = false;

void before_fork() { pthread_mutex_lock(&lock_mutex); }
void after_fork_parent() { pthread_mutex_unlock(&lock_mutex); }

// Only async-signal-safe calls: the child of a threaded parent may be in
// any state.
void after_fork_child() {
    int null_fd = nkept ? open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
    for (size_t i = 0; i < nkept; i++) {
        if (null_fd < 0 || dup3(null_fd, kept[i], O_CLOEXEC) < 0) close(kept[i]);
    }
    if (null_fd >= 0) close(null_fd);
    nkept = 0;  // none of them holds a lock here any more
    pthread_mutex_unlock(&lock_mutex);
}

}  // namespace

extern "C" {

int hk_lockfd_keep(const char *fname, int fd) {
    if (fd < 0) return 0;
    pthread_mutex_lock(&lock_mutex);
    int rc = 0;
    if (!handlers_set) {
        rc = pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        if (rc == 0) handlers_set = true;
    }
    if (rc == 0 && nkept == room) {
        size_t grown = room ? room * 2 : 16;
        int *p = static_cast<int *>(realloc(kept, grown * sizeof *kept));
        if (p) {
            kept = p;
            room = grown;
        } else {
            rc = ENOMEM;
        }
    }
    if (rc == 0) kept[nkept++] = fd;
    pthread_mutex_unlock(&lock_mutex);
    if (rc != 0) {
        errno = rc;
        elog_log(1, "%s: cannot keep lock descriptor (out of memory).\n", fname ? fname : "lockfd");
        return -1;
    }
    return 0;
}

void hk_lockfd_drop(int fd) {
    if (fd < 0) return;
    pthread_mutex_lock(&lock_mutex);
    for (size_t i = 0; i < nkept; i++) {
        if (kept[i] == fd) {
            kept[i] = kept[--nkept];
            break;
        }
    }
    pthread_mutex_unlock(&lock_mutex);
}

void *hk_lockfd_mmap(size_t len, int prot, int fd) {
    // Under the fork lock: no fork sees the mapping before it is marked.
    pthread_mutex_lock(&lock_mutex);
    void *m = mmap(nullptr, len, prot, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED && madvise(m, len, MADV_DONTFORK) < 0) {
        int e = errno;
        munmap(m, len);
        errno = e;
        m = MAP_FAILED;
    }
    pthread_mutex_unlock(&lock_mutex);
    return m;
}

}  // extern "C"
