/*
 * db2vector.h -- scatter plots of database records: one point per record of
 * a table or view, x and y from database expressions, and optionally a
 * colour (hue and saturation expressions), a marker size and a marker symbol
 * per point, encoded in the point's label as a drawing-attribute string for
 * the display program.
 */
#ifndef VELKUTIL_DB2VECTOR_H
#define VELKUTIL_DB2VECTOR_H

#include "db.h"
#include "kovector.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * db2vector: a first-generation point vector with two y columns: x and y
 * column 0 from xexpr and yexpr (the record number where an expression is
 * null), y column 1 the record number.  Any expression may be null.
 *
 * When any of hue_expr, sat_expr, siz_expr (numbers) or sym_expr (text) is
 * given, every point is labelled "{" + components + " }" where the
 * components, each with a leading blank, are
 *     o=#RRRRGGGGBBBB   outline colour (hue or saturation expression)
 *     f=#RRRRGGGGBBBB   the same fill colour, when fill is non-zero
 *     sz=N              marker size 1 .. max_size (size expression)
 *     sy=NAME           point cross x triangle square circle star diamond
 *                       (symbol expression)
 * Hues span huerange degrees centred on hue over the hue values' range
 * (wrapped into 0 .. 360); saturation runs 0.3 .. 1 over its values' range
 * (0.9 without a saturation expression); lightness is 0.6.  Each distinct
 * symbol text takes the next symbol of the list, in order, for the life of
 * the process (the ninth starts again at point).
 *
 * An expression that does not compile ("Can't compile %s expression '%s'")
 * or fails to evaluate ("failed to evaluate %s expression '%s'") gives a
 * vector with no points; the vector is registered under handle all the
 * same.  Null, with a message, when the record count cannot be had, the
 * vector cannot be created, or memory runs out for the attribute values or a
 * label ("db2vector: Out of memory: cannot allocate %lu bytes for the
 * attribute values.\n", "db2vector: strdup() error for the label of point
 * %ld.\n", or "db2vector: out of memory.\n" when the engine runs out,
 * compiling or evaluating an expression included); the half-made vector is
 * then freed, unregistered and handle emptied.  When the host's verbose
 * switch is on, each labelled point prints a trace line on standard output.
 */
KOVector *db2vector(Dbptr db, char *xexpr, char *yexpr, char *hue_expr, char *sat_expr, char *siz_expr,
                    char *sym_expr, double hue, double huerange, int fill, int max_size, char *tag, char *handle);

#ifdef __cplusplus
}
#endif

#endif
