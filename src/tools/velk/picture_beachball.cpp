// picture_beachball.cpp -- a moment tensor's beach ball, from the outlines
// and fills that the moment-tensor family projects as plot vectors.
#include <cmath>
#include <cstdlib>

#include "komoment.h"
#include "kovector2.h"
#include "pictures.h"
#include "svg.h"
#include "velk.h"

namespace velk {

namespace {

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

// Path data; the lower hemisphere at (x, y) has the radiation of the upper
// one at (-x, -y), the pattern being even.
std::string path_of(const std::vector<std::pair<double, double>> &pts, double cx, double cy, double r, bool lower,
                    bool closed) {
    std::string d;
    double s = lower ? -1 : 1;
    for (size_t i = 0; i < pts.size(); i++)
        d += (i ? " L" : "M") + num(cx + s * r * pts[i].first) + " " + num(cy - s * r * pts[i].second);
    if (closed && !d.empty()) d += " Z";
    return d;
}

}  // namespace

bool beachball_svg(const double m[6], double size, bool lower, const std::string &title, std::string *svg,
                   std::string *summary) {
    char mh[32] = "";
    KOMoment *mt = komoment_create(m[0], m[1], m[2], m[3], m[4], m[5], nullptr, mh);
    if (!mt) return false;
    char o1[32] = "", o2[32] = "", f1[32] = "", f2[32] = "", d1[32] = "", d2[32] = "";
    if (komoment_compute_bb(mh, o1, o2, f1, f2, d1, d2) < 0) {
        komoment_free(mh);
        return false;
    }
    if (summary)
        *summary = strprintf("eigenvalues %.6g %.6g %.6g; isotropic %.6g; %.1f%% double couple; "
                             "P axis (%.3f %.3f %.3f), T axis (%.3f %.3f %.3f)",
                             mt->eig1, mt->eig2, mt->eig3, mt->isotropic, mt->percent_dc, mt->p_axis[0],
                             mt->p_axis[1], mt->p_axis[2], mt->t_axis[0], mt->t_axis[1], mt->t_axis[2]);
    double head = title.empty() ? 0 : 30;
    const double c = size / 2, cy = head + size / 2, r = size * 0.45;
    SvgDoc doc(size, size + head, title.empty() ? "beach ball" : title);
    if (!title.empty()) doc.text(c, 20, title, "text-anchor=\"middle\" font-size=\"14\" font-weight=\"bold\"");
    doc.raw("<clipPath id=\"ball\"><circle cx=\"" + num(c) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) +
            "\"/></clipPath>\n");
    doc.raw("<circle cx=\"" + num(c) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) + "\" fill=\"white\"/>\n");
    doc.open_group("clip-path=\"url(#ball)\" class=\"" + std::string(lower ? "lower" : "upper") + "\"");
    for (char *h : {f1, f2}) {
        auto pts = points_of(h);
        if (pts.size() > 2)
            doc.raw("<path class=\"fill\" d=\"" + path_of(pts, c, cy, r, lower, true) +
                    "\" fill=\"#c0392b\" fill-rule=\"evenodd\" stroke=\"none\"/>\n");
    }
    for (char *h : {d1, d2}) {
        auto pts = points_of(h);
        if (pts.size() > 1)
            doc.raw("<path class=\"dc\" d=\"" + path_of(pts, c, cy, r, lower, false) +
                    "\" fill=\"none\" stroke=\"#555\" stroke-width=\"" + num(std::max(0.5, size / 400)) +
                    "\" stroke-dasharray=\"" + num(size / 60) + " " + num(size / 80) + "\"/>\n");
    }
    for (char *h : {o1, o2}) {
        auto pts = points_of(h);
        if (pts.size() > 1)
            doc.raw("<path class=\"nodal\" d=\"" + path_of(pts, c, cy, r, lower, false) +
                    "\" fill=\"none\" stroke=\"black\" stroke-width=\"" + num(std::max(0.5, size / 200)) + "\"/>\n");
    }
    doc.close_group();
    doc.raw("<circle cx=\"" + num(c) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) +
            "\" fill=\"none\" stroke=\"black\" stroke-width=\"" + num(std::max(1.0, size / 130)) + "\"/>\n");
    *svg = doc.str();
    for (char *h : {o1, o2, f1, f2, d1, d2})
        if (h[0]) kovector2_free(h);
    komoment_free(mh);
    return true;
}

}  // namespace velk
