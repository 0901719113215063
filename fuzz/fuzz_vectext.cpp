// Arbitrary bytes as a column text file for both plot-vector families: the
// first bytes choose the columns, the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "kovector.h"
#include "kovector2.h"

static const std::string &scratch() {
    static const std::string path = "/tmp/fuzz_vectext_" + std::to_string(getpid());
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    int line_off = data[0] % 4;
    int xpos = data[1] % 6 - 1;
    int ny = data[2] % 5;
    int lpos = data[3] % 7 - 1;
    int ypos[4] = {1, data[2] % 3 + 1, 3, (data[3] >> 4) % 6};
    FILE *fp = fopen(scratch().c_str(), "wb");
    if (!fp) return 0;
    fwrite(data + 4, 1, size - 4, fp);
    fclose(fp);
    char h[64];
    KOVector2 *v = kovector2_read((char *)scratch().c_str(), (char *)"f", line_off, xpos, ny, ypos, lpos, h);
    int nx2 = -1;
    if (v) {
        if (v->nx > v->x_size || v->ny != (ny > 0 ? ny : 1)) __builtin_trap();
        nx2 = v->nx;
        kovector2_free(h);
    }
    KOVector *w = kovector_read((char *)scratch().c_str(), (char *)"f", line_off, xpos, ny, ypos, lpos, h);
    if (w) {
        if (nx2 >= 0 && w->nx != nx2) __builtin_trap();  // one reader, one answer
        kovector_free(h);
    }
    elog_clear_register(0);
    return 0;
}
