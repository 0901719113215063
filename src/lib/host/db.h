/*
 * db.h -- the host layer's relational database: CSS 3.0 flat-file tables,
 * row access, queries, matching and indexes; and (second half, dbex*.cpp
 * and dbview*.cpp) expressions and views.
 *
 * A database name is a path prefix: table `wfdisc` of database /data/ev1 is
 * the file /data/ev1.wfdisc.  Rows are fixed-width text laid out exactly as
 * the compiled-in schema says.  Tables are found lazily (on first use); a
 * missing table file is an empty table.  A table opened read-only is
 * memory-mapped, not parsed.
 *
 * ---------------------------------------------------------------- layouts
 * A table may be kept in one of several layouts (field order, widths and
 * formats), and each table file is read in its own:
 *   css3.0           the CSS 3.0 layout (wfdisc rows of 283 characters);
 *                    stamag also in its variant without `delta` (117);
 *   kbcore           the wider KB Core layout: identifiers 9 wide, `lddate`
 *                    19 ("YYYY-MM-DD hh:mm:ss"), `auth` 20, site coordinates
 *                    with six decimals, ... (wfdisc 287); event also with an
 *                    8-wide `prefor`;
 *   kbcore-lddate17  KB Core widths with the 17-character `lddate` of
 *                    css3.0 (site 159, sensor 149, wfdisc 285).
 * The layout is recognised from the file's lines: the layout whose width
 * all rows have (layouts of one width, as origerr's css3.0 and
 * kbcore-lddate17, are told apart by where their fields sit), unless its
 * fields are not where that layout puts them and another layout's nearly
 * are (css3.0 rows whose load date was written 19 wide have the width of
 * kbcore-lddate17); else the layout most lines fit, field by field.
 * A file whose lines fit no layout
 * is read through a normalising copy at the width of the layout they are
 * least far from (the database's own layout, below, when none is nearer:
 * a file of one row cut short still reads at its own columns), with a
 * warning naming the file and the first bad line,
 * and refuses writes; so does a file of a recognised layout whose lines
 * are not all exact (carriage returns, trailing blanks removed) -- except
 * that an "r+" writer leaves out a last line cut short by a writer that
 * stopped and stays writable (see "crash safety").
 * dbquery gives the file's record size, field offsets and widths, and the
 * address of its rows in that layout; the field list (dbTABLE_FIELDS)
 * follows it too.  Writes through "r+" keep the file's layout.  A table
 * file the engine creates takes the layout the descriptor names (css3.0 if
 * none); tables that have no KB Core layout (detection, calibration,
 * wfmeas, mt, snetsta, schanloc, stassoc) always take css3.0, and the
 * amplitude table, which only KB Core has, always KB Core.  Fields only
 * KB Core has -- stamag's ampid, magres, magdef, mmodel and affiliation's
 * time, endtime -- are read and written by name in KB Core tables and are
 * unknown fields ("no field ampid in table stamag") in css3.0 ones.  Rows
 * of tables in different layouts join and match by value as any others.
 * An in-memory database uses css3.0.
 *
 * Every call reports failures in the calling thread's error register
 * (elog_log) and returns its failure value (negative, null, or a pointer with
 * dbINVALID members).  Nothing prints except the warnings above
 * (elog_complain); nothing aborts on bad input.
 *
 * Memory running out fails the call as a whole, with "<function>: out of
 * memory" (flag 1; a table load that ran out adds "dbopen: out of memory
 * reading <file>" before it): a database is not opened, a table is left
 * unloaded (its next use reads it again), no row is written (a call
 * writing several rows writes none), no view is made and no list is handed
 * back.  Closing a database and freeing a view need no memory.
 *
 * Threads: any number of threads may read (dbgetv, dbget, dbquery, dblookup,
 * dbmatches with their own hooks, expressions) at the same time.  Writes to a
 * table (dbputv, dbaddv, dbadd, dbput, dbdelete, dbcrunch) must not run at
 * the same time as other calls on that table; the caller serialises them.
 * Adding rows may move a table's rows (dbTABLE_ADDRESS must be asked again).
 *
 * Files: a table read through "r" is mapped.  Another program may append to
 * the file: asking the record count (dbRECORD_COUNT) looks at the file again
 * and adds the complete new rows (a partial last line waits for its
 * newline); a file rewritten or shortened is read again then.  A program
 * that shortens a mapped file must not do so while rows are being read.
 * With "r+" an append first takes in rows other programs appended; a row
 * rewrite checks that the file still holds at least the rows the engine
 * knows and refuses (with a message) if it does not.
 *
 * ---------------------------------------------------------------- crash safety
 * A writer ("r+") may be killed at any moment, and several programs may
 * write one table at once.  The rules that keep table files whole:
 *   Lock.  Every append and every row rewrite holds an exclusive advisory
 *     lock (flock) on the table file for the whole of its write, and a
 *     writer reads a table first under that lock.  Two writers, in one
 *     program or several, therefore never interleave parts of rows, and
 *     rows appended by another writer are taken in before an append (the
 *     lock makes "take in, then append" one step).  Other programs that
 *     write table files should take the same lock.  (On a file system
 *     without locks, writes go ahead unlocked.)
 *   Appends.  A row and its newline are composed whole and written with
 *     one call at the end of the file.  A writer killed during that call
 *     can leave at most that one row incomplete: a last line cut short,
 *     without its newline.  Readers ("r") read such a file through the
 *     normalising copy, with a warning naming the file and the line (see
 *     "layouts"); every row before it is read as it is.
 *   A cut last line.  A writer that finds the file ending in a line
 *     shorter than a row and without a newline -- when it opens the table
 *     or, holding the lock, before an append -- knows that no writer is
 *     busy with it (a live writer would hold the lock), so the line was
 *     left by one that stopped before its call returned.  The line is not
 *     read as a row (elog_complain names the file, the line and its
 *     length), the table stays writable, and the next row added is
 *     written in the line's place, so that no row is ever glued to a cut
 *     one.  Nothing is truncated: the file only grows.  Rows of other
 *     widths elsewhere in the file still make the table read-only.
 *   Rewrites.  A changed row is composed whole and written with one call,
 *     but a kill can still stop that call between two pages of the file
 *     (a row that crosses a page boundary would mix old and new text).
 *     So a rewrite goes through a small redo journal beside the table
 *     file, "<table file>.journal": the row's old and new text (with a
 *     checksum) are written to it first, then the row, then the journal
 *     is cleared.  When a table is read and its journal holds a complete
 *     record whose row holds the old text, the new one or a mix of the
 *     two, the rewrite is finished: an "r+" writer writes the new row
 *     into the file and clears the journal, an "r" reader reads the new
 *     row (leaving the file as it is); both say so (elog_complain).  A
 *     journal record cut short is ignored (the row was not touched yet);
 *     a row that holds other text by then is left alone, with a warning.
 *     The journal file stays beside the table; it may be removed when no
 *     program has the table open.
 * A row is thus always either wholly old or wholly new once its writer
 * has stopped.  This guards against a process that dies, not against the
 * machine losing power (nothing is forced to disk).
 *
 * ---------------------------------------------------------------- identifiers
 * dbaddv refuses a row whose identifier another row of its table already
 * has: wfid of wfdisc, chanid of sitechan, inid of instrument, arid of
 * arrival, evid of event, orid of origin and of origerr, magid of netmag,
 * grn of gregion, srn of sregion, stassid of stassoc, mtid of mt and ampid
 * of amplitude -- the single-field keys of these tables.  The message is
 * "dbaddv: table <table> already has a row with <field> <value>; row not
 * added", and nothing is appended.  A null identifier (-1, or the field
 * not given) is no key: such rows are always accepted.  Fields that only
 * refer to another table's rows (chanid of wfdisc or sensor, orid of
 * assoc, prefor of event, ...) are not checked, nor is the in-memory
 * `trace` table.  The check holds in file and in-memory databases and in
 * every layout.  Each table keeps a set of its identifiers, built on the
 * first dbaddv and kept up to date with the rows added since, by this
 * program or (taken in under the lock) by others, and with rows rewritten
 * (dbputv, dbput, dbdelete); a file read again is indexed again.  So a
 * check is one look-up, not a scan.  dbadd copies row text as given and
 * dbputv writes what it is given: neither checks (rows that repeat an
 * identifier can still be read, as field files may hold them).
 *
 * ---------------------------------------------------------------- descriptor
 * If a plain file exists at the database name itself, it is a descriptor:
 * text lines, '#' starts a comment, blank lines ignored, and
 *     schema css3.0         the layout of the table files the engine creates
 *     schema kbcore           (see "layouts"; css3.0 when the line is
 *                             missing); any other schema name is warned
 *                             about and taken as css3.0
 *     dbpath PREFIX[:PREFIX...]
 *                           further database prefixes searched, in order,
 *                           for a table whose file is not at the name
 *                           itself; relative prefixes are taken from the
 *                           descriptor's directory
 * Any other line makes dbopen fail with a message naming the line.  When the
 * name is the file of one table (".../ev1.wfdisc"), the prefix before the
 * table's extension is the database.
 *
 * ---------------------------------------------------------------- values
 * dbgetv/dbputv/dbaddv take name and value pairs closed by a null name.
 * Value types by field type (dbquery dbFIELD_TYPE):
 *   dbSTRING   get: char * buffer of at least width+1 bytes (trimmed text)
 *              put: const char *  (cut to the width, left-justified)
 *   dbINTEGER, dbYEARDAY
 *              get: long *        put: long   (pass 0L, not 0)
 *   dbREAL, dbTIME, dbDATE (the load date `lddate`)
 *              get: double *      put: double (pass 0.0, not 0)
 *              A load date (UTC) is read from, in this order:
 *              "yy-mm-dd hh:mm:ss" (two-digit years 69-99 are 1969-1999,
 *              00-68 are 2000-2068; four digits also read), epoch seconds,
 *              and the forms other systems write: YYYYMMDD (eight
 *              digits alone are this date, not seconds, when they make
 *              one), YYYY-MM-DD,
 *              YYYY/MM/DD, DD-MON-YY or DD-MON-YYYY ("01-MAY-09"),
 *              YYYY-Mon-DD ("2009-May-01"), each optionally followed by
 *              blanks or "T" and hh:mm, hh:mm:ss[.fff] or hhmmss[.fff]
 *              ("2014-03-03T110706") and a "Z"; month names in any case;
 *              no time of day is midnight.  "-" or blanks are the null
 *              (-9999999999.999); so is text of no known form, which the
 *              engine reports once per table (elog_complain), naming the
 *              file and the text -- the read itself succeeds.  A load date
 *              is written as epoch seconds "%17.5f" in a 17-character
 *              field and as "YYYY-MM-DD hh:mm:ss" (to the nearest second)
 *              in the 19-character field of the KB Core layout.  dbaddv
 *              sets `lddate` to the current time unless it is given.
 *   dbPOINTER  get: void **       put: void *  -- in the row as 18
 *              characters "0x" and 16 lower-case hex digits; the null is
 *              "0x0000000000000000" (a null pointer).
 *   dbDBPTR    get: Dbptr *       (the `bundle` field of a grouped view;
 *              read-only)
 * A field name may be qualified: "wfdisc.sta".  In a view an unqualified
 * name is the first table of the view that has it.
 * Numbers are written with the schema's format, right-justified; a number
 * too wide for its field is written with fewer decimals, and fails if even
 * that does not fit.  Text that is not a number in a numeric field fails the
 * read with a message naming table, row and field (the value is the null).
 */
