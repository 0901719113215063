/*
 * db_pvt.h -- the database engine's internal representation, shared by the
 * table engine (db*.cpp) and the expression and view code (dbex*.cpp,
 * dbview*.cpp).  Not installed for outside programs.
 *
 * A Database holds its tables and views in one numbered list (Dbptr.table):
 * the schema's tables first (always present, loaded on first use), then
 * views.  A base table is its schema (SchemaTable) plus contiguous
 * fixed-width rows: row k starts at rows + k * stride, stride = record size
 * + 1 (the newline), each field at its offset and width.  A view is a Table
 * with a View: its rows refer to base rows, one base record per "slot" (the
 * view's tables in order), or, for a grouped view, to a range of rows of the
 * table or view that was grouped.
 *
 * Reading a field of any row, table or view, goes the same way:
 *   FieldLoc loc;  field_resolve(d, t, "wfdisc.sta", &loc)   (once)
 *   const char *slots[MAX_SLOTS];  row_slots(d, t, record, slots)
 *   Value v;  field_read(loc, slots, &v)      (or read loc.slot's text at
 *                                              loc.f->offset, loc.f->width)
 * A slot is null where an outer join found no partner: its fields read as
 * their nulls.
 *
 * How to add a view (e.g. a subset):
 *   1. Database *d = db_get(db.database); Table *t = db_table(d, db.table);
 *   2. auto v = std::make_unique<View>(); v->kind = View::ROWS;
 *      v->tables = view_base_tables(d, t)  (the slots of t's rows: a base
 *      table is one slot, a view its own slots);
 *   3. for each chosen row r of t: row_records(d, t, r, recs) gives its base
 *      record per slot; append them to v->recs (tables.size() per row);
 *   4. Dbptr out = view_register(d, name, std::move(v));  (fields, names and
 *      record count are set up there; out.record is dbALL.)
 *   A join concatenates the slot lists and record tuples of both sides
 *   (-1 for a missing partner).  A group sets kind GROUP, grouped = the
 *   table/view index whose rows it bundles (sorted), keys = the field names,
 *   ranges = (first, end) per group; its fields are the keys (read from the
 *   group's first row) and `bundle`.
 * view_register takes the database lock; everything else reads only.
 *
 * View slots are recycled: dbfree drops the caller's reference to a view,
 * and a grouped view holds one on the table or view it bundles, so a group
 * made from a caller's sorted view keeps that view alive.  A view with no
 * reference left is deleted and its slot reused by the next view; anything
 * that remembers a table by number (match hooks, indexes, compiled
 * expressions) also remembers its uid and refuses or rebuilds on a change.
 */
#ifndef HOSTKIT_DB_PVT_H
#define HOSTKIT_DB_PVT_H

#include "db.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace hostdb {

/* ------------------------------------------------------------ schema */

struct SchemaField {
    const char *name;
    int type;            /* dbSTRING, dbINTEGER, dbREAL, dbTIME, dbYEARDAY, dbDATE, dbPOINTER */
    int width;
    int offset;          /* in the row */
    const char *format;  /* printf conversion */
    const char *null_text; /* the null as the schema gives it ("-", "-1", "-999.0") */
    double null_num;     /* numeric null (0 for strings) */
};

/* The families of layouts a descriptor may name for the table files the
 * engine creates. */
enum { LAYOUT_CSS30 = 0, LAYOUT_KBCORE = 1 };

/* One layout of a table: its fields in order with their widths, offsets
 * and formats.  A table may have several (css3.0, the stamag layout without
 * delta, KB Core and its mixes); every Table holds the one its file uses. */
struct SchemaTable {
    const char *name;
    const SchemaField *fields;
    int nfields;
    int rowsize;          /* without the newline */
    const char *primary;  /* key fields, blank-separated ("sta chan time::endtime") */
    const char *alternate;
    const char *description;
    const char *layout;   /* "css3.0", "css3.0-nodelta", "kbcore", "kbcore-lddate17", ... */
    int family;           /* LAYOUT_CSS30 or LAYOUT_KBCORE */
};

/* A natural join: fields of t1 against fields of t2 (blank-separated, same
 * count, "a::b" for ranges). */
struct SchemaJoin {
    const char *t1;
    const char *t2;
    const char *keys1;
    const char *keys2;
};

