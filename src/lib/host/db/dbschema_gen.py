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

Besides the layout of each table's own section (the "css3.0" layout), the
reference lists the wider KB Core layout of many tables; each becomes a
further SchemaTable ("kbcore"), and so does its mix with the 17-character
load date ("kbcore-lddate17") and, for event, the variants whose `prefor`
is 8 wide.  Fields keep their type and null from the css3.0 table of the
same name; the fields only KB Core has get theirs from KBCORE_FIELDS.  A
table that only KB Core has (amplitude) is a table of its own whose main
layout is the KB Core one.  Layouts of one table of the same row length (origerr's
mix and its css3.0 layout) are told apart by the content of the lines; the
script notes them.
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

# Type and null of the fields that only the KB Core layouts have, by table.
KBCORE_FIELDS = {
    "stamag": {"ampid": ("integer", "-1"), "magres": ("real", "-999.0"),
               "magdef": ("string", "-"), "mmodel": ("string", "-")},
    "affiliation": {"time": ("time", "-9999999999.999"), "endtime": ("time", "9999999999.999")},
    "amplitude": {"ampid": ("integer", "-1"), "arid": ("integer", "-1"), "parid": ("integer", "-1"),
                  "chan": ("string", "-"), "amp": ("real", "-1.0"), "per": ("real", "-1.0"),
                  "snr": ("real", "-1.0"), "amptime": ("time", "-9999999999.999"),
                  "time": ("time", "-9999999999.999"), "duration": ("real", "-1.0"),
                  "deltaf": ("real", "-1.0"), "amptype": ("string", "-"), "units": ("string", "-"),
                  "clip": ("string", "-"), "inarrival": ("string", "-"), "auth": ("string", "-"),
                  "lddate": ("date", "-")},
}
# Keys of the tables only KB Core has.
KBCORE_KEYS = {"amplitude": ["ampid", ""]}
KBCORE_JOINS = [
    ("amplitude", "arrival", "arid", "arid"),
]

KB = re.compile(r"^- `(\w+)`, (\d+) characters: (.*)\n\s+`([^`]+)`", re.M)


def parse_kbcore(md, tables):
    """The KB Core layouts: {table: [(name, type, width, format, null, offset)]}."""
    out = {}
    k = md.find("## 7.")
    if k < 0:
        return out
    for m in KB.finditer(md[k:]):
        name, length, fields, fmts = m.group(1), int(m.group(2)), m.group(3), m.group(4).split()
        pairs = [f.strip().split() for f in fields.split(",")]
        if len(pairs) != len(fmts):
            sys.exit("kbcore %s: %d fields, %d formats" % (name, len(pairs), len(fmts)))
        base = {f[0]: f for f in tables.get(name, [])}
        extra = KBCORE_FIELDS.get(name, {})
        layout = []
        off = 0
        for (fname, width), fmt in zip(pairs, fmts):
            width = int(width)
            if fname in base:
                typ, null = base[fname][1], base[fname][4]
            elif fname in extra:
                typ, null = extra[fname]
            else:
                sys.exit("kbcore %s.%s: no type or null" % (name, fname))
            mw = re.match(r"%-?(\d+)", fmt)
            if not mw or int(mw.group(1)) != width:
                sys.exit("kbcore %s.%s: format %s does not have width %d" % (name, fname, fmt, width))
            layout.append((fname, typ, width, fmt, null, off))
            off += width + 1
        if off - 1 != length:
            sys.exit("kbcore %s: %d characters from the widths, %d in the reference" % (name, off - 1, length))
        out[name] = layout
    return out


def relayout(fields, change):
    """The fields with some widths and formats changed, offsets recomputed."""
    out = []
    off = 0
    for f in fields:
        name, typ, width, fmt, null, _ = f
        if name in change:
            width, fmt = change[name]
        out.append((name, typ, width, fmt, null, off))
        off += width + 1
    return out


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


