/*
 * arrays.h -- Arr, an associative array with string keys kept in strcmp
 * order.  The array owns copies of its keys; the values are the caller's.
 */
#ifndef HOSTKIT_ARRAYS_H
#define HOSTKIT_ARRAYS_H

#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Arr Arr;

/* newarr(0): an empty array; the argument (a comparison) is ignored: keys
 * are always kept in strcmp order. */
Arr *newarr(void *unused);
/* setarr: stores value under key, replacing an earlier value; returns the
 * earlier value (null if there was none).  When the key cannot be stored
 * (out of memory, registered as "setarr: out of memory.\n"; or a null array
 * or key) it returns ARR_FAILED and the array is as it was.  Replacing the
 * value of a key already present never fails.  ARR_FAILED is no valid value
 * to store. */
#define ARR_FAILED ((void *)-1)
void *setarr(Arr *a, const char *key, void *value);
void *getarr(const Arr *a, const char *key);   /* null for a missing key */
void *delarr(Arr *a, const char *key);         /* removes key; returns its value */
long cntarr(const Arr *a);                     /* number of keys */
/* keysarr: a new pointer list of the keys (the array's own strings) in
 * order; valsarr: of the values in key order.  Free with freetbl(list, 0). */
Tbl *keysarr(const Arr *a);
Tbl *valsarr(const Arr *a);
void freearr(Arr *a, void (*free_fn)(void *));
/* Walk in key order; stops early when fn returns nonzero. */
void applyarr(const Arr *a, int (*fn)(const char *key, void *value, void *priv), void *priv);

#ifdef __cplusplus
}
#endif

#endif
