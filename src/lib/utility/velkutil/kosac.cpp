// kosac -- SAC waveform files held as images: the header table and its null
// header, header access by field name, reading and writing files, and the
// exchange of samples and event descriptions with trace and origin rows.
//
// An image is the file's 632 header bytes exactly as stored (host byte
// order) plus the float samples, so writing is a straight copy and a field
// is reached by its offset in the table below.
#include "kosac_pvt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "arrays.h"
#include "koregistry_pvt.h"
#include "tt.h"

sac_value_format SacValueFormats[KOSAC_NFORMATS] = {
    {SAC_FLOAT, 4, "-12345.0", {0}},
    {SAC_INT, 4, "-12345", {0}},
    {SAC_ENUM, 4, "-12345", {0}},
    {SAC_LOGICAL, 4, "0", {0}},
    {SAC_CHAR8, 8, "-12345", {0}},
    {SAC_CHAR16, 16, "-12345", {0}},
};

sac_header_define SacHeaderDefines[KOSAC_NFIELDS] = {
    {"DELTA", SAC_FLOAT, 0, "sample interval (s)", nullptr},
    {"DEPMIN", SAC_FLOAT, 4, "minimum of the dependent variable", nullptr},
    {"DEPMAX", SAC_FLOAT, 8, "maximum of the dependent variable", nullptr},
    {"SCALE", SAC_FLOAT, 12, "scale factor of the dependent variable", nullptr},
    {"ODELTA", SAC_FLOAT, 16, "observed sample interval if it differs from DELTA", nullptr},
    {"B", SAC_FLOAT, 20, "time of the first sample relative to the reference time (s)", nullptr},
    {"E", SAC_FLOAT, 24, "time of the last sample relative to the reference time (s)", nullptr},
    {"O", SAC_FLOAT, 28, "origin time relative to the reference time (s)", nullptr},
    {"A", SAC_FLOAT, 32, "first arrival time relative to the reference time (s)", nullptr},
    {"INTERNAL1", SAC_FLOAT, 36, "reserved", nullptr},
    {"T0", SAC_FLOAT, 40, "user time pick 0 (s)", nullptr},
    {"T1", SAC_FLOAT, 44, "user time pick 1 (s)", nullptr},
    {"T2", SAC_FLOAT, 48, "user time pick 2 (s)", nullptr},
    {"T3", SAC_FLOAT, 52, "user time pick 3 (s)", nullptr},
    {"T4", SAC_FLOAT, 56, "user time pick 4 (s)", nullptr},
    {"T5", SAC_FLOAT, 60, "user time pick 5 (s)", nullptr},
    {"T6", SAC_FLOAT, 64, "user time pick 6 (s)", nullptr},
    {"T7", SAC_FLOAT, 68, "user time pick 7 (s)", nullptr},
    {"T8", SAC_FLOAT, 72, "user time pick 8 (s)", nullptr},
    {"T9", SAC_FLOAT, 76, "user time pick 9 (s)", nullptr},
    {"F", SAC_FLOAT, 80, "end of the event time (s)", nullptr},
    {"RESP0", SAC_FLOAT, 84, "instrument response parameter 0", nullptr},
    {"RESP1", SAC_FLOAT, 88, "instrument response parameter 1", nullptr},
    {"RESP2", SAC_FLOAT, 92, "instrument response parameter 2", nullptr},
    {"RESP3", SAC_FLOAT, 96, "instrument response parameter 3", nullptr},
    {"RESP4", SAC_FLOAT, 100, "instrument response parameter 4", nullptr},
    {"RESP5", SAC_FLOAT, 104, "instrument response parameter 5", nullptr},
    {"RESP6", SAC_FLOAT, 108, "instrument response parameter 6", nullptr},
    {"RESP7", SAC_FLOAT, 112, "instrument response parameter 7", nullptr},
    {"RESP8", SAC_FLOAT, 116, "instrument response parameter 8", nullptr},
    {"RESP9", SAC_FLOAT, 120, "instrument response parameter 9", nullptr},
    {"STLA", SAC_FLOAT, 124, "station latitude (deg, north positive)", nullptr},
    {"STLO", SAC_FLOAT, 128, "station longitude (deg, east positive)", nullptr},
    {"STEL", SAC_FLOAT, 132, "station elevation (m)", nullptr},
    {"STDP", SAC_FLOAT, 136, "station depth below the surface (m)", nullptr},
    {"EVLA", SAC_FLOAT, 140, "event latitude (deg, north positive)", nullptr},
    {"EVLO", SAC_FLOAT, 144, "event longitude (deg, east positive)", nullptr},
    {"EVEL", SAC_FLOAT, 148, "event elevation (m)", nullptr},
    {"EVDP", SAC_FLOAT, 152, "event depth below the surface (m)", nullptr},
    {"MAG", SAC_FLOAT, 156, "event magnitude", nullptr},
    {"USER0", SAC_FLOAT, 160, "user value 0", nullptr},
    {"USER1", SAC_FLOAT, 164, "user value 1", nullptr},
    {"USER2", SAC_FLOAT, 168, "user value 2", nullptr},
    {"USER3", SAC_FLOAT, 172, "user value 3", nullptr},
    {"USER4", SAC_FLOAT, 176, "user value 4", nullptr},
    {"USER5", SAC_FLOAT, 180, "user value 5", nullptr},
    {"USER6", SAC_FLOAT, 184, "user value 6", nullptr},
    {"USER7", SAC_FLOAT, 188, "user value 7", nullptr},
    {"USER8", SAC_FLOAT, 192, "user value 8", nullptr},
    {"USER9", SAC_FLOAT, 196, "user value 9", nullptr},
    {"DIST", SAC_FLOAT, 200, "station to event distance (km)", nullptr},
    {"AZ", SAC_FLOAT, 204, "event to station azimuth (deg)", nullptr},
    {"BAZ", SAC_FLOAT, 208, "station to event azimuth (deg)", nullptr},
    {"GCARC", SAC_FLOAT, 212, "station to event great-circle arc (deg)", nullptr},
    {"INTERNAL2", SAC_FLOAT, 216, "reserved", nullptr},
    {"INTERNAL3", SAC_FLOAT, 220, "reserved", nullptr},
    {"DEPMEN", SAC_FLOAT, 224, "mean of the dependent variable", nullptr},
    {"CMPAZ", SAC_FLOAT, 228, "component azimuth (deg clockwise from north)", nullptr},
    {"CMPINC", SAC_FLOAT, 232, "component incidence angle (deg from vertical)", nullptr},
    {"XMINIMUM", SAC_FLOAT, 236, "minimum x of spectral files", nullptr},
    {"XMAXIMUM", SAC_FLOAT, 240, "maximum x of spectral files", nullptr},
    {"YMINIMUM", SAC_FLOAT, 244, "minimum y of spectral files", nullptr},
    {"YMAXIMUM", SAC_FLOAT, 248, "maximum y of spectral files", nullptr},
    {"UNUSED1", SAC_FLOAT, 252, "unused", nullptr},
    {"UNUSED2", SAC_FLOAT, 256, "unused", nullptr},
    {"UNUSED3", SAC_FLOAT, 260, "unused", nullptr},
    {"UNUSED4", SAC_FLOAT, 264, "unused", nullptr},
    {"UNUSED5", SAC_FLOAT, 268, "unused", nullptr},
    {"UNUSED6", SAC_FLOAT, 272, "unused", nullptr},
    {"UNUSED7", SAC_FLOAT, 276, "unused", nullptr},
    {"NZYEAR", SAC_INT, 280, "reference time: year", nullptr},
    {"NZJDAY", SAC_INT, 284, "reference time: day of the year", nullptr},
    {"NZHOUR", SAC_INT, 288, "reference time: hour", nullptr},
    {"NZMIN", SAC_INT, 292, "reference time: minute", nullptr},
    {"NZSEC", SAC_INT, 296, "reference time: second", nullptr},
    {"NZMSEC", SAC_INT, 300, "reference time: millisecond", nullptr},
    {"NVHDR", SAC_INT, 304, "header version number", nullptr},
    {"NORID", SAC_INT, 308, "origin id", nullptr},
    {"NEVID", SAC_INT, 312, "event id", nullptr},
    {"NPTS", SAC_INT, 316, "number of samples", nullptr},
    {"INTERNAL4", SAC_INT, 320, "reserved", nullptr},
    {"NWFID", SAC_INT, 324, "waveform id", nullptr},
    {"NXSIZE", SAC_INT, 328, "x size of spectral files", nullptr},
    {"NYSIZE", SAC_INT, 332, "y size of spectral files", nullptr},
    {"UNUSED8", SAC_INT, 336, "unused", nullptr},
    {"IFTYPE", SAC_ENUM, 340, "file type", nullptr},
    {"IDEP", SAC_ENUM, 344, "type of the dependent variable", nullptr},
    {"IZTYPE", SAC_ENUM, 348, "reference time equivalence", nullptr},
    {"UNUSED9", SAC_INT, 352, "unused", nullptr},
    {"IINST", SAC_ENUM, 356, "recording instrument type", nullptr},
    {"ISTREG", SAC_ENUM, 360, "station geographic region", nullptr},
    {"IEVREG", SAC_ENUM, 364, "event geographic region", nullptr},
    {"IEVTYP", SAC_ENUM, 368, "event type", nullptr},
    {"IQUAL", SAC_ENUM, 372, "quality of the data", nullptr},
    {"ISYNTH", SAC_ENUM, 376, "synthetic data flag", nullptr},
    {"IMAGTYP", SAC_ENUM, 380, "magnitude type", nullptr},
    {"IMAGSRC", SAC_ENUM, 384, "magnitude source", nullptr},
    {"UNUSED10", SAC_INT, 388, "unused", nullptr},
    {"UNUSED11", SAC_INT, 392, "unused", nullptr},
    {"UNUSED12", SAC_INT, 396, "unused", nullptr},
    {"UNUSED13", SAC_INT, 400, "unused", nullptr},
    {"UNUSED14", SAC_INT, 404, "unused", nullptr},
    {"UNUSED15", SAC_INT, 408, "unused", nullptr},
    {"UNUSED16", SAC_INT, 412, "unused", nullptr},
    {"UNUSED17", SAC_INT, 416, "unused", nullptr},
    {"LEVEN", SAC_LOGICAL, 420, "evenly spaced samples", nullptr},
    {"LPSPOL", SAC_LOGICAL, 424, "station components form a left-handed system", nullptr},
    {"LOVROK", SAC_LOGICAL, 428, "the file may be overwritten", nullptr},
    {"LCALDA", SAC_LOGICAL, 432, "distances and azimuths are computed from the coordinates", nullptr},
    {"UNUSED18", SAC_LOGICAL, 436, "unused", nullptr},
    {"KSTNM", SAC_CHAR8, 440, "station name", nullptr},
    {"KEVNM", SAC_CHAR16, 448, "event name", nullptr},
    {"KHOLE", SAC_CHAR8, 464, "location or hole identifier", nullptr},
    {"KO", SAC_CHAR8, 472, "origin time label", nullptr},
    {"KA", SAC_CHAR8, 480, "first arrival label", nullptr},
    {"KT0", SAC_CHAR8, 488, "label of T0", nullptr},
    {"KT1", SAC_CHAR8, 496, "label of T1", nullptr},
    {"KT2", SAC_CHAR8, 504, "label of T2", nullptr},
    {"KT3", SAC_CHAR8, 512, "label of T3", nullptr},
    {"KT4", SAC_CHAR8, 520, "label of T4", nullptr},
    {"KT5", SAC_CHAR8, 528, "label of T5", nullptr},
    {"KT6", SAC_CHAR8, 536, "label of T6", nullptr},
    {"KT7", SAC_CHAR8, 544, "label of T7", nullptr},
    {"KT8", SAC_CHAR8, 552, "label of T8", nullptr},
    {"KT9", SAC_CHAR8, 560, "label of T9", nullptr},
    {"KF", SAC_CHAR8, 568, "label of F", nullptr},
    {"KUSER0", SAC_CHAR8, 576, "user text 0", nullptr},
    {"KUSER1", SAC_CHAR8, 584, "user text 1", nullptr},
    {"KUSER2", SAC_CHAR8, 592, "user text 2", nullptr},
    {"KCMPNM", SAC_CHAR8, 600, "component name", nullptr},
    {"KNETWK", SAC_CHAR8, 608, "network name", nullptr},
    {"KDATRD", SAC_CHAR8, 616, "date the data were read", nullptr},
    {"KINST", SAC_CHAR8, 624, "recording instrument", nullptr},
};