main_families = {}


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
    kbcore = parse_kbcore(md, tables)
    # every further layout: (table, layout name, family, fields)
    layouts = []
    for name, fields in kbcore.items():
        if name not in tables:
            # a table only KB Core has: its main layout is KB Core
            tables[name] = fields
            order.insert(order.index("trace"), name)
            keys[name] = KBCORE_KEYS[name]
            main_family = "kbcore"
        else:
            layouts.append((name, "kbcore", fields))
            main_family = None
        variants = [("kbcore-lddate17", {"lddate": (17, "%-17.17s")})]
        if name == "event":
            variants += [("kbcore-prefor8", {"prefor": (8, "%8ld")}),
                         ("kbcore-prefor8-lddate17", {"prefor": (8, "%8ld"), "lddate": (17, "%-17.17s")})]
        for vname, change in variants:
            layouts.append((name, vname, relayout(fields, change)))
        if main_family:
            main_families[name] = main_family
    # a variant identical to a layout already listed adds nothing; one of
    # another shape but the same row length could not be told apart
    seen = {}
    for name in order:
        seen.setdefault(name, []).append(tables[name])
    seen.setdefault("stamag", []).append(variant)
    kept = []
    for name, lname, fields in layouts:
        shapes = seen.setdefault(name, [])
        if any(f == fields for f in shapes):
            continue
        length = check(name + "(" + lname + ")", fields)
        for other in shapes:
            if check(name, other) == length:
                sys.stderr.write("note: %s: layout %s has the row length %d of another layout; "
                                 "its files are told apart by their content\n" % (name, lname, length))
        shapes.append(fields)
        kept.append((name, lname, fields))
    layouts = kept
    out = ["/*",
           " * dbschema.cpp -- the compiled-in CSS 3.0 schema (and the in-memory trace",
           " * table): every table's main layout, the stamag layout without delta, and",
           " * the KB Core layouts and their mixes.  Generated by dbschema_gen.py from",
           " * the schema reference; do not edit by hand: change the reference or the",
           " * script and regenerate.",
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
    for name, lname, fields in layouts:
        out += emit_fields("f_%s_%s" % (name, lname.replace("-", "_")), fields)
        out.append("")
    out.append("const SchemaTable schema_tables[] = {")
    for name in order:
        length = check(name, tables[name])
        pk, ak = keys.get(name, [None, ""])
        if pk is None:
            sys.exit("no primary key for " + name)
        fam = main_families.get(name, "css3.0")
        out.append("    {%s, f_%s, %d, %d, %s, %s, %s, %s, %s}," % (
            cstr(name), name, len(tables[name]), length, cstr(pk), cstr(ak or ""), cstr(name), cstr(fam),
            "LAYOUT_KBCORE" if fam == "kbcore" else "LAYOUT_CSS30"))
    out.append("};")
    out.append("const int schema_ntables = %d;" % len(order))
    out.append("")
    vlen = check("stamag(variant)", variant)
    pk, ak = keys["stamag"]
    out.append("const SchemaTable schema_stamag_nodelta = {\"stamag\", f_stamag_nodelta, %d, %d, %s, %s, \"stamag\", "
               "\"css3.0-nodelta\", LAYOUT_CSS30};" % (len(variant), vlen, cstr(pk), cstr(ak or "")))
    out.append("")
    out.append("const SchemaTable schema_layouts[] = {")
    for name, lname, fields in layouts:
        pk, ak = keys[name]
        out.append("    {%s, f_%s_%s, %d, %d, %s, %s, %s, %s, LAYOUT_KBCORE}," % (
            cstr(name), name, lname.replace("-", "_"), len(fields), check(name, fields), cstr(pk), cstr(ak or ""),
            cstr(name), cstr(lname)))
    out.append("};")
    out.append("const int schema_nlayouts = %d;" % len(layouts))
    out.append("")
    out.append("const SchemaJoin schema_joins[] = {")
    seen = set()
    for a, b, k1, k2 in joins + EXTRA_JOINS + KBCORE_JOINS:
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
