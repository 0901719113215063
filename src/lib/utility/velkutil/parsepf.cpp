// parse_param and pf2struc: filling a caller's structure from a parameter
// file, one typed field at a time, by a table of field definitions.

#include "kobase.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

extern "C" {

int parse_param(Pf *pf, char *name, int type, int need, void *val) {
    if ((unsigned)type > 12u) {
        elog_log(0, "parse_param: Illegal type value.\n");
        return -1;
    }
    void *found = nullptr;
    int kind = pfget(pf, name, &found);
    int want;
    const char *what;
    if (type <= 4 || type == 11 || type == 12) {
        want = 1;
        what = "parameter";
    } else if (type <= 7) {
        want = 2;
        what = "table";
    } else {
        want = 3;
        what = "array";
    }
    if (kind != want) {
        if (!need) return 0;
        elog_log(0, "parse_param: Cannot find '%s' %s.\n", name, what);
        return -1;
    }
    char *str = static_cast<char *>(found);
    Pf *sub = static_cast<Pf *>(found);
    switch (type) {
    case 0:
    case 1: {
        char *end;
        errno = 0;
        long v = strtol(str, &end, 0);
        if (end == str) {
            elog_log(1, "parse_param: strtol(%s) error.\n", str);
            elog_log(1, "parse_param: Unable to parse integer value for %s.\n", name);
            return -1;
        }
        int32_t v32 = (int32_t)(uint32_t)(unsigned long)v;
        if (type == 0) {
            int16_t v16 = (int16_t)(uint16_t)(uint32_t)v32;
            memcpy(val, &v16, sizeof v16);
        } else {
            memcpy(val, &v32, sizeof v32);
        }
        break;
    }
    case 2: {
        float f = (float)pfget_double(pf, name);
        memcpy(val, &f, sizeof f);
        break;
    }
    case 3: {
        double d = pfget_double(pf, name);
        memcpy(val, &d, sizeof d);
        break;
    }
    case 4: {
        char *copy = strdup(str);
        if (!copy) {
            elog_log(1, "parse_param: strdup(%s) error.\n", str);
            return -1;
        }
        memcpy(val, &copy, sizeof copy);
        break;
    }
    case 5: {
        Tbl *t = sub->value.tbl;
        memcpy(val, &t, sizeof t);
        break;
    }
    case 8: {
        Arr *a = sub->value.arr;
        memcpy(val, &a, sizeof a);
        break;
    }
    case 6: {
        // The table is there (checked above): no list means no memory.
        Tbl *t = pfget_tbl(pf, name);
        if (!t) {
            elog_log(1, "parse_param: pfget_tbl(%s) error.\n", name);
            return -1;
        }
        memcpy(val, &t, sizeof t);
        break;
    }
    case 9: {
        Arr *a = pfget_arr(pf, name);
        if (!a) {
            elog_log(1, "parse_param: pfget_arr(%s) error.\n", name);
            return -1;
        }
        memcpy(val, &a, sizeof a);
        break;
    }
    case 7:
    case 10:
        memcpy(val, &sub, sizeof sub);
        break;
    case 11: {
        char buf[9];
        strncpy(buf, str, 8);
        buf[8] = '\0';
        int b = 1;
        if (!strcmp(buf, "0") || !strcasecmp(buf, "n") || !strcasecmp(buf, "no") || !strcasecmp(buf, "f") ||
            !strcasecmp(buf, "false"))
            b = 0;
        memcpy(val, &b, sizeof b);
        break;
    }
    case 12:
        strcpy(static_cast<char *>(val), str);
        break;
    }
    return 0;
}

int pf2struc(Pf *pf, int ndefs, Pf2strucDef *defs, void *struc) {
    for (int i = 0; i < ndefs; i++) {
        if (parse_param(pf, defs[i].name, defs[i].pftype, defs[i].required,
                        static_cast<char *>(struc) + defs[i].struc_offset) < 0) {
            elog_log(0, "pf2struc: parse_param(%s) error.\n", defs[i].name);
            return -1;
        }
    }
    return 0;
}

}  // extern "C"
