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

/* threads */
#include "pmtfifo.h"
#include "pmtmanagedfifo.h"
#include "pmtcomp.h"

/* vectors and histories */
#include "kovector2.h"
#include "kovector.h"
#include "db2vector.h"
#include "kohistory.h"

/* grids, moment tensors, SAC files */
#include "kogrid.h"
#include "komoment.h"
#include "kosac.h"

/* waveform access */
#include "koscv.h"
#include "kodsseis.h"

#endif
