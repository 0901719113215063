/*
 * tr.h -- waveform traces: the in-memory trace table, reading samples of
 * wfdisc rows, and the gap marker.
 */
#ifndef HOSTKIT_TR_H
#define HOSTKIT_TR_H

#ifdef __cplusplus
extern "C" {
#endif

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
