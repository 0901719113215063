/*
 * velkutil.h -- the plain-function families of rizavavidiv.
 *
 * C linkage throughout: C and C++ programs both call these.  Each family's
 * declarations live in a header of its own, included here.
 */
#ifndef VELKUTIL_H
#define VELKUTIL_H

#include "stock.h"
#include "arrays.h"
#include "pf.h"

#include "kobase.h"
#include "pmtfifo.h"
#include "kogrid.h"
#include "kosac.h"

#endif
