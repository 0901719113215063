// cmd_response.cpp -- "velk response": reads an instrument response file and
// lists (and draws) its amplitude and phase against frequency.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "pictures.h"
#include "response.h"
#include "stock.h"
#include "velk.h"

namespace velk {

namespace {

struct ResponseArgs {
    std::string file, svg;
    double fmin = 0, fmax = 0;
    int per_decade = 4;
    bool json = false;
};

// The band worth showing: a frequency table's own range, otherwise 1 mHz to
// 100 Hz, capped at the Nyquist frequency of the first digital stage.
void default_band(const Response *r, double *fmin, double *fmax) {
    double lo = 1e-3, hi = 100;
    bool table = false;
    for (int i = 0; i < r->nstages; i++) {
        const ResponseStage &s = r->stages[i];
        if ((s.kind == RESPONSE_FAP || s.kind == RESPONSE_FAP2) && s.nfap > 1) {
            double a = s.freq[0] > 0 ? s.freq[0] : s.freq[1];
            if (!table) lo = a, hi = s.freq[s.nfap - 1];
            lo = std::max(lo, a);
            hi = std::min(hi, s.freq[s.nfap - 1]);
            table = true;
        }
    }
    for (int i = 0; i < r->nstages; i++)
        if (r->stages[i].kind == RESPONSE_FIR && r->stages[i].srate > 0) {
            hi = std::min(hi, r->stages[i].srate / 2);
            break;
        }
    if (!(hi > lo)) hi = lo * 1000;
    *fmin = lo;
    *fmax = hi;
}

int run_response(const ResponseArgs &a) {
    FILE *fp = fopen(a.file.c_str(), "r");
    if (!fp) {
        elog_log(1, "cannot open %s\n", a.file.c_str());
        throw Failure("cannot read the response file " + a.file);
    }
    Response *r = nullptr;
    int rc = read_response(fp, &r);
    fclose(fp);
    if (rc < 0 || !r) throw Failure("cannot read the response file " + a.file);
    std::unique_ptr<Response, void (*)(Response *)> hold(r, free_response);

    double fmin = a.fmin, fmax = a.fmax, dmin = 0, dmax = 0;
    default_band(r, &dmin, &dmax);
    if (fmin <= 0) fmin = dmin;
    if (fmax <= 0) fmax = dmax;
    if (!(fmax > fmin)) throw UsageError(strprintf("the band %g to %g Hz is empty", fmin, fmax));

    int decades = std::max(1, (int)std::ceil(std::log10(fmax / fmin) - 1e-9));
    int n = decades * a.per_decade + 1;
    std::string json = "{\"file\":" + json_string(a.file) + ",\"stages\":[";
    for (int i = 0; i < r->nstages; i++)
        json += std::string(i ? "," : "") + "{\"type\":" + json_string(r->stages[i].type) +
                ",\"stage\":" + json_number(r->stages[i].stage) + ",\"auth\":" + json_string(r->stages[i].auth) +
                ",\"rtype\":" + json_string(r->stages[i].rtype) + "}";
    json += "],\"values\":[";
    if (!a.json) {
        printf("# %s: %d stage%s:", a.file.c_str(), r->nstages, r->nstages == 1 ? "" : "s");
        for (int i = 0; i < r->nstages; i++) printf(" %s", r->stages[i].rtype);
        printf("\n# %14s %14s %10s\n", "frequency_hz", "amplitude", "phase_deg");
    }
    int mark = elog_mark();
    int written = 0;
    for (int i = 0; i < n; i++) {
        double f = fmin * std::pow(fmax / fmin, (double)i / (n - 1));
        double re = 0, im = 0;
        int e = eval_response(r, f, &re, &im);
        if (e < 0) {
            elog_flush(0, mark);  // at a pole: no finite value to list
            continue;
        }
        double amp = std::hypot(re, im), ph = std::atan2(im, re) * 180 / M_PI;
        if (a.json)
            json += std::string(written ? "," : "") + "{\"frequency\":" + json_number(f) +
                    ",\"amplitude\":" + json_number(amp) + ",\"phase\":" + json_number(ph) +
                    ",\"extrapolated\":" + (e == 1 ? "true" : "false") + "}";
        else
            printf("  %14.6g %14.6g %10.3f%s\n", f, amp, ph, e == 1 ? "  (beyond the table)" : "");
        written++;
    }
    if (a.json) printf("%s]}\n", json.c_str());
    if (!a.svg.empty()) {
        std::string svg = response_svg(r, fmin, fmax, "instrument response: " + a.file);
        if (!write_file(a.svg, svg)) throw Failure("cannot write " + a.svg);
        if (!a.json) printf("# picture: %s\n", a.svg.c_str());
    }
    return 0;
}

}  // namespace

void register_response(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<ResponseArgs>();
    CLI::App *sub = app.add_subcommand("response", "List and draw an instrument response file");
    sub->add_option("FILE", a->file, "The response file (stages of paz, fap, fap2 or fir)")->required();
    sub->add_option("--svg", a->svg, "Also draw amplitude and phase against frequency into this SVG file");
    sub->add_option("--fmin", a->fmin, "Lowest frequency in Hz (default: from the file, else 0.001)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--fmax", a->fmax, "Highest frequency in Hz (default: from the file, else 100)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--per-decade", a->per_decade, "Listed frequencies per decade")->check(CLI::Range(1, 100));
    sub->add_flag("--json", a->json, "List as JSON");
    reg[sub] = [a] { return run_response(*a); };
}

}  // namespace velk