#ifndef HOSTKIT_DB_H
#define HOSTKIT_DB_H

#include "stock.h"
#include "arrays.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A pointer into a database: which database, table (or view), field and
 * record.  dbINVALID (-102) in a member means "not found"/"not set". */
typedef struct Dbptr {
    long database;
    long table;
    long field;
    long record;
} Dbptr;

#define dbINVALID   (-102)
#define dbALL       (-501)   /* the whole table (record) or all fields (field) */
#define dbNULL      (-503)   /* record: the table's null row (read-only) */
#define dbSCRATCH   (-504)   /* record: the table's scratch row, initialised to
                                nulls, always writable */

/* Field types; also the result types of expressions. */
#define dbBOOLEAN   1
#define dbINTEGER   2
#define dbREAL      3
#define dbTIME      4
#define dbYEARDAY   5
#define dbSTRING    6
#define dbDATE      7
#define dbPOINTER   8
#define dbDBPTR     9

/* dbquery codes.  "char *" and "Tbl *" results belong to the database (do
 * not free or change them); they stay valid until dbclose (for a view, until
 * dbfree of the view). */
#define dbDATABASE_NAME     (-300)  /* char *: the name given to dbopen ("" in memory) */
#define dbTABLE_COUNT       (-301)  /* long: number of tables and views */
#define dbFIELD_COUNT       (-302)  /* long: fields of the table or view */
#define dbTABLE_FIELDS      (-303)  /* Tbl * of char *: field names in order
                                       (a view: "table.field" for every field) */
