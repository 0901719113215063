#!/usr/bin/env python3
"""dbschema_gen.py -- writes dbschema.cpp, the compiled-in CSS 3.0 schema,
from the schema reference (css3.0-schema.md).

Usage: python3 dbschema_gen.py css3.0-schema.md > dbschema.cpp

Every field table of the reference becomes a SchemaField array; offsets are
recomputed from the widths and checked against the reference, so a typo in
either is caught here rather than in a user's data.  Keys come from the key
tables (core) and the "Primary key" lines (project tables); joins from the
join table plus the project tables' joins listed below.  The in-memory
`trace` table is defined here.
"""
import re
import sys

TYPES = {"string": "dbSTRING", "integer": "dbINTEGER", "real": "dbREAL",
         "time": "dbTIME", "yearday": "dbYEARDAY", "date": "dbDATE",
         "pointer": "dbPOINTER"}

# Joins of the project-defined tables (their prose in the reference), and
# the id joins that the join table states in words.
EXTRA_JOINS = [
    ("detection", "arrival", "arid", "arid"),
    ("detection", "site", "sta", "sta"),
    ("detection", "sitechan", "sta chan", "sta chan"),
    ("detection", "wfdisc", "sta chan time", "sta chan time::endtime"),
    ("calibration", "wfdisc", "sta chan time::endtime", "sta chan time::endtime"),
    ("calibration", "sensor", "sta chan time::endtime", "sta chan time::endtime"),
    ("wfmeas", "arrival", "arid", "arid"),
    ("wfmeas", "stamag", "arid", "arid"),
    ("wfmeas", "wfdisc", "sta chan time::endtime", "sta chan time::endtime"),
    ("mt", "origin", "orid", "orid"),
    ("mt", "event", "evid", "evid"),
    ("snetsta", "site", "sta", "sta"),
    ("schanloc", "sitechan", "sta chan", "sta chan"),
    ("schanloc", "wfdisc", "sta chan", "sta chan"),
    ("schanloc", "sensor", "sta chan", "sta chan"),
    ("schanloc", "arrival", "sta chan", "sta chan"),
    ("trace", "wfdisc", "sta chan time::endtime", "sta chan time::endtime"),
    ("trace", "site", "sta", "sta"),
    ("trace", "sitechan", "sta chan", "sta chan"),
]

# The trace table: our own, in memory only.
TRACE = [
    ("net", "string", 8, "%-8.8s", "-"),
    ("sta", "string", 6, "%-6.6s", "-"),
    ("chan", "string", 8, "%-8.8s", "-"),
    ("time", "time", 17, "%17.5f", "-9999999999.999"),
    ("endtime", "time", 17, "%17.5f", "9999999999.999"),
    ("nsamp", "integer", 8, "%8ld", "-1"),
    ("samprate", "real", 16, "%16.9f", "-1.0"),
    ("calib", "real", 16, "%16.6f", "1.0"),
    ("calper", "real", 16, "%16.6f", "-1.0"),
    ("segtype", "string", 1, "%-1.1s", "-"),
    ("datatype", "string", 2, "%-2.2s", "-"),
    ("hang", "real", 10, "%10.4f", "-1.0"),
    ("vang", "real", 10, "%10.4f", "-1.0"),
    ("lat", "real", 13, "%13.7f", "-999.0"),
    ("lon", "real", 13, "%13.7f", "-999.0"),
    ("elev", "real", 12, "%12.6f", "-999.0"),
    ("edepth", "real", 12, "%12.6f", "-1.0"),
    ("comment", "string", 80, "%-80.80s", "-"),
    ("data", "pointer", 18, "%018p", "0x0000000000000000"),
    ("response", "pointer", 18, "%018p", "0x0000000000000000"),
    ("wfid", "integer", 8, "%8ld", "-1"),
    ("chanid", "integer", 8, "%8ld", "-1"),
    ("jdate", "yearday", 8, "%8ld", "-1"),
    ("instype", "string", 6, "%-6.6s", "-"),
    ("clip", "string", 1, "%-1.1s", "-"),
    ("dir", "string", 64, "%-64.64s", "-"),
    ("dfile", "string", 32, "%-32.32s", "-"),
    ("foff", "integer", 10, "%10ld", "-1"),
    ("lddate", "date", 17, "%-17.17s", "-"),
    # 1 once trapply_calib has applied calib to the row's samples; kept in
    # the row so that it goes wherever the row goes.
    ("calibrated", "integer", 2, "%2ld", "0"),
]

