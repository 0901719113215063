// komoment_svg: draws the beach ball of a moment tensor as an SVG picture.
//
//   komoment_svg mxx myy mzz mxy mxz myz out.svg [size]
//
// The picture is the projection plane of the tensor's frame seen from +z
// (x to the right, y up): the region where the radiation pattern is
// positive is shaded, the nodal curves of the deviatoric part are drawn in
// black and those of the best double couple dashed.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "komoment.h"
#include "kovector2.h"

namespace {

int usage() {
    fprintf(stderr, "usage: komoment_svg mxx myy mzz mxy mxz myz out.svg [size]\n");
    return 2;
}

bool parse_number(const char *s, double *v) {
    char *end = nullptr;
    errno = 0;
    *v = strtod(s, &end);
    return end != s && *end == '\0' && errno == 0 && std::isfinite(*v);
}

// The points of a vector named by a handle buffer (none for an empty one).
std::vector<std::pair<double, double>> points_of(char *handle) {
    std::vector<std::pair<double, double>> pts;
    if (!handle[0]) return pts;
    double *xs = nullptr, *ys = nullptr;
    int xsize = 0, ysize = 0, nx = 0, ny = 0;
    if (kovector2_get_points(handle, 0, &nx, &ny, &xs, &xsize, &ys, &ysize, nullptr) == 0)
        for (int i = 0; i < nx; i++) pts.emplace_back(xs[i], ys[i]);
    free(xs);
    free(ys);
    return pts;
}

std::string path_of(const std::vector<std::pair<double, double>> &pts, double c, double r, bool closed) {
    std::string d;
    char buf[64];
    for (size_t i = 0; i < pts.size(); i++) {
        snprintf(buf, sizeof buf, "%s%.2f %.2f ", i ? "L" : "M", c + r * pts[i].first, c - r * pts[i].second);
        d += buf;
    }
    if (closed && !d.empty()) d += "Z";
    return d;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 8 && argc != 9) return usage();
    double m[6];
    for (int i = 0; i < 6; i++) {
        if (!parse_number(argv[i + 1], &m[i])) {
            fprintf(stderr, "komoment_svg: '%s' is not a number\n", argv[i + 1]);
            return usage();
        }
    }
    double size = 400;
    if (argc == 9 && (!parse_number(argv[8], &size) || size < 20 || size > 10000)) {
        fprintf(stderr, "komoment_svg: size must be a number from 20 to 10000\n");
        return 2;
    }

    char mh[32] = "";
    if (!komoment_create(m[0], m[1], m[2], m[3], m[4], m[5], nullptr, mh)) {
        elog_complain(0, "komoment_svg: cannot analyse the tensor\n");
        return 1;
    }
    char o1[32] = "", o2[32] = "", f1[32] = "", f2[32] = "", d1[32] = "", d2[32] = "";
    if (komoment_compute_bb(mh, o1, o2, f1, f2, d1, d2) < 0) {
        elog_complain(0, "komoment_svg: cannot project the tensor\n");
        return 1;
    }

    FILE *fp = fopen(argv[7], "w");
    if (!fp) {
        perror(argv[7]);
        return 1;
    }
    const double c = size / 2, r = size * 0.45;
    fprintf(fp, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(fp, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
            size, size, size, size);
    fprintf(fp, "<clipPath id=\"ball\"><circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\"/></clipPath>\n", c, c, r);
    fprintf(fp, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" fill=\"white\"/>\n", c, c, r);
    fprintf(fp, "<g clip-path=\"url(#ball)\">\n");
    for (char *h : {f1, f2}) {
        auto pts = points_of(h);
        if (pts.size() > 2)
            fprintf(fp, "<path d=\"%s\" fill=\"#c0392b\" fill-rule=\"evenodd\" stroke=\"none\"/>\n",
                    path_of(pts, c, r, true).c_str());
    }
    for (char *h : {d1, d2}) {
        auto pts = points_of(h);
        if (pts.size() > 1)
            fprintf(fp,
                    "<path d=\"%s\" fill=\"none\" stroke=\"#555555\" stroke-width=\"%.2f\" "
                    "stroke-dasharray=\"%.1f %.1f\"/>\n",
                    path_of(pts, c, r, false).c_str(), size / 400, size / 60, size / 80);
    }
    for (char *h : {o1, o2}) {
        auto pts = points_of(h);
        if (pts.size() > 1)
            fprintf(fp, "<path d=\"%s\" fill=\"none\" stroke=\"black\" stroke-width=\"%.2f\"/>\n",
                    path_of(pts, c, r, false).c_str(), size / 200);
    }
    fprintf(fp, "</g>\n");
    fprintf(fp, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" fill=\"none\" stroke=\"black\" stroke-width=\"%.2f\"/>\n", c,
            c, r, size / 130);
    fprintf(fp, "</svg>\n");
    if (fclose(fp) != 0) {
        perror(argv[7]);
        return 1;
    }
    for (char *h : {o1, o2, f1, f2, d1, d2})
        if (h[0]) kovector2_free(h);
    komoment_free(mh);
    return 0;
}