namespace {

// Room for any text field of a trace row.
const int KOSAC_TEXT_SIZE = 256;

KORegistry kosac_reg("sac%d", KORegistry::COUNT_THEN_INCREMENT, "kosacs");

// Built by the first call that needs them and never changed afterwards.  A
// build that fails (out of memory) leaves nothing behind, fails the call that
// asked, and is tried again by the next one.  The lock makes the first
// builds of several threads one.
std::atomic<bool> sac_tables_built{false};
std::mutex sac_tables_mutex;
Arr *sac_header_arr = nullptr;
char sac_null_header[KOSAC_HEADER_SIZE];
sac_value_format *sac_formats_by_type[KOSAC_NFORMATS + 1];

int build_tables() {
    if (sac_tables_built.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> lock(sac_tables_mutex);
    if (sac_tables_built.load(std::memory_order_relaxed)) return 0;
    for (sac_value_format &f : SacValueFormats) {
        memset(f.null_value, 0, sizeof f.null_value);
        sac_formats_by_type[f.type] = &f;
        switch (f.type) {
        case SAC_FLOAT: {
            float v = strtof(f.null_value_string, nullptr);
            memcpy(f.null_value, &v, sizeof v);
            break;
        }
        case SAC_INT:
        case SAC_ENUM:
        case SAC_LOGICAL: {
            int32_t v = (int32_t)strtol(f.null_value_string, nullptr, 10);
            memcpy(f.null_value, &v, sizeof v);
            break;
        }
        default:
            strncpy(f.null_value, f.null_value_string, sizeof f.null_value - 1);
            break;
        }
    }
    Arr *arr = newarr(0);
    if (!arr) {
        elog_log(1, "kosac_fill_null_header: newarr() error.\n");
        return -1;
    }
    memset(sac_null_header, 0, sizeof sac_null_header);
    for (sac_header_define &d : SacHeaderDefines) {
        d.format = sac_formats_by_type[d.type];
        if (setarr(arr, d.name, &d) == ARR_FAILED) {
            elog_log(0, "kosac_fill_null_header: setarr(%s) error.\n", d.name);
            freearr(arr, nullptr);
            return -1;
        }
        memcpy(sac_null_header + d.offset, d.format->null_value, d.format->size);
    }
    int32_t version = 6;
    const sac_header_define *nvhdr = static_cast<const sac_header_define *>(getarr(arr, "NVHDR"));
    memcpy(sac_null_header + nvhdr->offset, &version, sizeof version);
    sac_header_arr = arr;
    sac_tables_built.store(true, std::memory_order_release);
    return 0;
}

const char *kosac_label(const void *obj) { return static_cast<const KOSac *>(obj)->tag; }
void kosac_release(void *obj) { kosac_free_kosac(static_cast<KOSac *>(obj)); }

// Whole-buffer I/O that survives short transfers and interruptions; the
// count actually moved.
long write_all(int fd, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += (size_t)w;
    }
    return (long)done;
}

long read_all(int fd, void *buf, size_t n) {
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = read(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += (size_t)r;
    }
    return (long)done;
}

}  // namespace