extern const SchemaTable schema_tables[];
extern const int schema_ntables;
extern const SchemaJoin schema_joins[];
extern const int schema_njoins;
/* The layout variant of stamag without `delta`, chosen by line length. */
extern const SchemaTable schema_stamag_nodelta;
/* The further layouts (KB Core and its mixes) of the tables that have them. */
extern const SchemaTable schema_layouts[];
extern const int schema_nlayouts;

/* Every layout of a table, its main one (schema_table) first; empty for an
 * unknown table. */
std::vector<const SchemaTable *> schema_candidates(const char *name);
/* The layout a new file of the table takes in a database of a family: the
 * family's full layout if the table has one, else its main layout. */
const SchemaTable *schema_layout_for(const char *name, int family);

const SchemaTable *schema_table(const char *name);
int schema_field_index(const SchemaTable *t, const char *name);   /* -1 if none */
/* Join keys of two tables (either order); false if the schema has none. */
/* The words of a blank-separated list (schema key lists). */
std::vector<std::string> split_words(const char *s);

bool schema_join_keys(const char *t1, const char *t2, std::vector<std::string> &k1,
                      std::vector<std::string> &k2);

/* ------------------------------------------------------------ values */

enum { MAX_SLOTS = 16, MAX_WIDTH = 128 };

struct Value {
    int type = 0;         /* field type */
    int isnull = 0;
    int baddate = 0;      /* a load date whose text fits no known form (null) */
    long i = 0;           /* dbINTEGER, dbYEARDAY */
    double d = 0;         /* dbREAL, dbTIME, dbDATE */
    void *p = nullptr;    /* dbPOINTER */
    Dbptr b{};            /* dbDBPTR */
    char s[MAX_WIDTH + 1];  /* trimmed text (every type); set by every read */
};

/* ------------------------------------------------------------ tables, views */

struct View {
    enum Kind { ROWS, GROUP } kind = ROWS;
    std::vector<long> tables;     /* ROWS: base table index per slot */
    std::vector<long> recs;       /* ROWS: tables.size() records per row; -1: none */
    long grouped = -1;            /* GROUP: the table/view whose rows are bundled */
    std::vector<std::string> keys;/* GROUP: the grouping fields */
    std::vector<long> ranges;     /* GROUP: first, end per row */
    long type = 0;                /* GROUP: the caller's group type */
    int owns_grouped = 0;         /* GROUP: `grouped` is a sorted copy made by dbgroup, freed with it */
};

/* One field of a table or view. */
struct Table;

struct FieldLoc {
    int slot = 0;                 /* which row of the slots */
    long table = -1;              /* base table index of that slot */
    const SchemaField *f = nullptr;
    int bundle = 0;               /* the `bundle` field of a grouped view */
    Table *base = nullptr;        /* that base table (tables live as long as
                                     their database): for its once-per-table
                                     warnings; may be null */
};

struct Index;

struct Table {
    long index = -1;
    unsigned long uid = 0;    /* unique in the process: tells a reused view slot from its last holder */
    /* views: references held on this view (its caller's handle, and each
     * grouped view that bundles its rows); at zero the view is deleted and
     * its slot reused.  Guarded by the database lock. */
    int refs = 1;
    int caller_freed = 0;     /* dbfree has dropped the caller's reference */
    std::string name;
    const SchemaTable *schema = nullptr;  /* base tables */
    std::unique_ptr<View> view;           /* views */

