/*
 * ttphase.cpp -- reads seismic phase names by their legs.
 *
 * A name is the path of a ray, leg by leg: P and S in the crust and mantle,
 * p and s for a first leg going up from a buried source, K for P in the
 * outer core, I and J for P and S in the inner core, c and i for
 * reflections at the core-mantle and inner-core boundaries.  Mantle legs
 * written one after the other reflect at the free surface (PP, sP); K K
 * reflects under the core-mantle boundary, I I under the inner-core
 * boundary.  "diff" after a mantle leg diffracts it along the core; g, b
 * and n after a mantle leg make it bottom in the upper crust, the lower
 * crust or the uppermost mantle.  P' and S' stand for PKP and SKS.
 *
 * The reader walks the name with a small state machine (where the ray is
 * and which way it goes) and counts the one-way passes of each kind; it
 * knows nothing of any model.
 */
#include <cstdio>
#include <string>

#include "tt_pvt.h"

namespace ttpvt {

namespace {

// Where the ray is after the legs read so far.
enum State {
    AT_SOURCE,       // nothing read
    AT_SURFACE,      // back at the surface: the next mantle leg goes down
    CMB_REFLECTED,   // reflected on top of the core: the next mantle leg goes up
    INTO_CORE,       // a mantle leg went down into the outer core: K comes
    CMB_FROM_BELOW,  // a K leg came up to the core-mantle boundary
    ICB_FROM_ABOVE,  // a K leg went down to the inner core
    ICB_REFLECTED,   // reflected on top of the inner core: K goes up
    ICB_FROM_BELOW,  // an inner-core leg came up to its boundary
};

bool is_wave(char c) { return c == 'P' || c == 'S'; }

}  // namespace

bool parse_leg_phase(const std::string &name, LegPhase *ph, std::string *why, int *pos) {
    *ph = LegPhase();
    ph->name = name;
    const size_t n = name.size();
    auto fail = [&](size_t at, const char *text) {
        *why = text;
        *pos = (int)at + 1;
        return false;
    };
    if (n == 0) return fail(0, "empty name");
    if (n >= TT_PHASE_SIZE) return fail(TT_PHASE_SIZE - 1, "name longer than 15 characters");
    auto at = [&](size_t i) { return i < n ? name[i] : '\0'; };
    auto restrict_branch = [&](int w, int b) {
        if (ph->branch[w] == 0) ph->branch[w] = b;
        else if (ph->branch[w] != b) ph->branch[w] = -1;
    };
    auto diffract = [&](int w) {
        if (ph->diff_wave >= 0 && ph->diff_wave != w) ph->diff_mixed = true;
        ph->diff_wave = w;
    };

    State st = AT_SOURCE;
    bool first = true;  // the next leg is the first
    size_t i = 0;
    while (i < n) {
        const char c = name[i];
        if (c == 'p' || c == 's') {
            if (st != AT_SOURCE) return fail(i, "an up-going leg (p or s) can only come first");
            int w = c == 'p' ? WAVE_P : WAVE_S;
            ph->first_wave = w;
            ph->first_up = true;
            ph->last_wave = w;
            first = false;
            st = AT_SURFACE;
            i++;
            continue;
        }
        if (is_wave(c)) {
            const int w = c == 'P' ? WAVE_P : WAVE_S;
            if (st == CMB_REFLECTED || st == CMB_FROM_BELOW) {
                // Up from the core to the surface.
                if (at(i + 1) == '\'') return fail(i + 1, "P' and S' must start from the surface");
                ph->down[w]++;
                ph->last_wave = w;
                st = AT_SURFACE;
                i++;
                continue;
            }
            if (st != AT_SOURCE && st != AT_SURFACE) return fail(i, "a mantle leg cannot follow here");
            if (first) {
                ph->first_wave = w;
                first = false;
            }
            ph->last_wave = w;
            const char nx = at(i + 1);
            if (nx == '\'') {
                // P' is PKP, S' is SKS.
                ph->down[w] += 2;
                ph->kturn += 2;
                st = AT_SURFACE;
                i += 2;
            } else if (nx == 'c') {
                ph->down[w]++;
                st = CMB_REFLECTED;
                i += 2;
                if (!is_wave(at(i))) return fail(i, "a reflection at the core (c) must be followed by P or S");
            } else if (nx == 'K') {
                ph->down[w]++;
                st = INTO_CORE;
                i++;
            } else if (name.compare(i + 1, 4, "diff") == 0) {
                ph->down[w] += 2;
                diffract(w);
                st = AT_SURFACE;
                i += 5;
            } else if (nx == 'g' || nx == 'b' || nx == 'n') {
                ph->turn[w] += 2;
                restrict_branch(w, nx);
                st = AT_SURFACE;
                i += 2;
            } else {
                ph->turn[w] += 2;
                st = AT_SURFACE;
                i++;
            }
            continue;
        }
        if (c == 'K') {
            if (st == ICB_REFLECTED || st == ICB_FROM_BELOW) {
                ph->kdown++;  // up through the outer core
                st = CMB_FROM_BELOW;
                i++;
                continue;
            }
            if (st != INTO_CORE && st != CMB_FROM_BELOW)
                return fail(i, "K must follow a leg going down into the core, or another K");
            const char nx = at(i + 1);
            if (nx == 'i' || nx == 'I' || nx == 'J') {
                ph->kdown++;
                st = ICB_FROM_ABOVE;
            } else {
                ph->kturn += 2;
                st = CMB_FROM_BELOW;
            }
            i++;
            continue;
        }
        if (c == 'i') {
            if (st != ICB_FROM_ABOVE) return fail(i, "a reflection at the inner core (i) must follow K");
            st = ICB_REFLECTED;
            i++;
            if (at(i) != 'K') return fail(i, "a reflection at the inner core (i) must be followed by K");
            continue;
        }
        if (c == 'I' || c == 'J') {
            if (st != ICB_FROM_ABOVE && st != ICB_FROM_BELOW)
                return fail(i, "an inner-core leg (I or J) must follow K or another inner-core leg");
            ph->inner[c == 'I' ? WAVE_P : WAVE_S] += 2;
            st = ICB_FROM_BELOW;
            i++;
            continue;
        }
        if (c == 'c') return fail(i, "a reflection at the core (c) must follow P or S going down");
        if (c == 'g' || c == 'b' || c == 'n')
            return fail(i, "g, b and n must follow a P or S leg turning in the crust or mantle");
        if (name.compare(i, 4, "diff") == 0) return fail(i, "diff must follow a P or S leg going down");
        if (c == 'd' && i > 0 && is_wave(name[i - 1])) {
            // A "diff" after a leg, misspelt: the fault is where it stops
            // matching.
            size_t k = 1;
            while (k < 4 && i + k < n && name[i + k] == "diff"[k]) k++;
            if (i + k == n) return fail(n, "the name ends inside diff");
            return fail(i + k, "unexpected character");
        }
        if (c == '\'') return fail(i, "' must follow P or S");
        return fail(i, "unexpected character");
    }
    if (st != AT_SURFACE) return fail(n, "the ray does not come back to the surface");
    return true;
}

}  // namespace ttpvt
