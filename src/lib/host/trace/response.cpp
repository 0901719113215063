// Instrument responses: the reader of stage-by-stage response files (poles
// and zeros, frequency-amplitude-phase tables, digital filters) and the
// evaluation of the cascade's complex response at a frequency.  The file
// format is described in response.h.
//
// The reader builds its stages with the standard containers; memory running
// out anywhere becomes the failure result with a message, and the arrays of
// the stages read so far are released on every way out.

#include "response.h"

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guard_pvt.h"
#include "stock.h"

namespace {

const size_t MAX_LINE = 4095;
const long MAX_COUNT = 10000000;  // rows, poles, zeros or coefficients in one stage
const size_t MAX_WORD = 63;

using cplx = std::complex<double>;

// Reads significant lines (comments and blanks removed) as lists of words.
class LineReader {
public:
    explicit LineReader(FILE *fp) : fp_(fp) {}

    // 1 with the words of the next significant line, 0 at the end of the
    // file, -1 after registering a message.
    int next(std::vector<std::string> &words) {
        for (;;) {
            std::string line;
            int c;
            bool any = false;
            while ((c = getc(fp_)) != EOF) {
                any = true;
                if (c == '\n') break;
                if (c == '\0') {
                    elog_log(0, "read_response: line %ld holds a NUL byte.\n", lineno_ + 1);
                    return -1;
                }
                if (line.size() >= MAX_LINE) {
                    elog_log(0, "read_response: line %ld is longer than %zu characters.\n", lineno_ + 1, MAX_LINE);
                    return -1;
                }
                line.push_back((char)c);
            }
            if (ferror(fp_)) {
                elog_log(1, "read_response: read error after line %ld.\n", lineno_);
                return -1;
            }
            if (!any) return 0;
            lineno_++;
            size_t hash = line.find('#');
            if (hash != std::string::npos) line.erase(hash);
            words.clear();
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && isblank_char(line[i])) i++;
                size_t j = i;
                while (j < line.size() && !isblank_char(line[j])) j++;
                if (j > i) words.push_back(line.substr(i, j - i));
                i = j;
            }
            if (!words.empty()) return 1;
        }
    }

    long lineno() const { return lineno_; }

private:
    static bool isblank_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
    FILE *fp_;
    long lineno_ = 0;
};

bool parse_double(const std::string &s, double *v) {
    const char *p = s.c_str();
    char *end = nullptr;
    errno = 0;
    double d = strtod(p, &end);
    if (end == p || *end != '\0' || !std::isfinite(d)) return false;
    if (errno == ERANGE && fabs(d) > 1.0) return false;  // overflow; underflow to tiny values is fine
    *v = d;
    return true;
}

bool parse_long(const std::string &s, long *v) {
    const char *p = s.c_str();
    char *end = nullptr;
    errno = 0;
    long l = strtol(p, &end, 10);
    if (end == p || *end != '\0' || errno == ERANGE) return false;
    *v = l;
    return true;
}

double *copy_out(const std::vector<double> &v) {
    if (v.empty()) return nullptr;
    double *p = static_cast<double *>(malloc(v.size() * sizeof(double)));
    if (p) memcpy(p, v.data(), v.size() * sizeof(double));
    return p;
}

void free_stage(ResponseStage *s) {
    free(s->poles);
    free(s->pole_errors);
    free(s->zeros);
    free(s->zero_errors);
    free(s->freq);
    free(s->amp);
    free(s->phase);
    free(s->amp_high);
    free(s->amp_low);
    free(s->phase_high);
    free(s->phase_low);
    free(s->num);
    free(s->num_errors);
    free(s->den);
    free(s->den_errors);
    free(s->amp_error);
    free(s->phase_error);
}

// Parses the body of one stage.
class StageParser {
public:
    StageParser(LineReader &in, ResponseStage &st) : in_(in), st_(st) {}

    int paz() {
        std::vector<double> v;
        if (numbers("the normalisation factor and frequency (a0 fnorm, or a0)", 1, 2, v) < 0) return -1;
        st_.a0 = v[0];
        st_.fnorm = v.size() == 2 ? v[1] : 0.0;
        std::vector<double> p, pe, z, ze;
        long np, nz;
        if (count("the number of poles", 0, &np) < 0 || complex_rows("pole", np, p, pe) < 0) return -1;
        if (count("the number of zeros", 0, &nz) < 0 || complex_rows("zero", nz, z, ze) < 0) return -1;
        st_.npoles = (int)np;
        st_.nzeros = (int)nz;
        return store({{&st_.poles, &p}, {&st_.pole_errors, &pe}, {&st_.zeros, &z}, {&st_.zero_errors, &ze}});
    }