ROW = re.compile(r"^\|\s*(\d+)\s*\|\s*`(\w+)`\s*\|\s*(\w+)\s*\|\s*(\d+)\s*\|\s*`([^`]+)`\s*\|\s*([^|]+?)\s*\|\s*(\d+)\s*\|")


def null_of(cell):
    cell = cell.strip()
    m = re.match(r"`([^`]*)`", cell)
    if m:
        return m.group(1)
    return cell.split()[0]


def keylist(text):
    return " ".join(k.strip() for k in text.replace("`", "").split(",") if k.strip())


def parse(md):
    lines = md.splitlines()
    tables = {}      # name -> list of fields
    order = []
    variant = None
    keys = {}
    current = None
    in_variant = False
    joins = []
    section = ""
    for i, line in enumerate(lines):
        m = re.match(r"^###\s+[\d.]+\s+(\w+)\s+—", line)
        if m:
            current = m.group(1)
            in_variant = False
        m = re.match(r"^\*\*(\w+)\*\*\s+—", line)
        if m:
            current = m.group(1)
            in_variant = False
            mk = re.search(r"Primary key `([^`]+)`", line)
            if mk:
                keys.setdefault(current, [None, ""])[0] = keylist(mk.group(1))
        if line.startswith("**Layout variant.**"):
            in_variant = True
        if line.startswith("## "):
            section = line
            current = None if not line.startswith("## 6") and not line.startswith("## 2") else current
        m = ROW.match(line)
        if m and current:
            num, name, typ, width, fmt, null, off = m.groups()
            f = (name, typ, int(width), fmt, null_of(null), int(off))
            if in_variant:
                if variant is None:
                    variant = []
                variant.append(f)
            else:
                if current not in tables:
                    tables[current] = []
                    order.append(current)
                tables[current].append(f)
        # project tables: key lines
        mk = re.match(r"^- Primary key: `([^`]+)`(.*)", line)
        if mk and current and section.startswith("## 6"):
            ent = keys.setdefault(current, [None, ""])
            ent[0] = keylist(mk.group(1))
            ma = re.search(r"Alternate key: `([^`]+)`", mk.group(2))
            if ma:
                ent[1] = keylist(ma.group(1))
        # core key table
        mt = re.match(r"^\|\s*(\w+)\s*\|\s*(`[^|]+`)\s*\|\s*([^|]+)\|\s*$", line)
        if mt and section.startswith("## 3") and "3.1" in "".join(lines[max(0, i - 40):i]):
            name = mt.group(1)
            alt = mt.group(3).strip()
            altm = re.match(r"`([^`]+)`", alt)
            keys[name] = [keylist(mt.group(2)), keylist(altm.group(1)) if altm else ""]
        # join table
        mj = re.match(r"^\|\s*(\w+)\s*\|\s*(\w+)\s*\|\s*(.+?)\s*\|\s*$", line)
        if mj and section.startswith("## 3") and mj.group(1) not in ("From", "Table"):
            a, b, text = mj.groups()
            if a in tables and b in tables:
                j = join_of(text)
                if j:
                    joins.append((a, b, j[0], j[1]))
    return tables, order, variant, keys, joins


