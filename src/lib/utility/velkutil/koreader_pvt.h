// The readers of outside vector data that both plot-vector families share:
// column text files, point tables of parameter files, "fap"/"fap2"
// response files and trace blob streams.  Each reader knows the format and
// its checks; the family that calls it owns the vector it fills, and passes
// its own function name so every message reads as that family's.
//
// Private to the library.  Nothing here keeps state between calls.
#ifndef VELKUTIL_KOREADER_PVT_H
#define VELKUTIL_KOREADER_PVT_H

#include <cstddef>
#include <cstdio>

#include "db.h"
#include "stock.h"

namespace koreader {

/* ------------------------------------------------------------ column text files
 *
 * One point per line: lines are read in pieces of at most 1022 characters
 * (the rest of a longer line is the next piece); the first line_off pieces
 * are skipped; a piece that is empty or begins with '#' is skipped.  Tokens
 * are separated by runs of ", \t\n" (and '\r', so that files with Windows
 * line ends read the same); a token beginning with '#' ends the line.
 * Token xpos is x, token ypos[k] is y value k (ny 0: one y value, token 1),
 * token lpos the label.  Numbers are read with atof (not a number: 0).  The
 * scan of a line stops right after the token that completes x and every
 * wanted y.  A line gives a point when it held x and at least one y; a y
 * column missing from a line keeps its value from the last line that had it.
 */
struct TextColumns {
    int line_off;
    int xpos;
    int ny;          // 0: one column from token 1
    const int *ypos; // ny positions (unused when ny is 0)
    int lpos;        // a position no token has (e.g. -1): no labels
};

class TextSink {
public:
    virtual ~TextSink() = default;
    // One accepted line: x, the y row (max(ny, 1) values) and the label
    // token (null when the line had none).  0 to go on, -1 to stop (the sink
    // has registered its message).
    virtual int point(double x, const double *y, const char *label) = 0;
};

// Reads fp to its end.  y must hold max(ny, 1) doubles, zeroed by the caller
// (it carries values from line to line).  0 at end of file; -1 when the sink
// stopped or the read failed ("<fname>: fgets(<path>) error.\n", flag 1).
int read_text(FILE *fp, const char *path, const TextColumns &cols, double *y, const char *fname, TextSink &sink);

/* ------------------------------------------------------------ parameter-file point tables
 *
 * Each entry of the table is one row of at most 1023 characters, trimmed;
 * empty rows and rows beginning with '#' are skipped.  A row holds x and 1
 * to 10 y values separated by white space (further numbers are ignored);
 * every data row must have the count of the first. */
enum { PF_MAXVALS = 11 };

// Checks every row and counts the data rows.  0 with *nx and *ny, or -1 with
// "<fname>: sscanf(<row>) error.\n" (flag 1), "<fname>: sscanf(<row>) error -
// no y value.\n" or "<fname>: Number of y values must be the same for all
// table rows.\n".  A table without data rows gives *nx 0 and *ny 0.
int pf_table_scan(Tbl *rows, const char *fname, long *nx, int *ny);

// The values of data row i (after a successful scan) into v (PF_MAXVALS
// doubles); the number of values, or 0 for a row that holds no data.
int pf_table_row(Tbl *rows, long i, double *v);

/* ------------------------------------------------------------ response files
 *
 * Text; lines in pieces of at most 1023 characters, line ends ("\n", "\r\n")
 * removed; lines that are empty, blank, or whose first non-blank character is
 * '#' are skipped throughout.  A header "type stage auth rtype" (rtype "fap"
 * or "fap2"), a count line, then rows: "fap" x amp phase, "fap2" x amp phase
 * and their upper and lower bounds.  Columns after those are ignored. */
class FapReader {
public:
    FapReader() = default;
    ~FapReader();
    FapReader(const FapReader &) = delete;
    FapReader &operator=(const FapReader &) = delete;

    // Opens path and reads the header and the count.  0 on success; -1 when
    // the file cannot be opened ("<fname>: fopen(<path>) error.\n", flag 1);
    // 1 for a file that is not a readable fap file ("<fname>: cannot parse
    // <path>.\n", "<fname>: <path> not a fap or fap2 file (<rtype>).\n",
    // "<fname>: Cannot parse number of faps from <path>.\n").  A count that
    // is negative, beyond an int, or larger than the file could hold (more
    // than its size in bytes, beyond a floor of 100000 rows) is refused the
    // same way, so a header never drives a large allocation on its own.
    int open(const char *path, const char *fname);

    int ny() const { return ny_; }       // 2 (fap) or 6 (fap2)
    int count() const { return count_; } // declared rows

    // The next row that yields exactly 1 + ny numbers, into v (7 doubles);
    // rows that do not are skipped.  1 with a row, 0 at end of file.
    int next(double *v);

    void close();

private:
    bool line(char *buf, size_t n);  // the next non-skipped line
    FILE *fp_ = nullptr;
    int ny_ = 0;
    int count_ = 0;
};

/* ------------------------------------------------------------ trace blob streams
 *
 * A sequence of records: a 4-byte big-endian text length (at most 511), a
 * 4-byte big-endian sample count, the text of one trace-table row, and the
 * samples as 4-byte floats in the machine's own byte order.  The stream ends
 * cleanly when fewer than 8 bytes remain for a record header.  "-" reads
 * standard input (which is not closed).  Reads loop until they have what
 * they asked for, so pipes that deliver a record in small pieces are read
 * whole. */

// What a family does with a record's samples.
class BlobSink {
public:
    virtual ~BlobSink() = default;
    // Makes a registered time-sampled vector of n samples; writes its handle
    // into handle (at least 64 bytes).  0, or -1 (the sink has registered
    // its message).
    virtual int make(long n, double time, double samprate, double *samples, char *handle) = 0;
    // Releases the vector of a record that failed after make().
    virtual void drop(char *handle) = 0;
    // The family's allocator for a record's sample buffer (a work array of
    // the family).  Plain malloc, realloc and free unless overridden.
    virtual void *alloc(size_t n);
    virtual void *grow(void *p, size_t n);
    virtual void release(void *p);
};

// Reads the stream into rows of the trace table of *dbtr (a new in-memory
// trace database when dbtr->database is dbINVALID), one vector per record
// whose handle goes into the row's comment.  The pointer fields of the
// record text are never taken from the stream.  0 at the clean end of the
// stream, with *dbtr at the trace table and the last added row; -1 with the
// family's messages (fname) on the first failure, records before it kept.
int read_blobs(const char *path, Dbptr *dbtr, const char *fname, BlobSink &sink);

// Byte-exact reads of a descriptor: loops over short reads and EINTR.  The
// number of bytes read (less than n only at end of file), or -1.
long read_full(int fd, void *buf, size_t n);

}  // namespace koreader

#endif