    /* base table storage; valid once `loaded` is set */
    std::atomic<int> loaded{0};
    std::mutex mu;
    std::string filename, dirname;
    int present = 0;          /* file exists or rows were added */
    int writable = 0;         /* rows may be written (r+ / memory, clean file) */
    int tofile = 0;           /* writes go to the file */
    int fd = -1;
    char *rows = nullptr;
    std::atomic<long> nrows{0};
    long cap = 0;             /* rows the storage holds */
    long stride = 0;          /* rowsize + 1 */
    int storage = 0;          /* 0 none, 1 mapped, 2 heap */
    size_t maplen = 0;        /* mapped storage: the mapping's length (about twice the file when mapped; rows appended later are read within it) */
    std::string scratch, nullrow;
    Arr *index_arr = nullptr;
    std::mutex imu;           /* guards index_arr and index builds */
    std::atomic<unsigned long> generation{0};  /* bumped when a row changes */
    int normalised = 0;       /* read through a normalising copy */
    size_t file_bytes = 0;    /* bytes of the file the rows account for */
    long long mtime_ns = 0;   /* the file's modification time when read */
    /* the file read (device, inode): a file replaced under its name (written
     * aside and renamed) is read again from the start, never extended from
     * rows of the file it replaced */
    unsigned long long file_dev = 0, file_ino = 0;
    /* storage replaced by a refresh, kept until close for readers that
     * still hold the old address: (address, mapped length or 0 for heap) */
    std::vector<std::pair<char *, size_t>> retired;
    long cut_row = -1;        /* a last line cut short (no newline): its row */
    long cut_col = 0;         /* and the column where it ends */
    std::atomic<int> lddate_warned{0};  /* an unreadable load date was reported */
    /* crash safety ("r+" files, dbsafe.cpp) */
    int lock_fd = -1;         /* the table file opened for the advisory write lock */
    int journal_fd = -1;      /* the redo journal beside the file, once a row was rewritten */
    size_t tail_at = 0;       /* a cut line after the rows, as last seen: where it starts */
    size_t tail_len = 0;      /*   and its length (0: none) */
    /* identifier set (dbsafe.cpp): identifier -> rows holding it, for the
     * rows [0, ids_rows) as laid out by ids_schema; rebuilt when stale.
     * Guarded by mu. */
    std::unique_ptr<std::unordered_map<long, long>> ids;
    long ids_rows = 0;
    const SchemaTable *ids_schema = nullptr;
    int ids_stale = 0;

    /* views: their fields (qualified names in fieldnames) */
    std::vector<FieldLoc> vfields;
    std::vector<std::string> vnames;      /* "table.field" */
    /* query results kept for the caller */
    Tbl *q_fields = nullptr, *q_primary = nullptr, *q_alternate = nullptr, *q_tables = nullptr;
    std::vector<Tbl *> q_retired;         /* field lists of a layout given up on a re-read */
    std::vector<std::string> q_strings;

    ~Table();
};

struct Database {
    long id = -1;
    unsigned long serial = 0;     /* unique per open, for hooks */
    std::string name;             /* as given */
    std::string prefix;           /* the path prefix of its tables */
    std::vector<std::string> dbpath;
    int writable = 0;             /* "r+" */
    int memory = 0;               /* in memory */
    int layout = LAYOUT_CSS30;    /* the descriptor's layout for new table files */
    std::mutex mu;                /* guards the table list and lazy loads */
    enum { CHUNK = 256, NCHUNK = 1024 };
    std::atomic<Table *> *chunks[NCHUNK] = {nullptr};
    std::atomic<long> ntables{0};
    std::vector<long> free_views; /* view slots emptied by dbfree, reused first (under mu) */

    Table *table(long i) const {
        if (i < 0 || i >= ntables.load(std::memory_order_acquire)) return nullptr;
        std::atomic<Table *> *c = chunks[i / CHUNK];
        return c ? c[i % CHUNK].load(std::memory_order_acquire) : nullptr;
    }
    ~Database();
};

/* The open database of a Dbptr, or null (no message). */
Database *db_get(long database);
/* Table or view i, its rows loaded (base tables); null if there is none.
 * Loading failures are reported and give an empty, unwritable table.  When
 * memory runs out during the load, "dbopen: out of memory reading <file>"
 * is registered and std::bad_alloc thrown (every exported function runs
 * inside host_guarded): the table stays unloaded, holding nothing, and the
 * next use loads it again. */
Table *db_table(Database *d, long i);
long table_count(const Table *t);
/* Table or view index by name, or -1. */
long table_find(Database *d, const char *name);

/* Resolves a field name ("field" or "table.field") of a table or view.
 * 1 found, 0 not found (no message). */
int field_resolve(Database *d, Table *t, const char *name, FieldLoc *loc);
/* Number of fields and the i-th of a table or view. */
int field_count(const Table *t);
int field_at(const Table *t, long i, FieldLoc *loc);

/* The row text of each slot of row `record` (a record number, dbSCRATCH or
 * dbNULL) of a table or view; returns the slot count, or -1 (out of
 * range, with no message).  Slots are null for a missing outer partner. */
int row_slots(Database *d, Table *t, long record, const char **slots);
/* The base table indexes of the slots of t's rows (a base table: itself). */
std::vector<long> view_base_tables(Database *d, Table *t);
/* The base record of every slot of a row (ROWS views and tables); false
 * out of range.  A grouped view gives the records of its first row. */
bool row_records(Database *d, Table *t, long record, std::vector<long> &recs);