#define dbFIELD_NAME        (-304)  /* char *: name of the pointer's field */
#define dbRECORD_COUNT      (-305)  /* long (a file table: after looking at
                                       the file again, see "Files") */
#define dbFIELD_TYPE        (-306)  /* long: dbSTRING, dbREAL, ... */
#define dbFIELD_FORMAT      (-307)  /* char *: print format, e.g. "%17.5f" */
#define dbNULL_VALUE        (-308)  /* char *: the field's null value as text */
#define dbPRIMARY_KEY       (-309)  /* Tbl * of char *: "sta", "time::endtime", ... */
#define dbALTERNATE_KEY     (-310)  /* Tbl * of char * (may be empty) */
#define dbTABLE_IS_VIEW     (-312)  /* long: 1 for a view, 0 for a table */
#define dbVIEW_TABLES       (-313)  /* Tbl * of char *: a view's base tables in
                                       order (a table: itself) */
#define dbTABLE_IS_WRITABLE (-314)  /* long: 1 if rows may be written */
#define dbTABLE_PRESENT     (-315)  /* long: 1 if the table has rows or a file */
#define dbTABLE_DIRNAME     (-318)  /* char *: directory of the table file */
#define dbTABLE_NAME        (-319)  /* char *: table (or view) name */
#define dbFIELD_SIZE        (-324)  /* long: field width */
#define dbTABLE_FILENAME    (-329)  /* char *: the table's file (even if absent) */
#define dbRECORD_SIZE       (-343)  /* long: row width, without the newline */
#define dbFIELD_INDEX       (-345)  /* long: field offset in the row */
#define dbTABLE_ADDRESS     (-346)  /* char *: the rows, contiguous; row k at
                                       k * (record size + 1); each row ends
                                       with '\n'.  Valid until rows are added. */

