/*
 * kosac.h -- SAC waveform files: images of a file (632-byte header and
 * float samples) kept under "sac%d" handle tags, header access by field name,
 * reading and writing whole files, and exchange of an image's samples and
 * event description with trace-table and origin rows.
 *
 * Header values travel as 64-bit quantities whatever their stored width:
 *   kosac_puthdr_kosac(sac, "DELTA", 0.01, "NPTS", (int64_t)100,
 *                      "KSTNM", "ANMO", (char *)0);
 * floats as double, integers, enumerations and logicals as int64_t, character
 * fields as strings.  kosac_gethdr_kosac takes the addresses of the same
 * kinds (character buffers of at least 9 or 17 bytes).
 */
#ifndef VELKUTIL_KOSAC_H
#define VELKUTIL_KOSAC_H

#include <stdint.h>

#include "stock.h"
#include "db.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOSAC_HEADER_SIZE 632

typedef struct sacimage_ {
    char header[KOSAC_HEADER_SIZE]; /* the header as in a file, host byte order */
    float *data;                    /* samples, or null */
    int64_t data_nsamples;          /* number of samples in data */
    uint64_t data_size;             /* bytes in data (4 x data_nsamples) */
} SacImage;

typedef struct kosac_ {
    char *tag;           /* caller's grouping label, or null */
    SacImage *sacimage;  /* the image */
} KOSac;

/* Images and their handle tags. */
KOSac *kosac_create(char *tag, char *handle);
KOSac *kosac_get_kosac(char *handle);
void kosac_free_kosac(KOSac *kosac);
int kosac_free(char *handle);
int kosac_free_tag(char *tag);

/* Header fields by name, pairs closed by a null name. */
/* The header name table behind these two is built by the first call that
 * needs it; a build that runs out of memory fails that call (the build's
 * message, then "<function>: kosac_fill_null_header() error.\n") and is
 * tried again by the next one, so no name is ever left undefined. */
int kosac_puthdr_kosac(KOSac *kosac, ...);
int kosac_gethdr_kosac(KOSac *kosac, ...);

/* Files. */
int kosac_write_to_file_kosac(KOSac *kosac, char *filename);
KOSac *kosac_read_from_file_kosac(char *filename, char *tag, char *handle);

/* Samples and reference time. */
int kosac_putdata_kosac(KOSac *kosac, int nsamp, double tstart, double samprate, float *data, char *segtype);
int kosac_getreftime_kosac(KOSac *kosac, double *rtime);
int kosac_getdata_kosac(KOSac *kosac, int *nsamp, double *tstart, double *samprate, float **data, char *segtype);

/* Exchange with one trace row and one origin row.  putevent fills the image
 * from the rows; getevent adds a new trace row (which takes a new copy of
 * the samples) and a new origin row, and leaves their record numbers in
 * dbtrace->record and dborigin->record. */
int kosac_putevent_kosac(KOSac *kosac, Dbptr dbtrace, Dbptr dborigin);
int kosac_getevent_kosac(KOSac *kosac, Dbptr *dbtrace, Dbptr *dborigin);

#ifdef __cplusplus
}
#endif

#endif