    int fap(bool with_bounds) {
        long n;
        if (count("the number of frequency rows", 1, &n) < 0) return -1;
        std::vector<double> cols[7];
        size_t ncol = with_bounds ? 7 : 3;
        const char *what = with_bounds ? "a row of 7 numbers (freq amp phase amph ampl phh phl)"
                                       : "a row of 3 numbers (freq amp phase) or 5 (freq amp phase amp_err "
                                         "phase_err)";
        for (long r = 0; r < n; r++) {
            std::vector<double> v;
            if (numbers(what, with_bounds ? 7 : 3, with_bounds ? 7 : 5, v) < 0) return -1;
            if (r == 0 && !with_bounds) ncol = v.size();
            if (v.size() != ncol || ncol == 4) {
                if (ncol == 4)
                    elog_log(0, "read_response: line %ld: expected %s, found 4 numbers.\n", in_.lineno(), what);
                else
                    elog_log(0,
                             "read_response: line %ld: expected %s, found %zu numbers where the table's first row "
                             "has %zu.\n",
                             in_.lineno(), what, v.size(), ncol);
                return -1;
            }
            if (v[0] < 0.0) return fail("a frequency of 0 or more", "a negative frequency");
            if (r > 0 && !(v[0] > cols[0].back())) return fail("frequencies increasing down the table", "one that is not");
            for (size_t k = 0; k < ncol; k++) cols[k].push_back(v[k]);
        }
        st_.nfap = (int)n;
        if (ncol == 5)
            return store({{&st_.freq, &cols[0]},
                          {&st_.amp, &cols[1]},
                          {&st_.phase, &cols[2]},
                          {&st_.amp_error, &cols[3]},
                          {&st_.phase_error, &cols[4]}});
        if (with_bounds)
            return store({{&st_.freq, &cols[0]},
                          {&st_.amp, &cols[1]},
                          {&st_.phase, &cols[2]},
                          {&st_.amp_high, &cols[3]},
                          {&st_.amp_low, &cols[4]},
                          {&st_.phase_high, &cols[5]},
                          {&st_.phase_low, &cols[6]}});
        return store({{&st_.freq, &cols[0]}, {&st_.amp, &cols[1]}, {&st_.phase, &cols[2]}});
    }

    int fir() {
        std::vector<double> v;
        if (numbers("the sample rate and decimation factor (srate decimation, or srate)", 1, 2, v) < 0) return -1;
        if (!(v[0] > 0.0)) return fail("a positive sample rate", "one that is not");
        if (v.size() == 1) v.push_back(1.0);
        if (v[1] < 1.0 || v[1] > 1e9 || v[1] != floor(v[1]))
            return fail("a decimation factor that is a whole number, 1 or more", "one that is not");
        st_.srate = v[0];
        st_.decimation = (int)v[1];
        long nn, nd;
        std::vector<double> b, be, a, ae;
        if (count("the number of numerator coefficients", 1, &nn) < 0 || real_rows("numerator", nn, b, be) < 0)
            return -1;
        if (count("the number of denominator coefficients", 0, &nd) < 0 || real_rows("denominator", nd, a, ae) < 0)
            return -1;
        if (nd > 0) {
            bool nonzero = false;
            for (double c : a) nonzero = nonzero || c != 0.0;
            if (!nonzero) return fail("a denominator with a coefficient other than 0", "all zeros");
        }
        st_.nnum = (int)nn;
        st_.nden = (int)nd;
        return store({{&st_.num, &b}, {&st_.num_errors, &be}, {&st_.den, &a}, {&st_.den_errors, &ae}});
    }

