// Arbitrary bytes as a trace blob stream, read into a trace table and
// vectors by both plot-vector families; every row's vector is found by the
// handle in its comment and released.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kovector.h"
#include "kovector2.h"
#include "tr.h"

static const std::string &scratch() {
    static const std::string path = "/tmp/fuzz_blob_" + std::to_string(getpid());
    return path;
}

template <class Free>
static void release(Dbptr *tr, Free free_handle) {
    if (tr->database == dbINVALID) return;
    long n = 0;
    Dbptr t = *tr;
    t.record = dbALL;
    dbquery(t, dbRECORD_COUNT, &n);
    for (long i = 0; i < n; i++) {
        t.record = i;
        char c[128] = "";
        void *data = nullptr, *resp = nullptr;
        dbgetv(t, nullptr, "comment", c, "data", &data, "response", &resp, (char *)nullptr);
        if (data || resp) __builtin_trap();  // no address ever comes from the stream
        free_handle(c);
    }
    trdestroy(tr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *fp = fopen(scratch().c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);
    Dbptr tr = dbinvalid();
    kovector2_read_from_trblob((char *)scratch().c_str(), (char *)"b", &tr);
    release(&tr, [](char *h) { kovector2_free(h); });
    tr = dbinvalid();
    kovector_read_from_trblob((char *)scratch().c_str(), (char *)"b", &tr);
    release(&tr, [](char *h) { kovector_free(h); });
    elog_clear_register(0);
    return 0;
}
