// Internal entry points of the kovector2 family for its loaders
// (kovector2_load.cpp): the registry and the family's counted allocations,
// so that what the loaders allocate counts and fails like the rest of the
// family.  Private to the library.
#ifndef VELKUTIL_KOVECTOR2_PVT_H
#define VELKUTIL_KOVECTOR2_PVT_H

#include <cstddef>

#include "kovector2.h"

namespace kovector2_pvt {

// Creates the registry if absent; 0, or -1 with "<fname>: newarr() error.\n".
int ensure_registry(const char *fname);
// Files v under a new "vect%d" tag written into handle; 0 or -1 (handle
// emptied, v left alone).
int register_vector(const char *fname, KOVector2 *v, char *handle);
// Point vector row i: x, then the y values.
double *row(const KOVector2 *v, long i);

// The family's counted allocations (they also fail on demand in tests).
void *xmalloc(size_t n);
void *xrealloc(void *p, size_t n);
char *xstrdup(const char *s);
void xfree(void *p);

}  // namespace kovector2_pvt

#endif
