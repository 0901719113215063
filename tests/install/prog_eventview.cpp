// A C++ program outside the tree: built against the installed headers and
// libraries through pkg-config, it configures an object of its own class and
// binds an event view to a small database it writes.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "KOConfigure.h"
#include "KOEventView.h"

namespace {
struct Settings {
    int count;
    char *label;
};

class Configured : public KOConfigure {
public:
    Settings s{};
    KO_ConfigureSpec specs[3] = {{"int", "count", "3", offsetof(Settings, count), 0, nullptr},
                                 {"string", "label", "none", offsetof(Settings, label), 0, nullptr},
                                 {"end", nullptr, nullptr, 0, 0, nullptr}};
    Configured() { setConfigureSpecs(specs, (char *)&s, "Configured"); }
    ~Configured() { free(s.label); }
};
}  // namespace

int main() {
    Configured c;
    if (c.s.count != 3 || c.configure("count", "0x10", "label", "x", (char *)0) != 0 || c.s.count != 16) return 1;

    char dir[] = "/tmp/prog_eventview.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string name = std::string(dir) + "/ev";
    Dbptr db;
    if (dbopen(name.c_str(), "r+", &db) < 0) return 1;
    dbaddv(dblookup(db, 0, "event", 0, 0), 0, "evid", 1L, "prefor", 5L, (char *)0);
    dbaddv(dblookup(db, 0, "origin", 0, 0), 0, "orid", 5L, "evid", 1L, "time", 1.0e9, (char *)0);
    dbclose(db);

    int rc = 0;
    try {
        KOEventView view(nullptr);
        Tbl *events = nullptr;
        if (view.configure("dbname", name.c_str(), (char *)0) != 0 || view.refreshEvents(&events) != 0 ||
            maxtbl(events) != 1 || static_cast<KOEVEvent *>(gettbl(events, 0))->pref_origin->orid != 5)
            rc = 1;
        view.freeEvents(events);
    } catch (const char *what) {
        fprintf(stderr, "%s\n", what);
        rc = 1;
    }
    unlink((name + ".event").c_str());
    unlink((name + ".origin").c_str());
    rmdir(dir);
    if (rc == 0) printf("installed C++ classes work\n");
    return rc;
}