/* dbresolve results. */
#define dbDATABASE_PTR      (-401)  /* database only */
#define dbTABLE_PTR         (-403)  /* a whole table or view (record dbALL) */
#define dbFIELD_PTR         (-405)  /* a field of all records */
#define dbRECORD_PTR        (-406)  /* a whole row (or scratch/null row) */
#define dbFIELD_VALUE_PTR   (-407)  /* one field of one row */

/* dbsort flags. */
#define dbSORT_UNIQUE   1
#define dbSORT_REVERSE  2

/* Size of the buffer that dbref fills. */
#define dbREF_SIZE      64

/* ================================================================ database
 * (db*.cpp: the database engineer) */

/* Opens database `name` (a path prefix, or a descriptor file) with mode "r"
 * (read-only) or "r+" (writes go through to the files).  0, or -1. */
int dbopen(const char *name, const char *mode, Dbptr *db);
/* An in-memory database: every schema table plus `trace`, all writable, no
 * files.  (A file database has a `trace` table too, always in memory.)  The `trace` table: net sta chan time endtime nsamp samprate calib
 * calper segtype datatype hang vang lat lon elev edepth comment, the
 * pointer fields `data` (float samples) and `response`, and wfid chanid
 * jdate instype clip dir dfile foff lddate.  0, or -1. */
int dbopen_memory(Dbptr *db);
/* Closes a database: its views, indexes and memory; files stay as they are.
 * Hooks made by dbmatches stay safe to free afterwards. 0, or -1. */
