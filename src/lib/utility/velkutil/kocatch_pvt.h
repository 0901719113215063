// Keeps C++ exceptions inside the library: an exported C function whose
// internals use the standard containers runs them through ko_guarded, which
// turns anything thrown into the function's failure result and a message, so
// that memory running out never ends the caller's process.
//
//   int komoment_make_arc(...) {
//       return ko_guarded("komoment_make_arc", -1, [&] { return make_arc(...); });
//   }
//
// Messages: "<fname>: malloc() error.\n" (flag 1) when memory ran out,
// "<fname>: unexpected internal error.\n" (flag 0) for anything else.
#ifndef VELKUTIL_KOCATCH_PVT_H
#define VELKUTIL_KOCATCH_PVT_H

#include <cerrno>
#include <new>

#include "stock.h"

template <class R, class F>
R ko_guarded(const char *fname, R failure, F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        elog_log(1, "%s: malloc() error.\n", fname);
    } catch (...) {
        elog_log(0, "%s: unexpected internal error.\n", fname);
    }
    return failure;
}

#endif