    int delay() {
        std::vector<double> v;
        if (numbers("the delay in seconds", 1, 1, v) < 0) return -1;
        if (fabs(v[0]) > 1e9) return fail("a delay of at most 1e9 seconds", "a larger one");
        st_.delay = v[0];
        return 0;
    }

private:
    // The next significant line as numbers, between min and max of them.
    int numbers(const char *what, size_t min, size_t max, std::vector<double> &v) {
        std::vector<std::string> w;
        int rc = in_.next(w);
        if (rc < 0) return -1;
        if (rc == 0) {
            elog_log(0, "read_response: the file ends inside stage %d (%s): expected %s.\n", st_.stage, st_.rtype,
                     what);
            return -1;
        }
        v.clear();
        for (const std::string &s : w) {
            double d;
            if (!parse_double(s, &d)) {
                elog_log(0, "read_response: line %ld: expected %s, found '%.40s' that is not a finite number.\n",
                         in_.lineno(), what, s.c_str());
                return -1;
            }
            v.push_back(d);
        }
        if (v.size() < min || v.size() > max) {
            elog_log(0, "read_response: line %ld: expected %s, found %zu numbers.\n", in_.lineno(), what, v.size());
            return -1;
        }
        return 0;
    }

    int count(const char *what, long min, long *n) {
        std::vector<std::string> w;
        int rc = in_.next(w);
        if (rc < 0) return -1;
        if (rc == 0) {
            elog_log(0, "read_response: the file ends inside stage %d (%s): expected %s.\n", st_.stage, st_.rtype,
                     what);
            return -1;
        }
        if (w.size() != 1 || !parse_long(w[0], n) || *n < min || *n > MAX_COUNT) {
            elog_log(0, "read_response: line %ld: expected %s (a whole number from %ld to %ld), found '%.40s'.\n",
                     in_.lineno(), what, min, MAX_COUNT, w[0].c_str());
            return -1;
        }
        return 0;
    }

    int complex_rows(const char *name, long n, std::vector<double> &vals, std::vector<double> &errs) {
        std::string what = std::string("a ") + name + " (re im, or re im re_err im_err)";
        for (long i = 0; i < n; i++) {
            std::vector<double> v;
            if (numbers(what.c_str(), 2, 4, v) < 0) return -1;
            if (v.size() == 3) {
                elog_log(0, "read_response: line %ld: expected %s, found 3 numbers.\n", in_.lineno(), what.c_str());
                return -1;
            }
            vals.push_back(v[0]);
            vals.push_back(v[1]);
            errs.push_back(v.size() == 4 ? v[2] : 0.0);
            errs.push_back(v.size() == 4 ? v[3] : 0.0);
        }
        return 0;
    }

    int real_rows(const char *name, long n, std::vector<double> &vals, std::vector<double> &errs) {
        std::string what = std::string("a ") + name + " coefficient (coef, or coef err)";
        for (long i = 0; i < n; i++) {
            std::vector<double> v;
            if (numbers(what.c_str(), 1, 2, v) < 0) return -1;
            vals.push_back(v[0]);
            errs.push_back(v.size() == 2 ? v[1] : 0.0);
        }
        return 0;
    }

    int fail(const char *expected, const char *found) {
        elog_log(0, "read_response: line %ld: expected %s, found %s.\n", in_.lineno(), expected, found);
        return -1;
    }

    int store(std::initializer_list<std::pair<double **, std::vector<double> *>> outs) {
        for (const auto &o : outs) {
            if (o.second->empty()) continue;
            if (!(*o.first = copy_out(*o.second))) {
                elog_log(1, "read_response: malloc() error.\n");
                return -1;
            }
        }
        return 0;
    }

    LineReader &in_;
    ResponseStage &st_;
};

