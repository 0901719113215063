// dbopen.cpp -- a database named on the command line, opened and closed.
#include "dbopen.h"

#include "velk.h"

namespace velk {

OpenDb::OpenDb(const std::string &name, const char *mode, const char *need_table) : db_(dbinvalid()) {
    if (name.empty()) throw UsageError("the database name is empty");
    if (dbopen(name.c_str(), mode, &db_) < 0) throw Failure("cannot open the database " + name);
    if (need_table && !present(need_table)) {
        dbclose(db_);
        db_ = dbinvalid();
        throw Failure("the database " + name + " has no " + need_table + " table (no file " + name + "." +
                      need_table + ")");
    }
}

OpenDb::~OpenDb() {
    if (db_.database >= 0) dbclose(db_);
}

bool OpenDb::present(const char *name) const {
    Dbptr t = dblookup(db_, 0, name, 0, 0);
    long present = 0;
    return t.table >= 0 && dbquery(t, dbTABLE_PRESENT, &present) == 0 && present;
}

}  // namespace velk
