// Fuzzing the grid packet reader: arbitrary bytes as one packet for
// kogrid_unstuff, and as a framed stream for kogrid_read_fd through a memory
// file.  Whatever unpacks must pack again, unpack to the same grid, and
// evaluate without trouble.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "kogrid.h"

namespace {

void exercise(KOGrid *g) {
    char *p = nullptr;
    int n = 0, cap = 0;
    if (kogrid_stuff_kogrid(g, &p, &n, &cap) == 0) {
        KOGrid *h = nullptr;
        if (kogrid_unstuff(p, n, &h) != 0) abort();
        if (h->data_size != g->data_size || memcmp(h->data, g->data, 4L * g->data_size) != 0) abort();
        kogrid_free_kogrid(h);
    }
    free(p);
    if (kogrid_order(g) == 0 && g->nsamps > 0) {
        float xs[4] = {0, 1, -1, 0.5f}, ys[4] = {0, 1, 0.5f, -1};
        if (g->nxgrid > 0 && g->xgrid_coords) xs[0] = g->xgrid_coords[g->nxgrid / 2];
        if (g->nygrid > 0 && g->ygrid_coords) ys[0] = g->ygrid_coords[g->nygrid / 2];
        float *out = nullptr;
        long size = 0;
        kogrid_eval_kogrid(g, 0, 4, xs, ys, "bilinear", "none", &out, &size);
        kogrid_eval_kogrid(g, g->nsamps - 1, 4, xs, ys, "block", "none", &out, &size);
        free(out);
        float a, b, c, d, e, f;
        kogrid_maxmin_kogrid(g, 0, &a, &b, &c, &d, &e, &f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 24)) return 0;
    const uint8_t mode = data[0];
    data++;
    size--;
    elog_clear_register(0);
    if (mode & 1) {
        // one packet, in a buffer of exactly its size
        char *copy = static_cast<char *>(malloc(size ? size : 1));
        if (size) memcpy(copy, data, size);
        KOGrid *g = nullptr;
        if (kogrid_unstuff(copy, (int)size, &g) == 0) {
            exercise(g);
            // and again into the grid just made
            if (kogrid_unstuff(copy, (int)size, &g) != 0) abort();
        } else if (g) {
            abort();  // a failed unpack must not leave a grid behind
        }
        kogrid_free_kogrid(g);
        free(copy);
    } else {
        int fd = memfd_create("fuzz_kogrid", 0);
        if (fd < 0) return 0;
        if (size && write(fd, data, size) != (ssize_t)size) {
            close(fd);
            return 0;
        }
        lseek(fd, 0, SEEK_SET);
        KOGrid *g = nullptr;
        for (int frames = 0; frames < 64; frames++) {
            int r = kogrid_read_fd(fd, &g);
            if (r == 0) break;
            if (r > 0 && g) exercise(g);
            if (r < 0 && elog_count() == 0) abort();  // every failure says why
        }
        kogrid_free_kogrid(g);
        close(fd);
    }
    elog_clear_register(0);
    return 0;
}