int dbclose(Dbptr db);
/* A pointer with every member dbINVALID. */
Dbptr dbinvalid(void);

/* Narrows a pointer by names; null or "" leaves a member as it is.  table:
 * a table or view name; field: a field name ("table.field" also sets the
 * table), or "dbALL"; record: "dbALL", "dbSCRATCH", "dbNULL" or a record
 * number.  An unknown name gives dbINVALID in that member (and the members
 * after it), with a message. */
Dbptr dblookup(Dbptr db, const char *database, const char *table, const char *field, const char *record);

int dbquery(Dbptr db, int code, void *value);   /* 0, or -1 */

/* Row access.  table may be null or "": the pointer's own table (or, in a
 * view, a base table name that qualifies every field name that follows).
 * dbgetv: 0, or -1 if any field failed (the others are still read).
 * dbputv: 0, or -1; on failure the row is unchanged.
 * dbaddv: appends a row of nulls with the given values; the new record
 * number, or -1 (nothing appended) -- also when the row's identifier is
 * taken (see "identifiers"). */
int dbgetv(Dbptr db, const char *table, ...);
int dbputv(Dbptr db, const char *table, ...);
long dbaddv(Dbptr db, const char *table, ...);
/* dbadd: appends the scratch row (row null) or the row text (exactly the
 * record size, optionally followed by '\n').  On a view, row must be a
 * reference made by dbref to a row of one of its tables (or to a row of a
 * view over the same tables).  The new record number, or -1. */
long dbadd(Dbptr db, const char *row);
/* dbget: copies the row's text (record size characters and a NUL) into s;
 * s null copies the row into the table's scratch row.  A field pointer
 * gives the field's trimmed text.  A view row gives its first table's row.
 * 0, or -1. */
int dbget(Dbptr db, char *s);
/* dbput: writes a whole row from its text (exactly the record size,
 * optionally '\n'); s null writes the scratch row into the row.  A field
 * pointer writes that field from text.  0, or -1 (row unchanged). */
int dbput(Dbptr db, const char *s);
/* Marks a row deleted (all fields null); dbcrunch drops deleted rows of an
 * in-memory table.  0, or -1. */
int dbdelete(Dbptr db);

/* Resolves what a pointer designates: one of the dbresolve results above,
 * or dbINVALID. */
long dbresolve(Dbptr db);

/* Matching.  Lists the records of dbtable's table that match the key row
 * dbkey on the key lists: keys (field names or expressions of the key
 * side, "a::b" for a range) against keys2 (fields of the table side, "a::b"
 * for a range).  A null keys2 (or *keys2) takes keys; null keys lists take
 * the table's primary key fields that both records have.  Rules: plain
 * against plain, equality; a key range against a plain field, the field in
 * the range; a plain key against a table range, the key in the range; range
 * against range, overlap; bounds included.  The lists are not changed.
 * The sorted index on the table keys is built once, kept in *hook (made if
 * *hook is null; free it with free_hook) and in the table's index_arr under
 * dbindex_name.  *list (made with newtbl if null, else emptied) receives the
 * record numbers ((void *) record) in ascending order.  The count, or -1.
 * Rows appended after the index was built are found too. */
long dbmatches(Dbptr dbkey, Dbptr dbtable, Tbl **keys, Tbl **keys2, Hook **hook, Tbl **list);
/* The name under which matching keeps the index for a table key list (null:
 * the whole primary key), malloc'ed (caller frees), or null.  dbmatches
 * names its index after the table keys it uses (with null lists, the
 * primary key fields that the key record shares). */
char *dbindex_name(Dbptr dbtable, Tbl *keys2);
/* The table's map of index names to indexes (owned by the table). */
Arr *dbindex_arr(Dbptr dbtable);
/* Releases an index taken out of index_arr (hooks that use it keep it
 * alive until they are freed). */
void dbfree_index(void *index);

/* The external file of a row: `dir`/`dfile` of the row's `table` part (null:
 * the row's own table), a relative dir taken from the table file's
 * directory.  path must hold FILENAME_MAX bytes.  1 if the file exists, 0 if
 * not (path is still filled), -1 on error. */