int parse_header(const std::vector<std::string> &w, long lineno, ResponseStage &st) {
    if (w.size() < 4) {
        elog_log(0,
                 "read_response: line %ld: expected a stage header 'type stage auth rtype [source]', found %zu "
                 "fields.\n",
                 lineno, w.size());
        return -1;
    }
    long stage;
    if (!parse_long(w[1], &stage) || stage < -2147483647L || stage > 2147483647L) {
        elog_log(0, "read_response: line %ld: the stage number '%.40s' is not an integer.\n", lineno, w[1].c_str());
        return -1;
    }
    for (int k : {0, 2, 3}) {
        if (w[(size_t)k].size() > MAX_WORD) {
            elog_log(0, "read_response: line %ld: header field '%.40s...' is longer than %zu characters.\n", lineno,
                     w[(size_t)k].c_str(), MAX_WORD);
            return -1;
        }
    }
    const std::string &rt = w[3];
    if (rt == "paz")
        st.kind = RESPONSE_PAZ;
    else if (rt == "fap")
        st.kind = RESPONSE_FAP;
    else if (rt == "fap2")
        st.kind = RESPONSE_FAP2;
    else if (rt == "fir")
        st.kind = RESPONSE_FIR;
    else if (rt == "delay")
        st.kind = RESPONSE_DELAY;
    else {
        elog_log(0, "read_response: line %ld: unknown response type '%s' (paz, fap, fap2, fir or delay).\n", lineno,
                 rt.c_str());
        return -1;
    }
    // the source: the rest of the header, its words joined by one blank
    std::string source;
    for (size_t k = 4; k < w.size(); k++) {
        if (!source.empty()) source += ' ';
        source += w[k];
    }
    if (source.size() >= sizeof st.source) {
        elog_log(0, "read_response: line %ld: the stage source '%.40s...' is longer than %zu characters.\n", lineno,
                 source.c_str(), sizeof st.source - 1);
        return -1;
    }
    strcpy(st.type, w[0].c_str());
    st.stage = (int)stage;
    strcpy(st.auth, w[2].c_str());
    strcpy(st.rtype, rt.c_str());
    strcpy(st.source, source.c_str());
    return 0;
}

// Table value at f: linear interpolation, phase the short way round.
// Sets *outside when f lies beyond the table.
cplx eval_fap(const ResponseStage &s, double f, bool *outside) {
    int n = s.nfap;
    double amp, ph;
    if (f <= s.freq[0] || n == 1) {
        if (f < s.freq[0] || (n == 1 && f != s.freq[0])) *outside = true;
        amp = s.amp[0];
        ph = s.phase[0];
    } else if (f >= s.freq[n - 1]) {
        if (f > s.freq[n - 1]) *outside = true;
        amp = s.amp[n - 1];
        ph = s.phase[n - 1];
    } else {
        int lo = 0, hi = n - 1;  // freq[lo] < f < freq[hi]
        while (hi - lo > 1) {
            int mid = lo + (hi - lo) / 2;
            if (s.freq[mid] <= f)
                lo = mid;
            else
                hi = mid;
        }
        double t = (f - s.freq[lo]) / (s.freq[hi] - s.freq[lo]);
        amp = s.amp[lo] + t * (s.amp[hi] - s.amp[lo]);
        double dph = remainder(s.phase[hi] - s.phase[lo], 360.0);
        ph = s.phase[lo] + t * dph;
    }
    // Not std::polar: it leaves a negative amplitude undefined (some
    // libraries give NaN or abort), and a table may give a polarity flip so.
    const double rad = ph * M_PI / 180.0;
    return cplx(amp * cos(rad), amp * sin(rad));
}

// The stages read so far; their arrays are freed unless handed over.
struct Stages {
    std::vector<ResponseStage> v;
    ~Stages() {
        for (ResponseStage &s : v) free_stage(&s);
    }
};

int read_stages(FILE *fp, Response **response) {
    LineReader in(fp);
    Stages owned;
    std::vector<ResponseStage> &stages = owned.v;
    auto cleanup = [&]() {
        for (ResponseStage &s : stages) free_stage(&s);
        stages.clear();
    };
    std::vector<std::string> w;
    for (;;) {
        int rc = in.next(w);
        if (rc < 0) {
            cleanup();
            return -1;
        }
        if (rc == 0) break;
        ResponseStage blank;
        memset(&blank, 0, sizeof blank);
        stages.push_back(blank);
        ResponseStage &st = stages.back();
        StageParser body(in, st);
        int ok = parse_header(w, in.lineno(), st);
        if (ok == 0) {
            switch (st.kind) {
            case RESPONSE_PAZ: ok = body.paz(); break;
            case RESPONSE_FAP: ok = body.fap(false); break;
            case RESPONSE_FAP2: ok = body.fap(true); break;
            case RESPONSE_DELAY: ok = body.delay(); break;
            default: ok = body.fir(); break;
            }
        }
        if (ok < 0) {
            cleanup();
            return -1;
        }
        if (stages.size() > 100000) {
            elog_log(0, "read_response: more than 100000 stages.\n");
            cleanup();
            return -1;
        }
    }
    if (stages.empty()) {
        elog_log(0, "read_response: no response stages found.\n");
        return -1;
    }
    Response *r = static_cast<Response *>(calloc(1, sizeof(Response)));
    ResponseStage *arr = static_cast<ResponseStage *>(malloc(stages.size() * sizeof(ResponseStage)));
    if (!r || !arr) {
        elog_log(1, "read_response: malloc() error.\n");
        free(r);
        free(arr);
        cleanup();
        return -1;
    }
    memcpy(arr, stages.data(), stages.size() * sizeof(ResponseStage));
    r->nstages = (int)stages.size();
    r->stages = arr;
    stages.clear();  // the response owns the arrays now
    *response = r;
    return 0;
}

}  // namespace

