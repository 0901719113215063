/*
 * pf.h -- parameter files.
 *
 * Syntax (one item per line):
 *
 *     # a comment, to the end of the line (outside double quotes)
 *     name value            the value is the rest of the line, trimmed;
 *                           double quotes keep blanks: name "  a b "
 *     name [                a table (list) of values, one per line, until ]
 *         first entry
 *         second entry
 *     ]
 *     name {                an array of nested lines, until }
 *         inner value
 *         list [
 *            ...
 *         ]
 *     }
 *
 * Inside a table every line is one entry, taken whole (trimmed; quotes as
 * above), and a line "[" or "{" opens an anonymous nested table or array.
 * A name alone on its line has the empty string as its value.  Inside
 * quotes, \" is a quote and \\ a backslash.  A later definition of a name
 * replaces the earlier one, keeping the place of the first.
 *
 * A syntax error (an unclosed or stray bracket, text after a closing quote,
 * an unterminated quote) fails the whole read with a message naming the
 * file (or "string") and the line; no partial object is returned.
 */
#ifndef HOSTKIT_PF_H
#define HOSTKIT_PF_H

#include "stock.h"
#include "arrays.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { PFFILE = 0, PFSTRING = 1, PFTBL = 2, PFARR = 3, PFINVALID = 4 };

typedef struct Pf {
    int type;            /* PFSTRING, PFTBL or PFARR (PFFILE: the top level of a file) */
    union {
        char *s;         /* PFSTRING: owned value */
        Tbl *tbl;        /* PFTBL: list of Pf *, in file order */
        Arr *arr;        /* PFARR / PFFILE: name -> Pf * */
    } value;
    Tbl *keys;           /* PFARR / PFFILE: the names in the order first defined (owned strings) */
} Pf;

/* Reading.  Both return 0 and a new Pf in *pf (type PFFILE, an array at the
 * top), or -1 with a message. */
int pfread_file(const char *filename, Pf **pf);
int pfread_string(const char *text, Pf **pf);
void pffree(Pf *pf);

/* pfget: finds a top-level name of an array-like Pf (nested names: call
 * again on the nested Pf).  Returns PFSTRING (1)
 * with the string (char *) in *value, PFTBL (2) or PFARR (3) with the nested
 * Pf * in *value, or 0 (with *value null) when absent. */
int pfget(Pf *pf, const char *name, void **value);
/* Conversions (a null result when memory runs out comes with a message).
 * pfget_string: the value or null.  pfget_double/int/boolean:
 * the number (0 when absent or not a number, with a message registered).
 * pfget_tbl: a new list of the table's string entries (copies are not made:
 * they are the Pf's own strings; free the list with freetbl(t, 0)); null when
 * absent.  pfget_arr: a new Arr of the array's string values (the Pf's own
 * strings); free with freearr(a, 0). */
char *pfget_string(Pf *pf, const char *name);
double pfget_double(Pf *pf, const char *name);
long pfget_int(Pf *pf, const char *name);
int pfget_boolean(Pf *pf, const char *name);
Tbl *pfget_tbl(Pf *pf, const char *name);
Arr *pfget_arr(Pf *pf, const char *name);
/* pfkeys: a new list of the top-level names in the order they were first
 * defined (the Pf's own strings); free with freetbl(t, 0).  Null for a PFTBL
 * or a PFSTRING. */
Tbl *pfkeys(Pf *pf);

/* Building in code.  Each returns 0, or -1 with a message ("pfput: out of
 * memory storing '%s'.\n", "pfpush: out of memory.\n", or a refused name);
 * a failed call leaves the Pf as it was, and a value handed to pfput or
 * pfpush then stays the caller's. */
Pf *pfnew(int type);                                   /* PFFILE, PFARR, PFTBL or PFSTRING (empty) */
int pfput_string(Pf *pf, const char *name, const char *value);
int pfput_double(Pf *pf, const char *name, double value);
int pfput(Pf *pf, const char *name, Pf *value);        /* takes ownership of value */
int pfpush(Pf *tbl, Pf *value);                        /* appends to a PFTBL; takes ownership */
int pfpush_string(Pf *tbl, const char *value);
/* Writes pf in the syntax above (round-trips through pfread_string). */
int pfwrite(FILE *fp, Pf *pf);
char *pf2string(Pf *pf);                               /* malloc'ed */

#ifdef __cplusplus
}
#endif

#endif
