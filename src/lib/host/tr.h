/*
 * tr.h -- waveform traces: the in-memory trace table, reading samples of
 * wfdisc rows, and the gap marker.
 */
#ifndef HOSTKIT_TR_H
#define HOSTKIT_TR_H

#include "db.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ trace tables
 *
 * A trace table is the `trace` table of an in-memory database (see
 * dbopen_memory): one row per waveform segment, its samples in the pointer
 * field `data` (floats, malloc'ed, owned by the row and released by trfree).
 *
 * Several operations take a set of trace rows as one Dbptr:
 *   record dbALL                    every row of the table;
 *   record r >= 0, field f > r      the rows r .. f-1 (a range);
 *   record r >= 0 otherwise         the single row r.
 */

/* trnew: a new in-memory trace database; the pointer names its `trace`
 * table (record dbALL).  Both arguments are ignored (kept for callers that
 * pass a scratch directory and a schema name).  dbinvalid() on failure. */
Dbptr trnew(const char *tmpdir, const char *schema);

/* trload_cssgrp: loads the rows of `view` (the wfdisc table or a view that
 * contains it; record dbALL for every row, or one row) between the times
 * t0string and t1string (str2epoch) into trace rows of *tr, creating the
 * trace database with trnew when tr->database is dbINVALID.  Each row's
 * samples inside the window become one trace row with the wfdisc metadata;
 * where the view holds them: site lat lon elev, sitechan hang vang edepth,
 * instrument ncalib ncalper instype and sensor calratio (these give calib and
 * calper when the wfdisc row has none).  Rows without samples in the window
 * add nothing; a row whose waveform cannot be read is reported (printed with
 * elog_complain) and skipped; memory running out is not a fault of a row and
 * fails the load.  On return *tr names the trace table with record dbALL.
 * table and type are ignored.  0, or -1 with a message; a failed load adds
 * nothing: the rows it added are released (and the table compacted), and a
 * trace database it created is destroyed (*tr is dbinvalid() again). */
int trload_cssgrp(Dbptr view, const char *t0string, const char *t1string, Dbptr *tr, const char *table,
                  const char *type);

/* trsplit: replaces each trace row of the set that holds gap samples by one
 * row per run of good samples (in place, order kept); rows with no good
 * sample are removed.  *nsplit (may be null) receives the number of rows
 * that were split or removed.  0, or -1 with a message and the rows as they
 * were.
 *
 * trsplit and trsplice rewrite the rows from the first of the set to the
 * end of the table (the later rows keep their order behind the new ones),
 * all or nothing; a call that changes rows also compacts the table (rows
 * deleted earlier, as by trfree, are dropped). */
int trsplit(Dbptr tr, long *nsplit);

/* trsplice: joins rows of one net/station/channel with the same sample rate
 * where one starts within `tolerance` sample intervals of one interval after
 * the end of the other; the joined row keeps the first row's place and
 * metadata.  *nspliced (may be null) receives the number of joins.  0, or -1
 * with a message and the rows as they were. */
int trsplice(Dbptr tr, double tolerance, long *nspliced);

/* trapply_calib: multiplies the samples of each row of the set by its calib
 * (gap markers stay as they are) and sets the row's calib to 1, so that
 * samples times calib remain ground motion and a second call changes
 * nothing; a calib of 0 (unknown) leaves the row alone.  It marks each row
 * it has calibrated (or whose calib was 1 when it saw it) in the row's
 * integer field "calibrated" (0 for rows added otherwise; trsplit's pieces
 * and trsplice's joined row keep the mark of the row they come from).
 * trcalibrated: 1 for a marked row that still holds calib 1, else 0.
 * 0, or -1 with a message.  Each row is calibrated whole (its samples are
 * scaled exactly when its mark says so); a failure leaves the rows before it
 * calibrated and the others as they were, and a second call completes the
 * set. */
int trapply_calib(Dbptr tr);
int trcalibrated(Dbptr row);

/* trfree: releases the samples of a row, a range of rows or (record dbALL)
 * every row, and marks those rows deleted (dbcrunch compacts the table).
 * trdestroy releases every row's samples and closes the trace database,
 * setting *tr to dbinvalid().  Neither needs memory to release rows; a row
 * that cannot be read to be released keeps its samples (trfree gives -1,
 * and trdestroy leaves the database open, to be destroyed again).
 * 0, or -1 with a message. */
int trfree(Dbptr tr);
int trdestroy(Dbptr *tr);

/* ------------------------------------------------------------------ samples
 *
 * trgetwf reads the samples of one wfdisc row between t0 and t1 (epoch
 * seconds; bounds included, within a thousandth of a sample) into *data, a
 * float array of *size samples that it allocates or grows with realloc (start
 * with a null array and size 0; the caller frees it).  A window wider than the
 * row yields the row's samples; samples inside the window that the file does
 * not hold (gaps between miniSEED records) are the gap marker.  On return
 * *tstart and *tend are the times of the first and last sample delivered and
 * *nsamp their count; a window that holds no sample gives a count of 0 and
 * both times 0.
 *
 * Datatypes: s2 s3 s4 (big-endian integers of 2, 3, 4 bytes), i2 i4
 * (little-endian integers), t4 t8 (big-endian IEEE floats), f4 f8
 * (little-endian IEEE floats), with sample k at byte foff + k x size; and sd,
 * miniSEED records from byte foff on, the records of the row's station and
 * channel placed by their start times.
 *
 * Result: 0, or one of the negative codes below; trgetwf_error(code, row)
 * registers the message that explains it (naming the file and the cause).
 */
enum {
    TRGETWF_ENOFILE = -1,   /* the waveform file cannot be opened */
    TRGETWF_EDATATYPE = -2, /* unknown datatype */
    TRGETWF_ESHORT = -3,    /* the file is shorter than the row says */
    TRGETWF_EROW = -4,      /* the row cannot be read or holds impossible values */
    TRGETWF_ENOMEM = -5,    /* out of memory */
    TRGETWF_EREAD = -6,     /* reading the file failed */
    TRGETWF_EMSEED = -7,    /* bad miniSEED data */
    TRGETWF_EWINDOW = -8    /* a window bound is not a number */
};

/* The description of a waveform that trgetwf takes from a wfdisc row. */
typedef struct TrWaveform {
    const char *path;     /* the waveform file */
    long foff;            /* byte offset of sample 0 (or of the first record) */
    const char *datatype; /* as above */
    double time;          /* epoch time of sample 0 */
    double samprate;      /* samples per second */
    long nsamp;           /* samples in the row */
    const char *sta;      /* station and channel of miniSEED records; null: any */
    const char *chan;
} TrWaveform;

int trgetwf(Dbptr row, float **data, long *size, double t0, double t1, double *tstart, double *tend, long *nsamp);
/* Registers the message that explains a trgetwf result for the row. */
void trgetwf_error(int code, Dbptr row);

/* trgetwf without a database: the same reading from a description. */
int trgetwf_file(const TrWaveform *wf, float **data, long *size, double t0, double t1, double *tstart,
                 double *tend, long *nsamp);
/* Registers the message of a trgetwf_file result (path names the file). */
void trgetwf_file_error(int code, const char *path);
/* Bytes per sample of a datatype; 0 for sd, -1 when unknown. */
int trdatatype_size(const char *datatype);

/* The value that marks a missing sample in trace data.  trfill_gap(buf, n)
 * sets n floats to it; callers learn it with trfill_gap(&v, 1). */
#define TRGAP_VALUE 1.0e30f
void trfill_gap(float *samples, long n);

#ifdef __cplusplus
}
#endif

#endif
