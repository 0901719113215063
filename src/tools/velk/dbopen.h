// dbopen.h -- opening a database named on the command line.
#ifndef VELK_DBOPEN_H
#define VELK_DBOPEN_H

#include <string>

#include "db.h"

namespace velk {

// Opens a database (mode "r" or "r+") and closes it when the object goes.
// Throws Failure when it cannot be opened; with need_table, also when that
// table has neither rows nor a file (a mistyped name opens as an empty
// database otherwise).
class OpenDb {
public:
    OpenDb(const std::string &name, const char *mode, const char *need_table);
    ~OpenDb();
    OpenDb(const OpenDb &) = delete;
    OpenDb &operator=(const OpenDb &) = delete;
    Dbptr db() const { return db_; }
    Dbptr table(const char *name) const { return dblookup(db_, 0, name, 0, 0); }
    // 1 when the table has rows or a file.
    bool present(const char *name) const;

private:
    Dbptr db_;
};

}  // namespace velk

#endif
