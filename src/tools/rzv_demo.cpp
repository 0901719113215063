// rzv_demo: a tour of the library on data it makes itself.  It writes what
// it produces into the directory given as its argument and reports each
// step on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velkutil.h"

static int fail(const char *what) {
    fprintf(stderr, "rzv_demo: %s failed\n", what);
    elog_clear_register(1);
    return 1;
}

int main(int argc, char **argv) {
    const char *outdir = argc > 1 ? argv[1] : ".";
    printf("rzv_demo: writing into %s\n", outdir);

    // Object names.
    static int station_obj;
    if (KO_SetName((char *)"ANMO", (char *)"station", &station_obj) < 0) return fail("KO_SetName");
    char cls[64];
    void *found = KO_GetObject((char *)"ANMO", cls);
    printf("names: ANMO -> %s object %s\n", cls, found == &station_obj ? "found" : "MISSING");

    // A file-backed list that survives the process.
    std::string path = std::string(outdir) + "/demo.list";
    Tbl *t = nullptr;
    if (filetbl(path.c_str(), "demo", 16, 0, sizeof(double), &t) < 0) return fail("filetbl");
    double v = (double)maxtbl(t);
    pushtbl(t, &v);
    printf("filetbl: %s holds %ld records (one more each run)\n", path.c_str(), maxtbl(t));
    freetbl(t, nullptr);

    printf("rzv_demo: done\n");
    return 0;
}
