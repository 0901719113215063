// Arr: string keys in strcmp order, each an owned copy, with caller values.

#include "arrays.h"

#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>

struct Arr {
    // std::string compares bytewise like strcmp for NUL-free keys.  The
    // transparent comparison looks keys up without building a string, so a
    // lookup never allocates (and never throws).
    std::map<std::string, void *, std::less<>> m;
};

extern "C" {

Arr *newarr(void *) { return new (std::nothrow) Arr; }

void *setarr(Arr *a, const char *key, void *value) {
    if (!a || !key) return ARR_FAILED;
    // A key already present is replaced in place: that never allocates, so
    // replacing cannot fail.
    auto it = a->m.lower_bound(key);
    if (it != a->m.end() && it->first == key) {
        void *old = it->second;
        it->second = value;
        return old;
    }
    try {
        a->m.emplace_hint(it, key, value);
        return nullptr;
    } catch (...) {
        elog_log(1, "setarr: out of memory.\n");
        return ARR_FAILED;
    }
}

void *getarr(const Arr *a, const char *key) {
    if (!a || !key) return nullptr;
    auto it = a->m.find(key);
    return it == a->m.end() ? nullptr : it->second;
}

void *delarr(Arr *a, const char *key) {
    if (!a || !key) return nullptr;
    auto it = a->m.find(key);
    if (it == a->m.end()) return nullptr;
    void *v = it->second;
    a->m.erase(it);
    return v;
}

long cntarr(const Arr *a) { return a ? (long)a->m.size() : 0; }

// The list is made with room for every entry, so the pushes cannot fail;
// they are checked all the same, a partial list never being handed out.
Tbl *keysarr(const Arr *a) {
    Tbl *t = newtbl(a ? (long)a->m.size() : 0);
    if (!t || !a) return t;
    for (auto &kv : a->m)
        if (pushtbl(t, kv.first.c_str()) < 0) {
            freetbl(t, nullptr);
            return nullptr;
        }
    return t;
}

Tbl *valsarr(const Arr *a) {
    Tbl *t = newtbl(a ? (long)a->m.size() : 0);
    if (!t || !a) return t;
    for (auto &kv : a->m)
        if (pushtbl(t, kv.second) < 0) {
            freetbl(t, nullptr);
            return nullptr;
        }
    return t;
}

void freearr(Arr *a, void (*free_fn)(void *)) {
    if (!a) return;
    if (free_fn)
        for (auto &kv : a->m) free_fn(kv.second);
    delete a;
}

void applyarr(const Arr *a, int (*fn)(const char *, void *, void *), void *priv) {
    if (!a || !fn) return;
    for (auto &kv : a->m)
        if (fn(kv.first.c_str(), kv.second, priv)) break;
}

}  // extern "C"