def join_of(text):
    """`sta, chan` with `jdate` in `ondate::offdate` / `chanid`; or ... /
    `sta, chan, time::endtime` (overlap)."""
    text = text.split(";")[0]
    text = re.sub(r"\(.*?\)", "", text)
    m = re.match(r"^`([^`]+)`\s+with\s+`(\w+)`\s+in\s+`([\w:]+)`", text)
    if m:
        base = keylist(m.group(1)).split()
        return " ".join(base + [m.group(2)]), " ".join(base + [m.group(3)])
    m = re.match(r"^`([^`]+)`\s+with\s+`([\w:]+)`\s+overlapping", text)
    if m:
        base = keylist(m.group(1)).split()
        return " ".join(base + [m.group(2)]), " ".join(base + [m.group(2)])
    m = re.match(r"^`([^`]+)`\s*$", text.strip())
    if m:
        k = keylist(m.group(1))
        return k, k
    return None


def check(name, fields):
    off = 0
    for f in fields:
        if f[5] != off:
            sys.exit("%s.%s: offset %d in the reference, %d from the widths" % (name, f[0], f[5], off))
        off += f[2] + 1
    return off - 1


def cstr(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def numnull(typ, null):
    if typ in ("string", "date", "pointer"):
        return "0"
    return repr(float(null))


def emit_fields(ident, fields):
    out = ["static const SchemaField %s[] = {" % ident]
    for f in fields:
        name, typ, width, fmt, null, off = f
        out.append("    {%s, %s, %d, %d, %s, %s, %s}," % (cstr(name), TYPES[typ], width, off,
                                                         cstr(fmt), cstr(null), numnull(typ, null)))
    out.append("};")
    return out


def main():
    md = open(sys.argv[1], encoding="utf-8").read()
    tables, order, variant, keys, joins = parse(md)
    off = 0
    trace = []
    for f in TRACE:
        trace.append(f + (off,))
        off += f[2] + 1
    tables["trace"] = trace
    order.append("trace")
    keys["trace"] = ["sta chan time::endtime", ""]
    out = ["/*",
           " * dbschema.cpp -- the compiled-in CSS 3.0 schema (and the in-memory trace",
           " * table).  Generated by dbschema_gen.py from the schema reference; do not",
           " * edit by hand: change the reference or the script and regenerate.",
           " */",
           '#include "db_pvt.h"',
           "",
           "namespace hostdb {",
           ""]
    for name in order:
        out += emit_fields("f_" + name, tables[name])
        out.append("")
    out += emit_fields("f_stamag_nodelta", variant)
    out.append("")
    out.append("const SchemaTable schema_tables[] = {")
    for name in order:
        length = check(name, tables[name])
        pk, ak = keys.get(name, [None, ""])
        if pk is None:
            sys.exit("no primary key for " + name)
        out.append("    {%s, f_%s, %d, %d, %s, %s, %s}," % (cstr(name), name, len(tables[name]), length,
                                                          cstr(pk), cstr(ak or ""), cstr(name)))
    out.append("};")
    out.append("const int schema_ntables = %d;" % len(order))
    out.append("")
    vlen = check("stamag(variant)", variant)
    pk, ak = keys["stamag"]
    out.append("const SchemaTable schema_stamag_nodelta = {\"stamag\", f_stamag_nodelta, %d, %d, %s, %s, \"stamag\"};"
               % (len(variant), vlen, cstr(pk), cstr(ak or "")))
    out.append("")
    out.append("const SchemaJoin schema_joins[] = {")
    seen = set()
    for a, b, k1, k2 in joins + EXTRA_JOINS:
        if (a, b) in seen:
            continue
        seen.add((a, b))
        for t, ks in ((a, k1), (b, k2)):
            names = [n for k in ks.split() for n in k.split("::")]
            have = {f[0] for f in tables[t]}
            for n in names:
                if n not in have:
                    sys.exit("join %s-%s: %s has no field %s" % (a, b, t, n))
        out.append("    {%s, %s, %s, %s}," % (cstr(a), cstr(b), cstr(k1), cstr(k2)))
    out.append("};")
    out.append("const int schema_njoins = %d;" % len(seen))
    out.append("")
    out.append("}  // namespace hostdb")
    print("\n".join(out))


if __name__ == "__main__":
    main()