extern "C" {

int read_response(FILE *fp, Response **response) {
    if (!response) {
        elog_log(0, "read_response: null result pointer.\n");
        return -1;
    }
    *response = nullptr;
    if (!fp) {
        elog_log(0, "read_response: null file.\n");
        return -1;
    }
    return host_guarded("read_response", -1, [&] { return read_stages(fp, response); });
}

int eval_response(Response *response, double frequency, double *real, double *imag) {
    if (!response || !real || !imag) {
        elog_log(0, "eval_response: null argument.\n");
        return -1;
    }
    if (!std::isfinite(frequency)) {
        elog_log(0, "eval_response: frequency is not a finite number.\n");
        return -1;
    }
    // Real-valued systems: H(-f) is the conjugate of H(f).
    bool negative = frequency < 0.0;
    double f = fabs(frequency);
    cplx h(1.0, 0.0);
    bool outside = false;
    for (int i = 0; i < response->nstages; i++) {
        const ResponseStage &s = response->stages[i];
        cplx v;
        switch (s.kind) {
        case RESPONSE_PAZ: {
            // One zero over one pole at a time: the separate products of
            // many factors overflow (far above the corners) or underflow
            // (near a cluster of small poles) where their ratio is modest.
            const cplx sv(0.0, 2.0 * M_PI * f);
            v = cplx(s.a0, 0.0);
            const int npair = s.nzeros < s.npoles ? s.nzeros : s.npoles;
            for (int k = 0; k < s.npoles; k++) {
                cplx d = sv - cplx(s.poles[2 * k], s.poles[2 * k + 1]);
                if (d == cplx(0.0, 0.0)) {
                    elog_log(0, "eval_response: %g Hz is at a pole of stage %d.\n", frequency, s.stage);
                    return -1;
                }
                if (k < npair)
                    v *= (sv - cplx(s.zeros[2 * k], s.zeros[2 * k + 1])) / d;
                else
                    v /= d;
            }
            for (int k = npair; k < s.nzeros; k++) v *= sv - cplx(s.zeros[2 * k], s.zeros[2 * k + 1]);
            break;
        }
        case RESPONSE_FAP:
        case RESPONSE_FAP2: v = eval_fap(s, f, &outside); break;
        case RESPONSE_FIR: {
            // Horner in z^-1 = exp(-i w T).
            const cplx zinv = std::polar(1.0, -2.0 * M_PI * f / s.srate);
            cplx num(0.0, 0.0), den(0.0, 0.0);
            for (int k = s.nnum - 1; k >= 0; k--) num = num * zinv + s.num[k];
            if (s.nden > 0) {
                for (int k = s.nden - 1; k >= 0; k--) den = den * zinv + s.den[k];
                if (den == cplx(0.0, 0.0)) {
                    elog_log(0, "eval_response: %g Hz is at a pole of stage %d.\n", frequency, s.stage);
                    return -1;
                }
                v = num / den;
            } else {
                v = num;
            }
            break;
        }
        case RESPONSE_DELAY:
            // a pure delay: exp(-i 2 pi f delay), reduced to one turn first
            // so that large delays keep their precision
            v = std::polar(1.0, -2.0 * M_PI * remainder(f * s.delay, 1.0));
            break;
        default:
            elog_log(0, "eval_response: stage %d has an unknown type.\n", s.stage);
            return -1;
        }
        h *= v;
    }
    if (!std::isfinite(h.real()) || !std::isfinite(h.imag())) {
        elog_log(0, "eval_response: the response at %g Hz is too large to represent.\n", frequency);
        return -1;
    }
    *real = h.real();
    *imag = negative ? -h.imag() : h.imag();
    return outside ? 1 : 0;
}

void free_response(Response *response) {
    if (!response) return;
    for (int i = 0; i < response->nstages; i++) free_stage(&response->stages[i]);
    free(response->stages);
    free(response);
}

}  // extern "C"