extern "C" {

int kosac_fill_null_header(char *header) {
    if (build_tables() < 0) return -1;
    if (header) memcpy(header, sac_null_header, KOSAC_HEADER_SIZE);
    return 0;
}

const sac_header_define *kosac_find_header_define(const char *name) {
    if (!name || build_tables() < 0) return nullptr;
    return static_cast<const sac_header_define *>(getarr(sac_header_arr, name));
}

void kosac_free_sacimage(SacImage *image) {
    if (!image) return;
    free(image->data);
    free(image);
}

KOSac *kosac_create(char *tag, char *handle) {
    if (kosac_reg.ensure("kosac_create", 1) < 0) return nullptr;
    KOSac *kosac = static_cast<KOSac *>(calloc(1, sizeof(KOSac)));
    if (!kosac) {
        elog_log(1, "kosac_create: malloc(KOSac) error.\n");
        return nullptr;
    }
    if (tag && !(kosac->tag = strdup(tag))) {
        elog_log(1, "kosac_create: malloc(KOSac) error.\n");
        free(kosac);
        return nullptr;
    }
    kosac->sacimage = static_cast<SacImage *>(calloc(1, sizeof(SacImage)));
    if (!kosac->sacimage) {
        elog_log(1, "kosac_create: malloc(SacImage) error.\n");
        kosac_free_kosac(kosac);
        return nullptr;
    }
    if (kosac_fill_null_header(kosac->sacimage->header) < 0) {
        elog_log(0, "kosac_create: kosac_fill_null_header(SacImage) error.\n");
        kosac_free_kosac(kosac);
        return nullptr;
    }
    if (handle && kosac_reg.add("kosac_create", kosac, handle) < 0) {
        kosac_free_kosac(kosac);
        return nullptr;
    }
    return kosac;
}

KOSac *kosac_get_kosac(char *handle) { return static_cast<KOSac *>(kosac_reg.get("kosac_get_kosac", handle)); }

void kosac_free_kosac(KOSac *kosac) {
    if (!kosac) return;
    free(kosac->tag);
    kosac_free_sacimage(kosac->sacimage);
    free(kosac);
}

int kosac_free(char *handle) { return kosac_reg.free_strict("kosac_free", handle, kosac_release); }

int kosac_free_tag(char *tag) { return kosac_reg.free_by_label(tag, kosac_label, kosac_release); }

int kosac_puthdr_kosac(KOSac *kosac, ...) {
    if (!kosac || !kosac->sacimage) {
        elog_log(0, "kosac_puthdr_kosac: Null kosac.\n");
        return -1;
    }
    char *header = kosac->sacimage->header;
    if (build_tables() < 0) {
        elog_log(0, "kosac_puthdr_kosac: kosac_fill_null_header() error.\n");
        return -1;
    }
    va_list ap;
    va_start(ap, kosac);
    int ret = 0;
    for (;;) {
        const char *name = va_arg(ap, const char *);
        if (!name) break;
        const sac_header_define *d = kosac_find_header_define(name);
        if (!d) {
            elog_log(0, "kosac_puthdr_kosac: Undefined header name '%s'\n", name);
            ret = -1;
            break;
        }
        switch (d->type) {
        case SAC_FLOAT: {
            float v = (float)va_arg(ap, double);
            memcpy(header + d->offset, &v, sizeof v);
            break;
        }
        case SAC_INT:
        case SAC_ENUM:
        case SAC_LOGICAL: {
            int32_t v = (int32_t)(uint32_t)(uint64_t)va_arg(ap, int64_t);
            memcpy(header + d->offset, &v, sizeof v);
            break;
        }
        default: {
            const char *s = va_arg(ap, const char *);
            char *field = header + d->offset;
            memset(field, 0, d->format->size);
            if (s) strncpy(field, s, d->format->size);  // cut, NUL-filled, no terminator needed
            break;
        }
        }
    }
    va_end(ap);
    return ret;
}

int kosac_gethdr_kosac(KOSac *kosac, ...) {
    if (!kosac || !kosac->sacimage) {
        elog_log(0, "kosac_gethdr_kosac: Null kosac.\n");
        return -1;
    }
    const char *header = kosac->sacimage->header;
    if (build_tables() < 0) {
        elog_log(0, "kosac_gethdr_kosac: kosac_fill_null_header() error.\n");
        return -1;
    }
    va_list ap;
    va_start(ap, kosac);
    int ret = 0;
    for (;;) {
        const char *name = va_arg(ap, const char *);
        if (!name) break;
        const sac_header_define *d = kosac_find_header_define(name);
        if (!d) {
            elog_log(0, "kosac_gethdr_kosac: Undefined header name '%s'\n", name);
            ret = -1;
            break;
        }
        switch (d->type) {
        case SAC_FLOAT: {
            double *out = va_arg(ap, double *);
            float v;
            memcpy(&v, header + d->offset, sizeof v);
            if (out) *out = v;
            break;
        }
        case SAC_INT:
        case SAC_ENUM:
        case SAC_LOGICAL: {
            int64_t *out = va_arg(ap, int64_t *);
            int32_t v;
            memcpy(&v, header + d->offset, sizeof v);
            if (out) *out = v;
            break;
        }
        default: {
            char *out = va_arg(ap, char *);
            if (out) {
                memcpy(out, header + d->offset, d->format->size);
                out[d->format->size] = '\0';
                strtrim(out);
            }
            break;
        }
        }
    }
    va_end(ap);
    return ret;
}

int kosac_write_to_file_kosac(KOSac *kosac, char *filename) {
    SacImage *image = kosac ? kosac->sacimage : nullptr;
    if (!image || !image->data) {
        elog_log(0, "kosac_write_to_file_kosac: No sac data samples to write.\n");
        return -1;
    }
    int fd = filename ? open(filename, O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
    if (fd < 0) {
        elog_log(1, "kosac_write_to_file_kosac: open(%s) error.\n", filename ? filename : "(null)");
        return -1;
    }
    long n = write_all(fd, image->header, KOSAC_HEADER_SIZE);
    if (n != KOSAC_HEADER_SIZE) {
        elog_log(1, "kosac_write_to_file_kosac: write(%s) error for header (wrote %ld bytes instead of %d bytes).\n",
                 filename, n, KOSAC_HEADER_SIZE);
        close(fd);
        return -1;
    }
    n = write_all(fd, image->data, image->data_size);
    if (close(fd) < 0 && n == (long)image->data_size) {
        // A failed close can mean the data never reached the file.
        elog_log(1, "kosac_write_to_file_kosac: write(%s) error for data (wrote %ld bytes instead of %ld bytes).\n",
                 filename, 0L, (long)image->data_size);
        return -1;
    }
    if (n != (long)image->data_size) {
        elog_log(1, "kosac_write_to_file_kosac: write(%s) error for data (wrote %ld bytes instead of %ld bytes).\n",
                 filename, n, (long)image->data_size);
        return -1;
    }
    return 0;
}

KOSac *kosac_read_from_file_kosac(char *filename, char *tag, char *handle) {
    int fd = filename ? open(filename, O_RDONLY) : -1;
    if (fd < 0) {
        elog_log(1, "kosac_read_from_file_kosac: open(%s) error.\n", filename ? filename : "(null)");
        return nullptr;
    }
    KOSac *kosac = kosac_create(tag, handle);
    if (!kosac) {
        elog_log(0, "kosac_read_from_file_kosac: kosac_create() error.\n");
        close(fd);
        return nullptr;
    }
    auto fail = [&]() -> KOSac * {
        close(fd);
        if (handle) {
            kosac_reg.remove(handle);
            handle[0] = '\0';  // the failed call names nothing
        }
        kosac_free_kosac(kosac);
        return nullptr;
    };
    SacImage *image = kosac->sacimage;
    long n = read_all(fd, image->header, KOSAC_HEADER_SIZE);
    if (n != KOSAC_HEADER_SIZE) {
        elog_log(1, "kosac_read_from_file_kosac: read(%s) error for header (read %ld bytes instead of %d bytes).\n",
                 filename, n, KOSAC_HEADER_SIZE);
        return fail();
    }
    int64_t nvhdr, iftype, npts;
    if (kosac_gethdr_kosac(kosac, "NVHDR", &nvhdr, "IFTYPE", &iftype, "NPTS", &npts, (char *)0) < 0) {
        elog_log(0, "kosac_read_from_file_kosac: kosac_gethdr_kosac(%s) error.\n", filename);
        return fail();
    }
    if (nvhdr != 6) {
        elog_log(0, "kosac_read_from_file_kosac: sac header version from %s, %ld, not supported.\n", filename,
                 (long)nvhdr);
        return fail();
    }
    if (iftype != 1) {
        elog_log(0, "kosac_read_from_file_kosac: sac file type from %s, %ld, not supported.\n", filename,
                 (long)iftype);
        return fail();
    }
    if (npts <= 0) {
        close(fd);
        return kosac;
    }
    long want = 4L * (long)npts;
    // The header's count is not trusted beyond the file: a regular file must
    // hold the samples it claims before anything is allocated for them.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        long avail = (long)st.st_size - KOSAC_HEADER_SIZE;
        if (avail < 0) avail = 0;
        if (avail < want) {
            elog_log(1, "kosac_read_from_file_kosac: read(%s) error for data (read %ld bytes instead of %ld bytes).\n",
                     filename, avail, want);
            return fail();
        }
        image->data = static_cast<float *>(malloc((size_t)want));
        if (!image->data) {
            elog_log(1, "kosac_read_from_file_kosac: malloc(%s->data,%ld) error.\n", filename, want);
            return fail();
        }
        n = read_all(fd, image->data, (size_t)want);
    } else {
        // A pipe or device: grow the buffer only as bytes actually arrive.
        long room = want < (1L << 20) ? want : (1L << 20);
        n = 0;
        for (;;) {
            float *p = static_cast<float *>(realloc(image->data, (size_t)room));
            if (!p) {
                elog_log(1, "kosac_read_from_file_kosac: malloc(%s->data,%ld) error.\n", filename, want);
                return fail();
            }
            image->data = p;
            long got = read_all(fd, reinterpret_cast<char *>(p) + n, (size_t)(room - n));
            n += got;
            if (n < room || room == want) break;
            room = room * 2 < want ? room * 2 : want;
        }
    }
    if (n != want) {
        elog_log(1, "kosac_read_from_file_kosac: read(%s) error for data (read %ld bytes instead of %ld bytes).\n",
                 filename, n, want);
        return fail();
    }
    close(fd);
    image->data_size = (uint64_t)want;
    image->data_nsamples = npts;
    return kosac;
}

int kosac_putdata_kosac(KOSac *kosac, int nsamp, double tstart, double samprate, float *data, char *segtype) {
    if (!kosac || !kosac->sacimage) {
        elog_log(0, "kosac_putdata_kosac: Null kosac.\n");
        return -1;
    }
    SacImage *image = kosac->sacimage;
    // The old samples are released whatever happens, but only once the new
    // ones are copied: a caller may hand the image its own samples back.
    struct Release {
        float *p;
        ~Release() { free(p); }
    } old{image->data};
    image->data = nullptr;
    image->data_nsamples = 0;
    image->data_size = 0;
    if (nsamp < 1) {
        elog_log(0, "kosac_putdata_kosac: Number of samples < 1\n");
        return -1;
    }
    if (!data) {
        elog_log(0, "kosac_putdata_kosac: No samples given.\n");
        return -1;
    }
    if (!(samprate > 0.0) || !std::isfinite(samprate)) {
        elog_log(0, "kosac_putdata_kosac: Illegal sample rate %g.\n", samprate);
        return -1;
    }
    if (!std::isfinite(tstart)) {
        elog_log(0, "kosac_putdata_kosac: Illegal start time %g.\n", tstart);
        return -1;
    }
    float depmin = data[0], depmax = data[0];
    double sum = 0.0;
    for (int i = 0; i < nsamp; i++) {
        if (data[i] > depmax) depmax = data[i];
        if (data[i] < depmin) depmin = data[i];
        sum += data[i];
    }
    double depmen = sum / nsamp;
    int64_t idep = 5;
    if (segtype && strcmp(segtype, "D") == 0) idep = 6;
    else if (segtype && strcmp(segtype, "V") == 0) idep = 7;
    else if (segtype && strcmp(segtype, "A") == 0) idep = 8;
    int year, doy, hour, minute;
    double sec;
    e2h(tstart, &year, &doy, &hour, &minute, &sec);
    int64_t nzsec = (int64_t)sec;
    int64_t nzmsec = (int64_t)((sec - (double)nzsec) * 1000.0 + 0.5);
    double delta = 1.0 / samprate;
    if (kosac_puthdr_kosac(kosac, "NPTS", (int64_t)nsamp, "B", 0.0, "E", (nsamp - 1) * delta, "IFTYPE", (int64_t)1,
                           "LEVEN", (int64_t)1, "DELTA", delta, "IDEP", idep, "SCALE", 1.0, "DEPMIN", (double)depmin,
                           "DEPMAX", (double)depmax, "DEPMEN", depmen, "NZYEAR", (int64_t)year, "NZJDAY",
                           (int64_t)doy, "NZHOUR", (int64_t)hour, "NZMIN", (int64_t)minute, "NZSEC", nzsec,
                           "NZMSEC", nzmsec, "IZTYPE", (int64_t)9, (char *)0) < 0) {
        elog_log(0, "kosac_putdata_kosac: kosac_puthdr_kosac() error.\n");
        return -1;
    }
    size_t bytes = (size_t)nsamp * sizeof(float);
    image->data = static_cast<float *>(malloc(bytes));
    if (!image->data) {
        elog_log(1, "kosac_putdata_kosac: malloc(data,%ld) error.\n", (long)bytes);
        return -1;
    }
    memcpy(image->data, data, bytes);
    image->data_nsamples = nsamp;
    image->data_size = bytes;
    return 0;
}

int kosac_getreftime_kosac(KOSac *kosac, double *rtime) {
    int64_t year, day, hour, minute, sec, msec, iztype;
    if (kosac_gethdr_kosac(kosac, "NZYEAR", &year, "NZJDAY", &day, "NZHOUR", &hour, "NZMIN", &minute, "NZSEC", &sec,
                           "NZMSEC", &msec, "IZTYPE", &iztype, (char *)0) < 0) {
        elog_log(0, "kosac_getreftime_kosac: kosac_gethdr_kosac() error.\n");
        return -1;
    }
    double seconds = (double)sec + (double)msec * 0.001;
    double full = h2e((int)year, (int)day, (int)hour, (int)minute, seconds);
    double daytime = h2e((int)year, (int)day, 0, 0, 0.0);
    if (rtime) *rtime = iztype == 10 ? daytime : full;
    return 0;
}

int kosac_getdata_kosac(KOSac *kosac, int *nsamp, double *tstart, double *samprate, float **data, char *segtype) {
    if (nsamp) *nsamp = 0;
    if (!kosac || !kosac->sacimage) {
        elog_log(0, "kosac_getdata_kosac: Null kosac.\n");
        return -1;
    }
    SacImage *image = kosac->sacimage;
    if (!image->data) return 0;
    int64_t npts, iftype, idep;
    double b, o, delta, scale;
    if (kosac_gethdr_kosac(kosac, "NPTS", &npts, "B", &b, "O", &o, "IFTYPE", &iftype, "DELTA", &delta, "IDEP", &idep,
                           "SCALE", &scale, (char *)0) < 0) {
        elog_log(0, "kosac_getdata_kosac: kosac_gethdr_kosac() error.\n");
        return -1;
    }
    if (npts < 0) return 0;
    if (iftype != 1) {
        elog_log(1, "kosac_getdata_kosac: sac file type, %ld, not supported.\n", (long)iftype);
        return -1;
    }
    double rtime;
    if (kosac_getreftime_kosac(kosac, &rtime) < 0) {
        elog_log(0, "kosac_getdata_kosac: kosac_getreftime_kosac()error.\n");
        return -1;
    }
    if (!data) {
        elog_log(0, "kosac_getdata_kosac: No place for the samples.\n");
        return -1;
    }
    // The image's own array is never the caller's to give up.
    if (*data != image->data) free(*data);
    *data = nullptr;
    size_t bytes = (size_t)npts * sizeof(float);
    *data = static_cast<float *>(calloc(1, bytes ? bytes : sizeof(float)));
    if (!*data) {
        elog_log(1, "kosac_getdata_kosac: malloc(data,%ld) error.\n", (long)bytes);
        return -1;
    }
    memcpy(*data, image->data, bytes < image->data_size ? bytes : (size_t)image->data_size);
    if (nsamp) *nsamp = (int)npts;
    if (samprate) *samprate = 1.0 / delta;
    if (tstart) *tstart = rtime + b;
    if (segtype) {
        segtype[0] = idep == 6 ? 'D' : idep == 7 ? 'V' : idep == 8 ? 'A' : '-';
        segtype[1] = '\0';
    }
    return 0;
}

int kosac_putevent_kosac(KOSac *kosac, Dbptr dbtrace, Dbptr dborigin) {
    char sta[KOSAC_TEXT_SIZE] = "", chan[KOSAC_TEXT_SIZE] = "", net[KOSAC_TEXT_SIZE] = "",
         segtype[KOSAC_TEXT_SIZE] = "";
    void *data = nullptr;
    double time = 0, samprate = 0, lat = 0, lon = 0, elev = 0, edepth = 0, hang = 0, vang = 0;
    long nsamp = 0;
    if (dbgetv(dbtrace, nullptr, "sta", sta, "chan", chan, "net", net, "segtype", segtype, "data", &data, "time",
               &time, "nsamp", &nsamp, "samprate", &samprate, "lat", &lat, "lon", &lon, "elev", &elev, "edepth",
               &edepth, "hang", &hang, "vang", &vang, (char *)0) < 0) {
        elog_log(0, "kosac_putevent_kosac: dbgetv(dbtrace) error.\n");
        return -1;
    }
    double otime = 0, olat = 0, olon = 0, odepth = 0;
    long orid = 0;
    if (dbgetv(dborigin, nullptr, "time", &otime, "lat", &olat, "lon", &olon, "depth", &odepth, "orid", &orid,
               (char *)0) < 0) {
        elog_log(0, "kosac_putevent_kosac: dbgetv(dborigin) error.\n");
        return -1;
    }
    // A count beyond the header's 32 bits cannot be described by the image.
    if (nsamp > 0x7fffffffL) {
        elog_log(0, "kosac_putevent_kosac: %ld samples do not fit a sac header.\n", nsamp);
        return -1;
    }
    if (kosac_putdata_kosac(kosac, (int)nsamp, time, samprate, static_cast<float *>(data), segtype) < 0) {
        elog_log(0, "kosac_putevent_kosac: kosac_putdata_kosac() error.\n");
        return -1;
    }
    const double rad = M_PI / 180.0, deg = 57.29577951308232;
    double gcarc = 0, baz = 0, az = 0;
    dist(lat * rad, lon * rad, olat * rad, olon * rad, &gcarc, &baz);
    dist(olat * rad, olon * rad, lat * rad, lon * rad, &gcarc, &az);
    gcarc *= deg;
    baz *= deg;
    az *= deg;
    if (kosac_puthdr_kosac(kosac, "KNETWK", net, "KSTNM", sta, "KCMPNM", chan, "STLA", lat, "STLO", lon, "STEL",
                           elev * 1000.0, "STDP", edepth * 1000.0, "CMPAZ", hang, "CMPINC", vang, "O", otime - time,
                           "EVLA", olat, "EVLO", olon, "EVDP", odepth * 1000.0, "GCARC", gcarc, "DIST",
                           deg2km(gcarc), "AZ", az, "BAZ", baz, "NORID", (int64_t)orid, (char *)0) < 0) {
        elog_log(0, "kosac_putevent_kosac: kosac_puthdr_kosac() error.\n");
        return -1;
    }
    return 0;
}

int kosac_getevent_kosac(KOSac *kosac, Dbptr *dbtrace, Dbptr *dborigin) {
    char net[9], sta[9], chan[9];
    double stla, stlo, stel, stdp, cmpaz, cmpinc, o, evla, evlo, evdp;
    if (kosac_gethdr_kosac(kosac, "KNETWK", net, "KSTNM", sta, "KCMPNM", chan, "STLA", &stla, "STLO", &stlo, "STEL",
                           &stel, "STDP", &stdp, "CMPAZ", &cmpaz, "CMPINC", &cmpinc, "O", &o, "EVLA", &evla, "EVLO",
                           &evlo, "EVDP", &evdp, (char *)0) < 0) {
        elog_log(0, "kosac_getevent_kosac: kosac_gethdr_kosac() error.\n");
        return -1;
    }
    stel *= 0.001;
    stdp *= 0.001;
    evdp *= 0.001;
    double rtime;
    if (kosac_getreftime_kosac(kosac, &rtime) < 0) {
        elog_log(0, "kosac_getevent_kosac: kosac_getreftime_kosac()error.\n");
        return -1;
    }
    double otime = rtime + o;
    int nsamp = 0;
    double tstart = 0, samprate = 0;
    float *data = nullptr;
    char segtype[2] = "-";
    if (kosac_getdata_kosac(kosac, &nsamp, &tstart, &samprate, &data, segtype) < 0) return -1;
    if (!dbtrace || !dborigin) {
        free(data);
        elog_log(0, "kosac_getevent_kosac: No trace or origin table given.\n");
        return -1;
    }
    // The row's end time follows from its samples, so that the row is whole
    // for the trace operations that read it.
    double endtime = nsamp > 0 ? tstart + (nsamp - 1) / samprate : tstart;
    long rec = dbaddv(*dbtrace, nullptr, "sta", sta, "chan", chan, "net", net, "segtype", segtype, "data",
                      (void *)data, "time", tstart, "endtime", endtime, "nsamp", (long)nsamp, "samprate", samprate,
                      "lat", stla, "lon", stlo, "elev", stel, "edepth", stdp, "hang", cmpaz, "vang", cmpinc,
                      (char *)0);
    if (rec < 0) {
        free(data);  // the row never took it
        elog_log(0, "kosac_getevent_kosac: dbaddv(dbtrace) error.\n");
        return -1;
    }
    dbtrace->record = rec;
    rec = dbaddv(*dborigin, nullptr, "time", otime, "lat", evla, "lon", evlo, "depth", evdp, "nass", 0L, "ndef", 0L,
                 (char *)0);
    if (rec < 0) {
        elog_log(0, "kosac_getevent_kosac: dbaddv(dborigin) error.\n");
        return -1;
    }
    dborigin->record = rec;
    return 0;
}

}  // extern "C"