int dbextfile(Dbptr db, const char *table, char *path);
/* A file's modification time, or -9999999999.999 on failure (with a message). */
double dfiletime(const char *path);
/* SEED codes through the `snetsta` and `schanloc` tables.  snet and fsta
 * hold at least 11 bytes, fchan and loc at least 9.  A station (channel)
 * without an entry maps to itself, with an empty network (location) and a
 * message; the result is then -1, else 0. */
int dbseed_net(Dbptr db, const char *sta, char *snet, char *fsta);
int dbseed_loc(Dbptr db, const char *sta, const char *chan, char *fchan, char *loc);

/* Views plumbing (db*.cpp).
 * dbtbl2view: a new empty view over the named tables (in order); rows are
 * added with dbadd(view, ref).  dbref: writes into ref (dbREF_SIZE bytes) a
 * reference to the row db points at (a table row or a view row); 0 or -1.
 * dbget_range: the record range [*first, *last) of a group (a `bundle`
 * value: record is the first row, field the end).  dbfree: releases the
 * caller's hold on a view; a table pointer is left alone (0).  A view lives
 * while the caller holds it or a grouped view bundles its rows (so a group
 * made from the caller's sorted view keeps that view); then it is deleted
 * and its number reused by a later view, so a program may make and free
 * views for ever.  Once freed, a view's pointer is invalid ("dbfree:
 * invalid pointer" on a second free, until its number is reused).  Match
 * hooks and compiled expressions of a freed view never apply to the view
 * that reuses its number.  dbcrunch: drops the rows marked
 * deleted from an in-memory table (or a view). */
Dbptr dbtbl2view(Dbptr db, Tbl *tables);
int dbref(Dbptr db, char *ref);
int dbget_range(Dbptr bundle, long *first, long *last);
int dbfree(Dbptr db);
int dbcrunch(Dbptr db);

/* ================================================================ expressions
 * and views (dbex*.cpp, dbview*.cpp: the views engineer)
 *
 * Expressions: numbers (12, 1.5, 2e-3), strings in double or single quotes
 * (backslash escapes the next character), field names ("sta", or
 * "table.field" in a view), + - * / % (on reals; % is fmod), unary minus,
 * comparisons == != < <= > >= (a lone = is taken as ==; string comparison
 * when both sides are strings, numeric otherwise), && || (short-cut) and !,
 * which binds looser than a comparison: "!sta =~ /AB/" negates the match.
 * "x =~ /re/" and "x !~ /re/" match the whole text of x against a POSIX
 * extended expression (write \/ for a slash; a quoted string also serves
 * as the pattern); a numeric field matches on its text.  Patterns run on an
 * engine whose compile and match times are linear: every pattern compiles
 * in bounded time and memory, whatever its shape.  What has no linear form
 * is refused at compile time: back-references (\1 to \9), and counted
 * repetitions adding up to more than 1000 copies ("too complex").  Groups
 * and stacked quantifiers read as POSIX reads them ("a+?" is "(a+)?"), a
 * ")" that closes nothing is a literal, "." matches any byte, and "\<" and
 * "\>" are word boundaries.  Functions: abs
 * sqrt exp log log10 sin cos tan asin acos atan (radians) atan2(y, x)
 * floor ceil pow(x, y), min and max of any number of arguments,
 * yearday(t) (yyyyddd of an epoch time) and epoch(yyyyddd), and
 * ptime(distance, depth), stime(distance, depth): first-arrival P and S
 * travel times in seconds (iasp91; degrees, km), an evaluation failure
 * where there is none.  Arithmetic is IEEE: 1/0 is infinite.
 * A field whose text is empty, or the part of an outer join without a
 * partner, reads the field's null value.
 * Natural result types: dbBOOLEAN (comparisons, matches, && || !),
 * dbINTEGER (integer fields and literals, + - * % of integers, floor, ceil,
 * yearday), dbSTRING (a string field or literal), dbREAL otherwise.
 * dbex_compile: compiles expr against the table or view of db, for a result
 * of `type` (dbREAL, dbTIME, dbSTRING, dbBOOLEAN, dbINTEGER, dbYEARDAY; 0:
 * the natural type).  0, or -1 with the message "dbex_compile: expression
 * '<expr>': <what> at position <n>" (n counts characters from 1).  Field
 * positions are resolved here, once.
 * dbex_eval: evaluates on the row db points at (a record of the same table
 * or view).  result: double * for dbREAL/dbTIME, long * for
 * dbINTEGER/dbBOOLEAN/dbYEARDAY, char ** for dbSTRING (malloc'ed, caller
 * frees); numbers asked for as strings are written plainly ("2000.5"),
 * strings asked for as numbers are read as numbers.  setflag non-zero with
 * an expression that is a single field name: stores *result (of the
 * compiled type) into that field of the row (an assignment).  The result
 * type, or -1.  A compiled expression may be evaluated from several threads.
 * dbex_evalstr: compile, evaluate, free in one call.
 */
