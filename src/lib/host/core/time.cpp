// Time: epoch seconds (UTC) in doubles, calendar fields, and the time
// strings users type on command lines and write in parameter files.

#include "stock.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Epochs whose calendar fields are computed exactly (|t| below 1e16 s).
constexpr double kEpochLimit = 1e16;

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(long y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : d[m - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long days_from_civil(long y, int m, int d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(long z, long *y, int *m, int *d) {
    z += 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long yy = yoe + era * 400;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = yy + (*m <= 2);
}

long days_from_yearday(long y, int doy) { return days_from_civil(y, 1, 1) + doy - 1; }

// The text being read: [p, e) of the caller's string, read in place so that
// reading a time never needs memory.  at() gives '\0' at the end, as a
// terminated copy would.
struct Text {
    const char *p, *e;
    char at(size_t i = 0) const { return p + i < e ? p[i] : '\0'; }
};

// Reads exactly n digits.
bool digits(Text &t, int n, long *v) {
    long x = 0;
    for (int i = 0; i < n; i++) {
        char c = t.at((size_t)i);
        if (!isdigit((unsigned char)c)) return false;
        x = x * 10 + (c - '0');
    }
    t.p += n;
    *v = x;
    return true;
}

// hh:mm[:ss[.fff]] into seconds of the day.
bool time_of_day(Text &t, double *sec) {
    long h, m;
    if (!digits(t, 2, &h) || t.at() != ':') return false;
    t.p++;
    if (!digits(t, 2, &m)) return false;
    double s = 0;
    if (t.at() == ':') {
        t.p++;
        if (!isdigit((unsigned char)t.at(0)) || !isdigit((unsigned char)t.at(1))) return false;
        // only digits and one point; what follows the text (blanks or a
        // zone name) cannot continue a number, so strtod stops inside it
        const char *q = t.p;
        while (q < t.e && (isdigit((unsigned char)*q) || *q == '.')) q++;
        char *end;
        s = strtod(t.p, &end);
        if (end != q) return false;
        t.p = end;
    }
    if (h > 23 || m > 59 || s < 0 || s >= 61) return false;
    *sec = h * 3600.0 + m * 60.0 + s;
    return true;
}

bool parse_time(const char *input, bool zones, double *t) {
    if (!input) return false;
    const char *b = input;
    while (*b == ' ' || *b == '\t' || *b == '\r' || *b == '\n') b++;
    if (!*b) return false;
    const char *e = b + strlen(b);
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n')) e--;
    if (zones) {
        for (const char *z : {"UTC", "GMT"}) {
            if (e - b > 3 && strncasecmp(e - 3, z, 3) == 0) {
                e -= 3;
                while (e > b && isspace((unsigned char)e[-1])) e--;
                break;
            }
        }
        if (e == b) return false;
    }
    size_t len = (size_t)(e - b);
    if (len == 3 && strncasecmp(b, "now", 3) == 0) {
        *t = std_now();
        return true;
    }
    auto only = [b, e](const char *set) {
        for (const char *c = b; c < e; c++)
            if (!strchr(set, *c)) return false;
        return true;
    };
    // A 7-digit integer is a year and day (YYYYDDD) when the day is 1..366;
    // any other plain number is epoch seconds.
    bool seven = len == 7 && only("0123456789");
    if (seven) {
        // 1000000 or 2021400 names no day of a year: it is seconds.
        long d = (b[4] - '0') * 100 + (b[5] - '0') * 10 + (b[6] - '0');
        seven = d >= 1 && d <= 366;
    }
    if (!seven && only("0123456789+-.eE")) {
        // what follows the text cannot continue a number
        char *end;
        double v = strtod(b, &end);
        if (end != b && end == e && std::isfinite(v)) {
            *t = v;
            return true;
        }
    }
    Text x{b, e};
    long year, mon = 0, day = 0, doy = 0;
    if (!digits(x, 4, &year)) return false;
    if (x.at() == '-' || x.at() == '/') {
        char sep = x.at();
        x.p++;
        if (!digits(x, 2, &mon) || x.at() != sep) return false;
        x.p++;
        if (!digits(x, 2, &day)) return false;
        if (mon < 1 || mon > 12 || day < 1 || day > days_in_month(year, (int)mon)) return false;
    } else {
        if (!digits(x, 3, &doy)) return false;
        if (doy < 1 || doy > (leap(year) ? 366 : 365)) return false;
    }
    double sec = 0;
    char c = x.at();
    if (c == ' ' || c == 'T' || c == 't') {
        bool T = c != ' ';
        while (x.at() == ' ') x.p++;
        if (T) x.p++;
        if (!time_of_day(x, &sec)) return false;
        if (x.at() == 'Z' || x.at() == 'z') x.p++;
    } else if (c == 'Z' || c == 'z') {
        x.p++;
    }
    if (x.p != x.e) return false;
    long days = doy ? days_from_yearday(year, (int)doy) : days_from_civil(year, (int)mon, (int)day);
    *t = (double)days * 86400.0 + sec;
    return true;
}

}  // namespace

extern "C" {

int str2epoch_r(const char *s, double *t) {
    double v;
    if (!parse_time(s, false, &v)) {
        elog_log(0, "str2epoch: cannot read time '%s'.\n", s ? s : "(null)");
        return -1;
    }
    if (t) *t = v;
    return 0;
}

int zstr2epoch_r(const char *s, double *t) {
    double v;
    if (!parse_time(s, true, &v)) {
        elog_log(0, "zstr2epoch: cannot read time '%s'.\n", s ? s : "(null)");
        return -1;
    }
    if (t) *t = v;
    return 0;
}

double str2epoch(const char *s) {
    double t = TIME_NULL;
    return str2epoch_r(s, &t) < 0 ? TIME_NULL : t;
}

double zstr2epoch(const char *s) {
    double t = TIME_NULL;
    return zstr2epoch_r(s, &t) < 0 ? TIME_NULL : t;
}

void e2h(double epoch, int *year, int *doy, int *hour, int *minute, double *sec) {
    if (!std::isfinite(epoch)) epoch = 0;
    // Beyond some 300 million years the year no longer fits its int: clamp.
    if (epoch > kEpochLimit) epoch = kEpochLimit;
    if (epoch < -kEpochLimit) epoch = -kEpochLimit;
    double days = floor(epoch / 86400.0);
    double rem = epoch - days * 86400.0;
    if (rem < 0) rem = 0;
    if (rem >= 86400.0) {
        rem -= 86400.0;
        days += 1;
    }
    long y;
    int m, d;
    civil_from_days((long)days, &y, &m, &d);
    int h = (int)(rem / 3600.0);
    if (h > 23) h = 23;
    rem -= h * 3600.0;
    int mi = (int)(rem / 60.0);
    if (mi > 59) mi = 59;
    rem -= mi * 60.0;
    if (year) *year = (int)y;
    if (doy) *doy = (int)((long)days - days_from_civil(y, 1, 1) + 1);
    if (hour) *hour = h;
    if (minute) *minute = mi;
    if (sec) *sec = rem;
}

double h2e(int year, int doy, int hour, int minute, double sec) {
    return (double)days_from_yearday(year, doy) * 86400.0 + hour * 3600.0 + minute * 60.0 + sec;
}

int hd2md_date(int year, int doy, int *month, int *day) {
    if (doy < 1 || doy > (leap(year) ? 366 : 365)) return -1;
    long y;
    int m, d;
    civil_from_days(days_from_yearday(year, doy), &y, &m, &d);
    if (month) *month = m;
    if (day) *day = d;
    return 0;
}

int md2doy(int year, int month, int day) {
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return -1;
    return (int)(days_from_civil(year, month, day) - days_from_civil(year, 1, 1) + 1);
}

long yearday(double epoch) {
    int y, d;
    e2h(epoch, &y, &d, nullptr, nullptr, nullptr);
    return (long)y * 1000 + d;
}

double yearday2epoch(long yd) {
    long y = yd / 1000;
    int d = (int)(yd % 1000);
    if (yd < 0 || d < 1 || d > (leap(y) ? 366 : 365)) return TIME_NULL;
    return (double)days_from_yearday(y, d) * 86400.0;
}

char *strtime_r(double epoch, char *buf, size_t n) {
    if (!buf || n == 0) return buf;
    if (!std::isfinite(epoch) || std::fabs(epoch) >= kEpochLimit) {
        snprintf(buf, n, "(bad time)");
        return buf;
    }
    // Round to the millisecond first so that 59.9996 s prints as the next minute.
    double ms = floor(epoch * 1000.0 + 0.5);
    double secs = floor(ms / 1000.0);
    int frac = (int)(ms - secs * 1000.0);
    int y, doy, h, mi;
    double s;
    e2h(secs, &y, &doy, &h, &mi, &s);
    int mon = 1, day = 1;
    hd2md_date(y, doy, &mon, &day);
    snprintf(buf, n, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, mon, day, h, mi, (int)(s + 0.5), frac);
    return buf;
}

char *strtime(double epoch) {
    char buf[64];
    strtime_r(epoch, buf, sizeof buf);
    return strdup(buf);
}

}  // extern "C"
