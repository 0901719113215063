// cmd_beachball.cpp -- "velk beachball": a moment tensor's beach ball as an
// SVG picture, with its eigenvalues and double-couple share.
#include <cmath>
#include <cstdio>
#include <memory>

#include "pictures.h"
#include "stock.h"
#include "velk.h"

namespace velk {

namespace {

struct BeachballArgs {
    std::vector<double> m;
    std::string svg;
    double size = 400;
    bool lower = false;
};

int run_beachball(const BeachballArgs &a) {
    if (a.m.size() != 6) throw UsageError("six tensor components are needed: MXX MYY MZZ MXY MXZ MYZ");
    for (double v : a.m)
        if (!std::isfinite(v)) throw UsageError("tensor components must be finite numbers");
    std::string svg, summary;
    if (!beachball_svg(a.m.data(), a.size, a.lower, "", &svg, &summary))
        throw Failure("cannot draw the beach ball of this tensor");
    if (!write_file(a.svg, svg)) throw Failure("cannot write " + a.svg);
    printf("%s\n", summary.c_str());
    printf("beach ball (%s hemisphere): %s\n", a.lower ? "lower" : "upper", a.svg.c_str());
    return 0;
}

}  // namespace

void register_beachball(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<BeachballArgs>();
    CLI::App *sub = app.add_subcommand("beachball", "Draw the beach ball of a moment tensor as SVG");
    sub->add_option("MXX MYY MZZ MXY MXZ MYZ", a->m,
                    "The six independent components of the symmetric tensor (any consistent unit)")
        ->expected(6)
        ->required();
    sub->add_option("--svg", a->svg, "The picture to write")->required();
    sub->add_option("--size", a->size, "Width of the picture in pixels")->check(CLI::Range(20.0, 10000.0));
    sub->add_flag("--lower", a->lower,
                  "Draw the lower hemisphere, the convention of focal mechanisms when x is east, y north and z "
                  "up (default: the upper hemisphere seen from +z)");
    sub->footer("Example: velk beachball 0.3 -1.0 0.7 0.2 0.5 -0.4 --svg ball.svg");
    reg[sub] = [a] { return run_beachball(*a); };
}

}  // namespace velk
