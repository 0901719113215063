/*
 * tr.h -- waveform traces: the in-memory trace table, reading samples of
 * wfdisc rows, and the gap marker.
 */
#ifndef HOSTKIT_TR_H
#define HOSTKIT_TR_H

#ifdef __cplusplus
extern "C" {
#endif

/* The value that marks a missing sample in trace data.  trfill_gap(buf, n)
 * sets n floats to it; callers learn it with trfill_gap(&v, 1). */
#define TRGAP_VALUE 1.0e30f
void trfill_gap(float *samples, long n);

#ifdef __cplusplus
}
#endif

#endif
