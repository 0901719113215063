/*
 * guard_pvt.h -- keeps C++ exceptions inside hostkit.  The engine is written
 * with the standard containers, which throw std::bad_alloc when memory runs
 * out; an exported C function runs its body through host_guarded, which
 * turns anything thrown into the function's failure result and a message,
 * so that memory running out never ends the caller's process.
 *
 *   extern "C" int dbopen(const char *name, const char *mode, Dbptr *db) {
 *       return host_guarded("dbopen", -1, [&] { return open_common(...); });
 *   }
 *
 * The guard only reports: whatever the body had made before the throw must
 * be given back by the body itself (owners such as std::unique_ptr, or a
 * catch that undoes and rethrows), so that a failed call leaves nothing
 * half-made behind.
 *
 * Messages: "<fname>: out of memory\n" (flag 1, errno ENOMEM) when memory
 * ran out, "<fname>: unexpected internal error\n" (flag 0) for anything else.
 */
#ifndef HOSTKIT_GUARD_PVT_H
#define HOSTKIT_GUARD_PVT_H

#include <cerrno>
#include <new>

#include "stock.h"

template <class R, class F>
R host_guarded(const char *fname, R failure, F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        elog_log(1, "%s: out of memory\n", fname);
    } catch (...) {
        elog_log(0, "%s: unexpected internal error\n", fname);
    }
    return failure;
}

#endif