typedef struct Expression Expression;
int dbex_compile(Dbptr db, const char *expr, Expression **expression, int type);
int dbex_eval(Dbptr db, Expression *expression, int setflag, void *result);
int dbex_evalstr(Dbptr db, const char *expr, int type, void *result);
int dbex_free(Expression *expression);

/* Views.  Each returns the view's pointer (record dbALL), or a pointer with
 * table dbINVALID on failure, with a message naming the expression, field or
 * key at fault.  name may be null (a name is made).  Views of views work:
 * a view's rows always refer to base rows.
 * dbsubset: the rows for which expr is true, in their order (a subset of a
 * grouped view is a grouped view).
 * dbjoin: rows of db1 paired with rows of db2 on the key lists, in db1's
 * row order; a db1 row with several partners gives one row per partner, in
 * db2's order.  A key is a field or expression of its side, or "a::b", a
 * range: range against range matches by overlap, a value against a range
 * when it lies in it, bounds included; a range's end at its field's null
 * (or an end day of -1) is open.  Plain keys match by equality, and a null
 * value (the field's null) matches nothing.  keys2 null or empty takes
 * keys1 and the other way round; both null or empty: the schema's join
 * keys of the first pair (db2's tables in order, for each db1's tables in
 * order) that the schema joins (also sensor-site by the days of the sensor epoch, origin-
 * gregion/sregion, stamag-origin/event, any table with commid-remark), else
 * the primary key of db2's table when db1 has its fields; written back
 * into *keys1 and *keys2 when those are non-null pointers to null, as new
 * lists of strings the library keeps (free them with freetbl(list, 0)),
 * once the join is made (a join that fails hands back no lists).
 * The chanid join of sensor, wfdisc or arrival with sitechan (inferred, or
 * given as that one key pair, in either order): a row whose chanid is null
 * on either side joins instead by sta, chan and the day of the timed row's
 * time (yearday) within ondate::offdate, an offdate of -1 or null open.
 * outer non-zero keeps db1 rows without a partner (db2 part null); *nojoin
 * (if nojoin is non-null; made with newtbl when *nojoin is null, else
 * emptied) receives
 * the db1 record numbers, as (void *) record, that found no partner; a
 * join that fails leaves *nojoin as it was.  The
 * right side is indexed once: n log m.
 * dbgroup: one row per distinct value of fields (field names of db), in
 * key order, with those fields and `bundle` (a dbDBPTR: the group's rows,
 * see dbget_range).  When db is in key order already the bundles are rows
 * of db itself; otherwise of a sorted copy (equal rows keep their order)
 * that is freed with the group.  type is kept for the caller.
 * dbsort: the rows ordered by fields (names or expressions); the order of
 * equal rows is kept.  dbSORT_REVERSE: descending (equal rows still in
 * their order); dbSORT_UNIQUE: only the first of each run of equal keys. */
Dbptr dbsubset(Dbptr db, const char *expr, const char *name);
Dbptr dbjoin(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2, int outer, Tbl **nojoin, const char *name);
Dbptr dbgroup(Dbptr db, Tbl *fields, const char *name, long type);
Dbptr dbsort(Dbptr db, Tbl *fields, int flags, const char *name);

#ifdef __cplusplus
}
#endif

#endif
