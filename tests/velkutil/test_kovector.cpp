// First-generation plot vectors: per-point storage, capacities and
// accounting, editing, the arrays handed to callers, evaluation rules where
// they differ from the current family, and the shared loaders.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kovector.h"
#include "kovector2.h"
#include "pf.h"
#include "rzvtest.h"
#include "tr.h"

using rzvtest::has_message;
using rzvtest::TempDir;
using rzvtest::write_file;

namespace {

struct Handle {
    char h[64] = {0};
    operator char *() { return h; }
    ~Handle() {
        if (h[0]) kovector_free(h);
    }
};

void add(char *h, double x, std::vector<double> y, const char *label = nullptr) {
    ASSERT_EQ(kovector_append(h, -1, x, y.data(), (char *)label), 0);
}

TEST(FirstGenStore, CapacitiesAndAccounting) {
    elog_clear_register(0);
    Handle a, b, c;
    KOVector *v = kovector_create(1, 2, (char *)"grp", a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->size, 1);
    EXPECT_STREQ(v->ident, "kovec");
    long base = (long)sizeof(KOVector) + 4 + 1 * ((long)sizeof(KOVectorPoint) + 2 * 8);
    EXPECT_EQ(v->heap_size, base);
    add(a, 1, {10, 11});
    add(a, 2, {20, 21}, "two");
    EXPECT_EQ(v->size, 2);
    EXPECT_EQ(v->heap_size, base + (long)sizeof(KOVectorPoint) + 16);  // labels are not charged
    EXPECT_EQ(kovector_create(0, 1, nullptr, b)->size, 100);
    KOVector *t = kovector_create_tsamp(0, 5.0, 10.0, nullptr, nullptr, c);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->size, 1000);
    EXPECT_EQ(t->nx, 0);
    EXPECT_EQ(t->point, nullptr);
    long n, total;
    ASSERT_EQ(kovector_get_heap_size((char *)"grp", nullptr, &n, &total), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(total, v->heap_size);
    ASSERT_EQ(kovector_get_heap_size(nullptr, c, &n, &total), 0);
    EXPECT_EQ(total, (long)sizeof(KOVector) + 8000);
    // Handles of the two families are separate.
    EXPECT_EQ(kovector2_get_vector(a), nullptr);
    char h2[64];
    KOVector2 *w = kovector2_create(0, 1, nullptr, h2);
    ASSERT_NE(w, nullptr);
    elog_clear_register(0);
    KOVector *other = kovector_get_vector(h2);
    EXPECT_NE((void *)other, (void *)w);
    kovector2_free(h2);
    // A failed creation leaves the handle buffer as it was.
    char keep[64] = "previous";
    EXPECT_EQ(kovector_create_tsamp(3, 0, 0.0, nullptr, nullptr, keep), nullptr);
    EXPECT_STREQ(keep, "previous");
}

TEST(FirstGenStore, FreeAndFreeTag) {
    char h1[64], h2[64], h3[64];
    kovector_create(0, 1, (char *)"gone", h1);
    kovector_create(0, 1, (char *)"gone", h2);
    kovector_create(0, 1, nullptr, h3);
    EXPECT_EQ(kovector_free_tag((char *)"gone"), 0);
    EXPECT_EQ(kovector_get_vector(h1), nullptr);
    EXPECT_EQ(kovector_get_vector(h2), nullptr);
    EXPECT_NE(kovector_get_vector(h3), nullptr);
    elog_clear_register(0);
    EXPECT_EQ(kovector_free((char *)"vect999999"), 0);
    EXPECT_EQ(elog_count(), 0);
    kovector_free(h3);
}

TEST(FirstGenEditing, InsertKeepsEachPointsOwnValuesAndLabels) {
    Handle h;
    KOVector *v = kovector_create(0, 1, nullptr, h);
    add(h, 1, {10}, "one");
    add(h, 2, {20});
    double y = 5;
    ASSERT_EQ(kovector_append(h, 0, 0.5, &y, (char *)"new"), 0);
    ASSERT_EQ(v->nx, 3);
    EXPECT_EQ(v->point[0].x, 0.5);
    EXPECT_EQ(v->point[0].y[0], 5);
    EXPECT_STREQ(v->point[0].label, "new");
    EXPECT_EQ(v->point[1].y[0], 10);
    EXPECT_STREQ(v->point[1].label, "one");
    EXPECT_EQ(v->point[2].y[0], 20);
    EXPECT_EQ(v->point[2].label, nullptr);
    EXPECT_NE(v->point[0].y, v->point[1].y);
    EXPECT_NE(v->point[1].y, v->point[2].y);
    ASSERT_EQ(kovector_append(h, 1, 0.7, &y, (char *)""), 0);
    EXPECT_EQ(v->point[1].label, nullptr);  // an empty label stores nothing
    // Labels: put replaces, "" removes, get_point leaves the buffer alone
    // for an unlabelled point.
    y = 7;
    ASSERT_EQ(kovector_put(h, 2, 9, &y, (char *)"nine"), 0);
    char buf[32] = "untouched";
    double x, yy;
    ASSERT_EQ(kovector_get_point(h, 1, &x, &yy, buf), 0);
    EXPECT_STREQ(buf, "untouched");
    ASSERT_EQ(kovector_get_point(h, 2, &x, &yy, buf), 0);
    EXPECT_STREQ(buf, "nine");
    EXPECT_EQ(x, 9);
    ASSERT_EQ(kovector_puty(h, 2, &y, (char *)""), 0);
    EXPECT_EQ(v->point[2].label, nullptr);
    elog_clear_register(0);
    EXPECT_EQ(kovector_put(h, 4, 1, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector_put: Illegal ix value\n"));
    EXPECT_EQ(kovector_get_point(h, 4, &x, &yy, nullptr), -1);
    EXPECT_TRUE(has_message("kovector_get_point: Illegal index value\n"));
}

TEST(FirstGenEditing, TimeSampledVectors) {
    Handle h;
    double s[3] = {1, 3.4e38, 5};
    KOVector *v = kovector_create_tsamp(3, 100, 2, s, nullptr, h);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->size, 3);
    double y = 9;
    ASSERT_EQ(kovector_puty(h, 2, &y, (char *)"ignored"), 0);
    EXPECT_EQ(v->data[2], 9);
    EXPECT_EQ(v->data[0], 1);
    elog_clear_register(0);
    EXPECT_EQ(kovector_append(h, -1, 1, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector_append: Cannot append to time sample vector\n"));
    EXPECT_EQ(kovector_put(h, 0, 1, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector_put: Cannot put X(time) value for constant sampled data.\n"));
    double xmin, xmax, ymin, ymax;
    ASSERT_EQ(kovector_maxmin(h, 0, &xmin, &xmax, &ymin, &ymax), 0);
    EXPECT_EQ(xmin, 100);
    EXPECT_EQ(xmax, 101);
    EXPECT_EQ(ymin, 1);
    EXPECT_EQ(ymax, 3.4e38);  // the marker is not skipped here
    ASSERT_EQ(kovector_transform_ygain(h, 2, -1), 0);
    EXPECT_EQ(v->data[0], 2);
    EXPECT_EQ(v->data[1], 6.8e38);  // nor here
    v->nx = 3;
    v->data[1] = 2;
    double e;
    ASSERT_EQ(kovector_eval(h, 100.25, &e), 0);
    EXPECT_DOUBLE_EQ(e, 2);
    ASSERT_EQ(kovector_eval(h, 101.5, &e), 0);
    float g;
    trfill_gap(&g, 1);
    EXPECT_EQ(e, (double)g);
    EXPECT_EQ(kovector_nearest(h, 0, 100.9, 0), 1);
    // Growth of samples keeps them and zeroes the tail.
    v->nx = 3;
    ASSERT_EQ(kovector_resize(h), 0);
    EXPECT_EQ(v->size, 6);
    EXPECT_EQ(v->data[2], 18);
    EXPECT_EQ(v->data[5], 0);
}

TEST(FirstGenAccess, GetPointsAllocatesForTheCaller) {
    Handle h;
    kovector_create(0, 2, nullptr, h);
    add(h, 1, {10, 100}, "a");
    add(h, 2, {20, 200});
    add(h, 3, {30, 300});
    int npts = -1, ny = -1;
    double *x = nullptr, **cols = nullptr;
    char **labels = nullptr;
    ASSERT_EQ(kovector_get_points(h, &npts, &ny, &x, &cols, &labels), 0);
    EXPECT_EQ(npts, 3);
    EXPECT_EQ(ny, 2);
    EXPECT_EQ(x[2], 3);
    EXPECT_EQ(cols[0][1], 20);
    EXPECT_EQ(cols[1][2], 300);
    EXPECT_NE(cols[0], cols[1]);
    EXPECT_STREQ(labels[0], "a");
    EXPECT_EQ(labels[1], nullptr);
    free(x);
    free(cols[0]);
    free(cols[1]);
    free(cols);
    for (int i = 0; i < 3; i++) free(labels[i]);
    free(labels);
    ny = 1;
    double *col = nullptr;
    ASSERT_EQ(kovector_get_points(h, &npts, &ny, &x, &col, nullptr), 0);
    EXPECT_EQ(col[0], 100);
    EXPECT_EQ(ny, 1);
    free(x);
    free(col);
    ny = 2;
    elog_clear_register(0);
    EXPECT_EQ(kovector_get_points(h, &npts, &ny, &x, &col, nullptr), -1);
    EXPECT_EQ(npts, 0);
    EXPECT_TRUE(has_message("kovector_get_points: index out of range.\n"));
    Handle t;
    double s[2] = {4, 5};
    kovector_create_tsamp(2, 10, 4, s, nullptr, t);
    ny = 0;
    ASSERT_EQ(kovector_get_points(t, &npts, &ny, &x, &col, &labels), 0);
    EXPECT_EQ(x[1], 10.25);
    EXPECT_EQ(col[1], 5);
    EXPECT_EQ(labels[0], nullptr);
    free(x);
    free(col);
    free(labels);
}

TEST(FirstGenEvaluation, StatsCopiesAndTransforms) {
    Handle a, b, c, out;
    kovector_create(0, 1, nullptr, a);
    kovector_create(0, 1, nullptr, b);
    kovector_create(0, 1, nullptr, c);
    add(a, 0, {1}, "p");
    add(a, 1, {-3});
    add(b, 0, {5});
    add(b, 1, {2});
    add(c, 0, {3});
    add(c, 1, {10});
    Tbl *t = strtbl(a.h, b.h, c.h, (char *)nullptr);
    KOVector *m = kovector_stats(t, (char *)"median", nullptr, out);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->point[0].y[0], 3);
    EXPECT_EQ(m->point[1].y[0], 2);
    EXPECT_STREQ(m->point[0].label, "p");
    freetbl(t, nullptr);
    elog_clear_register(0);
    t = strtbl(a.h, (char *)"nope", (char *)nullptr);
    EXPECT_EQ(kovector_stats(t, (char *)"max", nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kovector_append: kovector_get_vector(nope) error.\n"));
    EXPECT_EQ(kovector_stats(t, (char *)"mode", nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kovector_stats: Unrecognized type 'mode'\n"));
    freetbl(t, nullptr);
    Handle ts;
    double s[1] = {1};
    kovector_create_tsamp(1, 0, 1, s, nullptr, ts);
    t = strtbl(ts.h, (char *)nullptr);
    EXPECT_EQ(kovector_stats(t, (char *)"max", nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kovector_append: Can only do stats on point vectors.\n"));
    freetbl(t, nullptr);

    Handle cp;
    KOVector *k = kovector_copy_1y(a, 0, (char *)"copy", cp);
    ASSERT_NE(k, nullptr);
    EXPECT_STREQ(k->tag, "copy");
    EXPECT_STREQ(k->point[0].label, "p");
    EXPECT_NE(k->point[0].label, kovector_get_vector(a)->point[0].label);
    EXPECT_EQ(kovector_copy_1y(a, 1, nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kovector_copy_1y: Illegal yindex value.\n"));
    ASSERT_EQ(kovector_transform_invertx(cp), 0);
    EXPECT_EQ(k->point[0].x, 1e30);
    EXPECT_EQ(k->point[1].x, 1);
    ASSERT_EQ(kovector_transform_spec(b, 2, 0), 0);
    EXPECT_NEAR(kovector_get_vector(b)->point[1].y[0], 2 * 39.4784176, 1e-6);
    double y;
    ASSERT_EQ(kovector_eval(c, 0.5, &y), 0);
    EXPECT_EQ(y, 6.5);
    EXPECT_EQ(kovector_nearest(c, 0, 1, 9), 1);
}

TEST(FirstGenLoading, SharedFormatsWithTheirOwnCounts) {
    TempDir dir;
    elog_clear_register(0);
    std::string fap = dir.file("r.fap");
    write_file(fap, "# c\r\nx 0 y fap\r\n3\r\n1 2 3\r\n4 5 6 extra");
    Handle h;
    int err = 7;
    KOVector *v = kovector_create_response_fap((char *)fap.c_str(), nullptr, h, &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(v->nx, 2);  // only the rows given
    EXPECT_EQ(v->size, 3);
    EXPECT_EQ(v->point[1].y[1], 6);
    write_file(fap, "x 0 y paz\n3\n");
    EXPECT_EQ(kovector_create_response_fap((char *)fap.c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_TRUE(has_message("kovector_create_response_fap: " + fap + " not a fap or fap2 file (paz).\n"));

    Pf *pf = nullptr;
    pfread_string("t [\n1 2 3\n#x\n4 5 6\n]\n", &pf);
    Handle p;
    v = kovector_create_from_pf(pf, (char *)"t", (char *)"g", p, &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(v->size, 2);
    EXPECT_EQ(v->nx, 2);
    EXPECT_EQ(v->ny, 2);
    EXPECT_EQ(v->point[1].y[1], 6);
    add(p, 7, {8, 9});  // grows from its exact size
    EXPECT_EQ(v->size, 4);
    EXPECT_EQ(kovector_create_from_pf(pf, (char *)"missing", nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, -1);
    EXPECT_TRUE(has_message("kovector_create_from_pf: parse_param(missing) error.\n"));
    pffree(pf);

    std::string txt = dir.file("v.txt");
    std::string text;
    for (int i = 0; i < 150; i++) text += std::to_string(i) + "\t" + std::to_string(i * i) + "\n";
    write_file(txt, text);
    Handle r;
    int ypos = 1;
    v = kovector_read((char *)txt.c_str(), nullptr, 0, 1, 1, &ypos, 0, r);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 150);
    EXPECT_EQ(v->point[149].x, 149 * 149);
    EXPECT_STREQ(v->point[149].label, "149");
    char keep[64] = "kept";
    EXPECT_EQ(kovector_read((char *)"/nonexistent", nullptr, 0, 0, 1, &ypos, -1, keep), nullptr);
    EXPECT_TRUE(has_message("kovector_read: fopen(/nonexistent) error.\n"));
    EXPECT_STREQ(keep, "kept");
}

TEST(FirstGenLoading, BlobStreams) {
    TempDir dir;
    Dbptr tr = trnew(nullptr, nullptr);
    tr.record = dbaddv(tr, nullptr, "sta", "AB", "chan", "HHZ", "time", 50.0, "samprate", 100.0, "nsamp", 2L,
                       (char *)nullptr);
    char row[1024];
    dbget(tr, row);
    trdestroy(&tr);
    std::string bytes;
    int lens[2] = {(int)strlen(row), 2};
    for (int n : lens)
        for (int sh = 24; sh >= 0; sh -= 8) bytes.push_back((char)((unsigned)n >> sh));
    bytes += row;
    float s[2] = {1.5f, -2.5f};
    bytes.append(reinterpret_cast<char *>(s), sizeof s);
    write_file(dir.file("b"), bytes);
    Dbptr db = dbinvalid();
    ASSERT_EQ(kovector_read_from_trblob((char *)dir.file("b").c_str(), (char *)"bt", &db), 0);
    char comment[100];
    dbgetv(db, nullptr, "comment", comment, (char *)nullptr);
    KOVector *v = kovector_get_vector(comment);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 2);
    EXPECT_EQ(v->data[1], -2.5);
    EXPECT_EQ(v->time, 50);
    EXPECT_EQ(kovector2_get_vector(comment) == nullptr || (void *)kovector2_get_vector(comment) != (void *)v, true);
    kovector_free(comment);
    trdestroy(&db);
}

}  // namespace
