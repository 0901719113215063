// kosac_pvt.h -- the SAC header table behind kosac: the value formats, the
// 133 field definitions with their byte offsets, and the internal helpers of
// the family.  Not installed.
#ifndef VELKUTIL_KOSAC_PVT_H
#define VELKUTIL_KOSAC_PVT_H

#include "kosac.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Value types of header fields. */
enum {
    SAC_FLOAT = 1,   /* 32-bit float */
    SAC_INT = 2,     /* 32-bit signed integer */
    SAC_ENUM = 3,    /* enumerated value, 32-bit signed integer */
    SAC_LOGICAL = 4, /* 32-bit integer, non-zero is true */
    SAC_CHAR8 = 5,   /* 8 characters */
    SAC_CHAR16 = 6   /* 16 characters */
};

#define KOSAC_NFORMATS 6
#define KOSAC_NFIELDS 133

typedef struct sac_value_format_ {
    int type;
    int size;                      /* bytes in the header */
    const char *null_value_string; /* the null value as text */
    char null_value[32];           /* the null value as stored, filled on first use */
} sac_value_format;

typedef struct sac_header_define_ {
    const char *name;         /* upper-case field name */
    int type;                 /* SAC_FLOAT .. SAC_CHAR16 */
    int offset;               /* byte position in the header */
    const char *description;  /* one line for people */
    sac_value_format *format; /* linked on first use */
} sac_header_define;

extern sac_value_format SacValueFormats[KOSAC_NFORMATS];
extern sac_header_define SacHeaderDefines[KOSAC_NFIELDS];

/* Fills a 632-byte header with the null header; 0 or -1. */
int kosac_fill_null_header(char *header);
/* Releases an image and its samples; null is ignored. */
void kosac_free_sacimage(SacImage *image);
/* The definition of a field by its exact name, or null (builds the tables
 * on first use). */
const sac_header_define *kosac_find_header_define(const char *name);

#ifdef __cplusplus
}
#endif

#endif