/* The field of loc as its base table's rows are laid out now: loc.f, or the
 * field of the same name when the table's file was read again in another
 * layout since loc was resolved; null when that layout has no such field.
 * Everything that reads or writes a row at a FieldLoc's offset goes through
 * it, so a stale location never reaches past a row. */
const SchemaField *field_current(const FieldLoc &loc);
/* Reads one field from the slots.  0, or -1 when the text does not parse
 * (v holds the null then); err (if given) receives the reason. */
int field_read(const FieldLoc &loc, const char *const *slots, Value *v, std::string *err = nullptr);
/* Same for a bare schema field at a row text (null row: the null). */
int field_read_text(const SchemaField *f, const char *row, Value *v, std::string *err = nullptr);
/* True when the numeric field at loc of row `record` of t (a table or view)
 * is where its file's last line was cut short (see Table::cut_row): its
 * text is a number's beginning and must not be read as a number. */
bool field_is_cut(Database *d, Table *t, long record, const FieldLoc &loc);
/* Parses a trimmed text into a value of field f's type. */
int field_parse(const SchemaField *f, const char *s, size_t n, Value *v);
/* Formats a value of field f into exactly f->width characters at out.
 * 0, or -1 with err set (the value cannot be stored). */
int field_format(const SchemaField *f, const Value &v, char *out, std::string &err);

/* Registers a view built by the caller; returns its pointer (record dbALL)
 * or one with table dbINVALID (with a message). */
Dbptr view_register(Database *d, const char *name, std::unique_ptr<View> v);

/* Looks at a base table's file again: rows appended by another program
 * since it was read are added (a partial last line waits for its newline);
 * a file that shrank, was rewritten or changed in place is read again.
 * Readers may run meanwhile: replaced storage stays valid until close. */
void table_refresh(Database *d, Table *t);

/* Writes `row` (exactly the schema width) into record r of base table t, in
 * memory and on disk.  0 or -1 (with a message). */
int table_write_row(Database *d, Table *t, long r, const char *row, const char *caller);
/* Appends a row; the new record number or -1. */
long table_append_row(Database *d, Table *t, const char *row, const char *caller, bool check_id = false);

/* ------------------------------------------------------------ crash safety
 * (dbsafe.cpp)  Every write of an "r+" table file holds an exclusive
 * advisory lock (flock) on the file; a row rewrite goes through a redo
 * journal beside the file (the file's name and ".journal"). */

/* Takes the write lock of t's file (which must exist); false with a message. */
bool table_lock(Table *t, const char *caller);
void table_unlock(Table *t);
/* Rewrites `len` bytes at `off` of the table file through the journal:
 * the old and new text are journalled, the new text written in one call,
 * the journal cleared.  Holds the write lock.  Needs no memory.  0, or -1
 * with a message. */
int journal_rewrite(Table *t, off_t off, const char *text, size_t len, const char *caller);
/* At load: applies a journal a stopped writer left.  With `tofile` (the
 * caller holds the lock on fd, an "r+" file) the file is repaired and the
 * journal cleared; otherwise *off and *text receive the row text to put in
 * memory (true), the file left alone. */
bool journal_recover(Table *t, int fd, bool tofile, off_t *off, std::string *text);
/* Test hook: called at the steps of a rewrite ("journal": journalled, row
 * not written yet; "row": row written, journal not cleared) and of an
 * append ("append": before the row is written); a non-zero result stops
 * the write there, as if the process had been killed. */
extern int (*db_crash_hook)(const char *step);

/* The identifier field of a table (wfid of wfdisc, ...), or null. */
const char *id_field(const char *table);
/* Under t->mu: brings t's identifier set up to date with its rows and, when
 * `row` is non-null, tells whether the row's identifier is free: false
 * (with a message) when another row has it.  Memory running out throws
 * std::bad_alloc and leaves the set to be built again on the next use. */
bool ids_check(Table *t, const char *row, const char *caller);
/* Under t->mu: notes that row text `oldrow` (null: none) became `newrow`
 * (null: gone) in a table whose set is built.  Never fails: when memory
 * runs out the set is marked for a rebuild instead. */
void ids_note(Table *t, const char *oldrow, const char *newrow);

/* The Dbptr of one row. */
inline Dbptr make_ptr(long db, long table, long field, long record) {
    Dbptr p;
    p.database = db;
    p.table = table;
    p.field = field;
    p.record = record;
    return p;
}

}  // namespace hostdb

#endif
