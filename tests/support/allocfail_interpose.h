// The allocation functions of a test program that uses the allocation
// failure hook (allocfail.h).  Include this in exactly ONE source file of the
// program: it defines malloc, calloc, realloc, free, strdup, strndup and the
// replaceable operator new/delete forms, which take the place of the C
// library's (and the library under test calls them too).  Each asks the hook
// whether to fail and otherwise forwards to the next definition, found with
// dlsym(RTLD_NEXT, ...) -- the C library, or the sanitizer runtime in a
// sanitized build, so leak checking keeps working.
//
// operator new takes its memory from the next malloc and operator delete
// gives it back with the next free: both sides of every pair go the same
// way, and each new counts as one allocation.
#ifndef RZV_TEST_ALLOCFAIL_INTERPOSE_H
#define RZV_TEST_ALLOCFAIL_INTERPOSE_H

#include <dlfcn.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "allocfail.h"

namespace rzvtest {
namespace allocfail_interpose {

using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);

inline MallocFn next_malloc = nullptr;
inline CallocFn next_calloc = nullptr;
inline ReallocFn next_realloc = nullptr;
inline FreeFn next_free = nullptr;
inline bool resolving = false;

// dlsym may allocate while the next functions are looked up: those few
// blocks come from here and are never given back.
alignas(16) inline unsigned char bootstrap[8192];
inline size_t bootstrap_used = 0;

RZV_ALLOCFAIL_RAW inline bool from_bootstrap(const void *p) {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(bootstrap);
    return a >= b && a < b + sizeof bootstrap;
}

RZV_ALLOCFAIL_RAW inline void *bootstrap_alloc(size_t n) {
    size_t at = (bootstrap_used + 15) & ~size_t(15);
    if (n > sizeof bootstrap - at) return nullptr;
    bootstrap_used = at + n;
    return bootstrap + at;  // static storage: already zero
}

RZV_ALLOCFAIL_RAW inline void resolve() {
    if (next_free || resolving) return;
    resolving = true;
    next_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    next_calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    next_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
}

RZV_ALLOCFAIL_RAW inline void *take_block(size_t n) {
    resolve();
    if (!next_malloc) return bootstrap_alloc(n);
    void *p = next_malloc(n);
    if (p) allocfail_detail::note_alloc();
    return p;
}

RZV_ALLOCFAIL_RAW inline void give_block(void *p) {
    if (!p || from_bootstrap(p)) return;
    resolve();
    allocfail_detail::note_free();
    next_free(p);
}

RZV_ALLOCFAIL_RAW inline void *new_block(size_t n) {
    if (allocfail_detail::take()) throw std::bad_alloc();
    void *p = take_block(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

RZV_ALLOCFAIL_RAW inline void *new_block_nothrow(size_t n) noexcept {
    if (allocfail_detail::take()) return nullptr;
    return take_block(n ? n : 1);
}

}  // namespace allocfail_interpose
}  // namespace rzvtest

extern "C" {

RZV_ALLOCFAIL_RAW void *malloc(size_t n) noexcept {
    if (rzvtest::allocfail_detail::take()) {
        errno = ENOMEM;
        return nullptr;
    }
    return rzvtest::allocfail_interpose::take_block(n);
}

RZV_ALLOCFAIL_RAW void *calloc(size_t n, size_t size) noexcept {
    using namespace rzvtest::allocfail_interpose;
    if (rzvtest::allocfail_detail::take()) {
        errno = ENOMEM;
        return nullptr;
    }
    resolve();
    if (!next_calloc) {
        if (size && n > SIZE_MAX / size) return nullptr;
        return bootstrap_alloc(n * size);
    }
    void *p = next_calloc(n, size);
    if (p) rzvtest::allocfail_detail::note_alloc();
    return p;
}

RZV_ALLOCFAIL_RAW void *realloc(void *old, size_t n) noexcept {
    using namespace rzvtest::allocfail_interpose;
    if (rzvtest::allocfail_detail::take()) {
        errno = ENOMEM;
        return nullptr;
    }
    resolve();
    if (from_bootstrap(old)) {
        // Moves a bootstrap block to the heap (its size is not kept: copy
        // what can be there).
        void *p = next_malloc ? next_malloc(n) : bootstrap_alloc(n);
        if (p && n) {
            size_t room = sizeof bootstrap - (size_t)((unsigned char *)old - bootstrap);
            memcpy(p, old, n < room ? n : room);
        }
        if (p && next_malloc) rzvtest::allocfail_detail::note_alloc();
        return p;
    }
    void *p = next_realloc(old, n);
    if (!old && p) rzvtest::allocfail_detail::note_alloc();
    if (old && n == 0 && !p) rzvtest::allocfail_detail::note_free();
    return p;
}

RZV_ALLOCFAIL_RAW void free(void *p) noexcept { rzvtest::allocfail_interpose::give_block(p); }

RZV_ALLOCFAIL_RAW char *strdup(const char *s) noexcept {
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p) memcpy(p, s, n);
    return p;
}

RZV_ALLOCFAIL_RAW char *strndup(const char *s, size_t max) noexcept {
    size_t n = strnlen(s, max);
    char *p = static_cast<char *>(malloc(n + 1));
    if (p) {
        memcpy(p, s, n);
        p[n] = '\0';
    }
    return p;
}

}  // extern "C"

RZV_ALLOCFAIL_RAW void *operator new(size_t n) { return rzvtest::allocfail_interpose::new_block(n); }
RZV_ALLOCFAIL_RAW void *operator new[](size_t n) { return rzvtest::allocfail_interpose::new_block(n); }
RZV_ALLOCFAIL_RAW void *operator new(size_t n, const std::nothrow_t &) noexcept {
    return rzvtest::allocfail_interpose::new_block_nothrow(n);
}
RZV_ALLOCFAIL_RAW void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    return rzvtest::allocfail_interpose::new_block_nothrow(n);
}
RZV_ALLOCFAIL_RAW void operator delete(void *p) noexcept { rzvtest::allocfail_interpose::give_block(p); }
RZV_ALLOCFAIL_RAW void operator delete[](void *p) noexcept { rzvtest::allocfail_interpose::give_block(p); }
RZV_ALLOCFAIL_RAW void operator delete(void *p, size_t) noexcept { rzvtest::allocfail_interpose::give_block(p); }
RZV_ALLOCFAIL_RAW void operator delete[](void *p, size_t) noexcept { rzvtest::allocfail_interpose::give_block(p); }
RZV_ALLOCFAIL_RAW void operator delete(void *p, const std::nothrow_t &) noexcept { rzvtest::allocfail_interpose::give_block(p); }
RZV_ALLOCFAIL_RAW void operator delete[](void *p, const std::nothrow_t &) noexcept { rzvtest::allocfail_interpose::give_block(p); }

#endif
