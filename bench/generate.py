"""A deterministic catalogue snapshot for timing the writer and the readers.

generate(scale, seed) yields (member name, rows) for every member of the
format, each row a Python list with one value per column. Scale 1 gives about
50 MB of member text. Only the standard library is used, and the same scale and
seed always give the same rows.

The data is shaped like a real catalogue: a few large schemas and many small
ones, multi-kilobyte source units holding quotes, tabs, backslashes and
non-ASCII text, PL/Scope members keyed by owner, scheduler and external-table
attributes as nested objects whose keys are not in sorted order, and numbers of
every kind (small and 64-bit integers, negatives, fractions, integral floats,
negative zero).

Floats are kept between 1e-4 and 1e15 in magnitude: outside that range Python
writes exponents as "1e+20" where the module writes "1e20", and the plain
Python implementations in bench.py must produce byte-identical text.

    python bench/generate.py --scale 0.1     # prints the size of each member
"""

import argparse
import collections
import json
import random

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)

# Columns per member; a keyed member's name gets "/<owner>" after it.
COLUMN_COUNTS = {
    "objects": 7,
    "columns": 9,
    "constraints": 9,
    "type_attrs": 5,
    "synonyms": 5,
    "dependencies": 8,
    "triggers": 6,
    "comments": 4,
    "plscope_declarations": 9,
    "external_objects": 7,
    "external_columns": 9,
    "external_synonyms": 5,
    "scheduler": 4,
    "external_tables": 3,
    "units": 4,
    "plscope_identifiers": 10,
    "plscope_statements": 13,
    "control_rows": 1,
    "runtime_sql": 9,
}
KEYED = ("plscope_identifiers", "plscope_statements", "control_rows")

# Owners with their relative weight; the last two need quoting in SQL.
OWNERS = [
    ("APP", 30),
    ("HR", 8),
    ("FIN", 14),
    ("SALES", 10),
    ("SCOTT", 2),
    ("BATCH", 6),
    ("REPORTING", 5),
    ("INTEGRATION", 7),
    ("Müller Schema", 3),
    ("ÉTAT_CIVIL", 4),
]
EXTERNAL_OWNERS = ["SYS", "SYSTEM", "CTXSYS", "MDSYS", "XDB", "DBSNMP"]
PLSCOPE_OWNERS = ["APP", "FIN", "SALES", "INTEGRATION", "Müller Schema"]

WORDS = (
    "account customer order line item invoice payment ledger balance entry "
    "journal period currency rate tax address contact employee department "
    "salary grade job history region country location product price stock "
    "warehouse shipment carrier route status audit event queue message batch "
    "run step param config user role grant lock token cache index archive "
    "report summary detail total amount quantity discount margin cost budget"
).split()
NON_ASCII_WORDS = [
    "Größe", "Straße", "données", "été", "niño", "ação", "Ærø", "smörgåsbord",
    "naïve", "façade", "日本語", "数据", "Ελληνικά", "Кириллица", "עברית",
    "العربية", "emoji😀", "€uro", "½-Preis", "ﬁle",
]
DATA_TYPES = [
    ("VARCHAR2", 30), ("NUMBER", 20), ("DATE", 12), ("CHAR", 4),
    ("TIMESTAMP(6)", 8), ("CLOB", 3), ("RAW", 2), ("FLOAT", 3),
    ("NVARCHAR2", 2), ("BLOB", 2), ("INTEGER", 6), ("XMLTYPE", 1),
]
OBJECT_TYPES = [
    ("TABLE", 30), ("INDEX", 35), ("VIEW", 8), ("PACKAGE", 6),
    ("PACKAGE BODY", 6), ("PROCEDURE", 4), ("FUNCTION", 4), ("TRIGGER", 5),
    ("SEQUENCE", 6), ("TYPE", 3), ("TYPE BODY", 1), ("SYNONYM", 4),
    ("LOB", 2),
]
UNIT_TYPES = ["PACKAGE", "PACKAGE BODY", "PROCEDURE", "FUNCTION", "TRIGGER",
              "TYPE", "TYPE BODY"]
IDENT_TYPES = ["VARIABLE", "FORMAL IN", "FORMAL OUT", "FORMAL IN OUT",
               "CONSTANT", "CURSOR", "PROCEDURE", "FUNCTION", "RECORD",
               "NUMBER DATATYPE", "CHARACTER DATATYPE", "EXCEPTION", "LABEL",
               "ITERATOR", "SYNONYM", "TABLE", "COLUMN"]
USAGES = ["DECLARATION", "DEFINITION", "REFERENCE", "CALL", "ASSIGNMENT"]
STATEMENT_TYPES = ["SELECT", "UPDATE", "INSERT", "DELETE", "MERGE",
                   "EXECUTE IMMEDIATE", "OPEN", "FETCH", "CLOSE", "COMMIT",
                   "ROLLBACK", "LOCK TABLE"]
JOB_KINDS = ["JOB", "PROGRAM", "SCHEDULE", "CHAIN", "WINDOW", "CREDENTIAL"]


def _weighted(rng, pairs):
    names = [p[0] for p in pairs]
    weights = [p[1] for p in pairs]
    return lambda: rng.choices(names, weights)[0]


class _Catalogue:
    def __init__(self, scale, seed):
        self.rng = random.Random(seed)
        self.scale = scale
        rng = self.rng
        self.owner = _weighted(rng, OWNERS)
        self.data_type = _weighted(rng, DATA_TYPES)
        self.object_type = _weighted(rng, OBJECT_TYPES)
        self.next_id = 51234
        # Tables per owner, filled by objects(); later members refer to them.
        self.tables = []
        self.units = []

    # Small building blocks ------------------------------------------------

    def n(self, count):
        return max(1, int(round(count * self.scale)))

    def ident(self, parts=2, prefix=""):
        rng = self.rng
        name = "_".join(rng.choice(WORDS) for _ in range(parts)).upper()
        return prefix + name

    def words(self, count):
        rng = self.rng
        out = []
        for _ in range(count):
            if rng.random() < 0.08:
                out.append(rng.choice(NON_ASCII_WORDS))
            else:
                out.append(rng.choice(WORDS))
        return " ".join(out)

    def timestamp(self):
        rng = self.rng
        return "20%02d-%02d-%02dT%02d:%02d:%02d" % (
            rng.randint(15, 26), rng.randint(1, 12), rng.randint(1, 28),
            rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))

    def sql_id(self):
        rng = self.rng
        return "".join(rng.choice("0123456789abcdfghjkmnpqrstuvwxyz")
                       for _ in range(13))

    def signature(self):
        return "%032X" % self.rng.getrandbits(128)

    def float_value(self):
        # Fractions, integral floats, tiny and large magnitudes, negative
        # zero, all inside the range where Python and the module agree.
        rng = self.rng
        r = rng.random()
        if r < 0.4:
            return round(rng.uniform(0, 10000), rng.randint(0, 6))
        if r < 0.55:
            return float(rng.randint(0, 100000))
        if r < 0.7:
            return rng.uniform(1e-4, 1e-2)
        if r < 0.85:
            return rng.uniform(1e9, 9.9e14)
        if r < 0.95:
            return -rng.uniform(0, 1e6)
        return rng.choice([-0.0, 0.1, 1 / 3, 0.0001, 123456789012345.6])

    def int_value(self):
        rng = self.rng
        r = rng.random()
        if r < 0.5:
            return rng.randint(0, 1000)
        if r < 0.7:
            return rng.randint(-100000, -1)
        if r < 0.9:
            return rng.getrandbits(63)
        if r < 0.97:
            return rng.getrandbits(64)
        return rng.choice([U64_MAX, I64_MIN, 0, -1, 2**63])

    # Members ----------------------------------------------------------------

    def objects(self, member, owner_fn=None, count=None):
        rng = self.rng
        rows = []
        owner_fn = owner_fn or self.owner
        for _ in range(count or self.n(11000)):
            owner = owner_fn()
            kind = self.object_type()
            name = self.ident(rng.randint(1, 3))
            if rng.random() < 0.03:
                name = name.title() + " " + rng.choice(NON_ASCII_WORDS)
            self.next_id += rng.randint(1, 9)
            rows.append([
                self.next_id, owner, name, kind,
                "VALID" if rng.random() < 0.96 else "INVALID",
                "Y" if rng.random() < 0.02 else "N",
                self.timestamp(),
            ])
            if member == "objects" and kind == "TABLE":
                self.tables.append((owner, name))
            if member == "objects" and kind in UNIT_TYPES:
                self.units.append((owner, name, kind))
        return rows

    def columns(self, tables):
        rng = self.rng
        rows = []
        for owner, table in tables:
            for column_id in range(1, rng.randint(3, 28)):
                dtype = self.data_type()
                precision = scale = None
                length = 0
                if dtype in ("VARCHAR2", "CHAR", "NVARCHAR2"):
                    length = rng.choice([1, 10, 30, 64, 100, 255, 4000])
                elif dtype == "NUMBER":
                    precision = rng.choice([None, 5, 10, 18, 38])
                    scale = rng.choice([None, 0, 2, 4]) if precision else None
                elif dtype == "FLOAT":
                    precision, scale = 126, -127
                rows.append([
                    owner, table, self.ident(rng.randint(1, 2)), column_id,
                    dtype, rng.choice("YN"), length, precision, scale,
                ])
        return rows

    def constraints(self):
        rng = self.rng
        rows = []
        for owner, table in self.tables:
            for kind in rng.sample("PURC", rng.randint(1, 3)):
                cols = [self.ident(1) for _ in range(rng.randint(1, 3))]
                r_owner = r_table = r_cols = None
                if kind == "R":
                    r_owner, r_table = rng.choice(self.tables)
                    r_cols = [self.ident(1) for _ in cols]
                if kind == "C":
                    cols = ["%s IS NOT NULL" % cols[0]]
                rows.append([
                    owner, "%s_%s" % (table[:20], kind + "K"), kind, table,
                    cols, r_owner, r_table, r_cols,
                    "ENABLED" if rng.random() < 0.97 else "DISABLED",
                ])
        return rows

    def type_attrs(self):
        rng = self.rng
        rows = []
        for owner, name, kind in self.units:
            if kind != "TYPE":
                continue
            for attr_no in range(1, rng.randint(2, 12)):
                rows.append([owner, name, self.ident(1), attr_no,
                             self.data_type()])
        return rows

    def synonyms(self, count, owner_fn):
        rng = self.rng
        rows = []
        for _ in range(count):
            owner, table = rng.choice(self.tables)
            link = None
            if rng.random() < 0.1:
                link = "REMOTE_%d.EXAMPLE.COM" % rng.randint(1, 9)
            rows.append([owner_fn(), self.ident(2), owner, table, link])
        return rows

    def dependencies(self):
        rng = self.rng
        rows = []
        for owner, name, kind in self.units:
            for _ in range(rng.randint(2, 25)):
                ref_owner, ref_name = rng.choice(self.tables)
                rows.append([
                    owner, name, kind, ref_owner, ref_name,
                    rng.choice(["TABLE", "VIEW", "PACKAGE", "SYNONYM"]),
                    None if rng.random() < 0.97 else "REMOTE_1.EXAMPLE.COM",
                    "HARD" if rng.random() < 0.9 else "REF",
                ])
        return rows

    def triggers(self):
        rng = self.rng
        rows = []
        for owner, name, kind in self.units:
            if kind != "TRIGGER":
                continue
            table_owner, table = rng.choice(self.tables)
            rows.append([
                owner, name, table_owner, table,
                " OR ".join(rng.sample(["INSERT", "UPDATE", "DELETE"],
                                       rng.randint(1, 3))),
                "REFERENCING NEW AS NEW OLD AS OLD",
            ])
        return rows

    def comments(self):
        rng = self.rng
        rows = []
        for owner, table in self.tables:
            if rng.random() < 0.5:
                continue
            for column in [None] + [self.ident(1) for _ in
                                    range(rng.randint(0, 6))]:
                text = self.words(rng.randint(3, 30))
                if rng.random() < 0.2:
                    text += ' ("%s")\tsee \\\\share\\docs\u2028page 2' % (
                        self.words(2))
                if rng.random() < 0.1:
                    text += "\nsecond line, it's 100% \u00a0done\r\n"
                rows.append([owner, table, column, text])
        return rows

    def plscope_declarations(self):
        rng = self.rng
        rows = []
        for owner, name, kind in self.units:
            for usage_id in range(1, rng.randint(2, 20)):
                rows.append([
                    owner, name, kind, usage_id, usage_id // 3,
                    self.ident(rng.randint(1, 3)), self.signature(),
                    rng.choice(IDENT_TYPES), "DECLARATION",
                ])
        return rows

    def scheduler(self):
        rng = self.rng
        rows = []
        for _ in range(self.n(1500)):
            kind = rng.choice(JOB_KINDS)
            # Keys deliberately out of order; the module stores them sorted.
            attrs = {
                "repeat_interval": "FREQ=%s;INTERVAL=%d" % (
                    rng.choice(["DAILY", "HOURLY", "MINUTELY"]),
                    rng.randint(1, 60)),
                "enabled": rng.random() < 0.8,
                "job_action": "BEGIN %s.run('%s'); END;" % (
                    self.ident(2), self.words(3)),
                "max_runs": None if rng.random() < 0.7 else rng.randint(1, 99),
                "start_date": self.timestamp(),
                "comments": self.words(rng.randint(0, 12)),
                "arguments": [
                    {"position": i, "value": self.words(1),
                     "type": rng.choice(["VARCHAR2", "NUMBER"])}
                    for i in range(1, rng.randint(1, 5))
                ],
                "priority": rng.randint(1, 5),
                "job_weight": self.float_value(),
                "run_count": self.int_value(),
                "Zeta": {"b": 1, "a": [2.0, -3, {"z": None, "y": True}]},
            }
            rows.append([kind, self.owner(), self.ident(2), attrs])
        return rows

    def external_tables(self):
        rng = self.rng
        rows = []
        for _ in range(self.n(400)):
            attrs = {
                "type_name": rng.choice(["ORACLE_LOADER", "ORACLE_DATAPUMP"]),
                "location": ["%s_%d.csv" % (self.words(1), i)
                             for i in range(rng.randint(1, 4))],
                "default_directory_name": self.ident(1, "DIR_"),
                "reject_limit": "UNLIMITED" if rng.random() < 0.5
                                else rng.randint(0, 1000),
                "access_parameters":
                    "RECORDS DELIMITED BY NEWLINE\n"
                    "  FIELDS TERMINATED BY '\\t' OPTIONALLY ENCLOSED BY '\"'"
                    "\n  MISSING FIELD VALUES ARE NULL\n  -- %s\n" % (
                        self.words(8)),
                "parallel": self.float_value(),
            }
            rows.append([self.owner(), self.ident(2, "EXT_"), attrs])
        return rows

    def source_text(self, owner, name, kind, lines):
        rng = self.rng
        out = ['CREATE OR REPLACE %s "%s"."%s" AS\n' % (kind, owner, name)]
        for i in range(lines):
            indent = "\t" * rng.randint(1, 3) if rng.random() < 0.3 \
                else "  " * rng.randint(1, 4)
            r = rng.random()
            if r < 0.25:
                line = "v_%s := '%s';" % (self.ident(1).lower(),
                                          self.words(rng.randint(1, 6))
                                          .replace("'", "''"))
            elif r < 0.4:
                line = "-- %s" % self.words(rng.randint(3, 14))
            elif r < 0.55:
                line = ('SELECT "%s", %s INTO v_a, v_b FROM %s WHERE id = :%d;'
                        % (self.ident(1), self.ident(1),
                           self.ident(2), i))
            elif r < 0.65:
                line = "dbms_output.put_line('it''s \"%s\"\\t%d');" % (
                    self.words(2), i)
            elif r < 0.75:
                line = "IF v_count > %d THEN\n%s  RAISE_APPLICATION_ERROR" \
                       "(-20%03d, 'Überlauf: ' || v_count);" % (
                           rng.randint(0, 99999), indent, rng.randint(0, 999))
            else:
                line = "%s(%s);" % (self.ident(2).lower(),
                                    ", ".join(self.ident(1).lower() for _ in
                                              range(rng.randint(0, 4))))
            out.append(indent + line + "\n")
        out.append("END %s;\n" % name)
        return "".join(out)

    def units_rows(self):
        rng = self.rng
        rows = []
        for owner, name, kind in self.units:
            lines = int(rng.lognormvariate(4.3, 0.8)) + 5
            rows.append([owner, name, kind,
                         self.source_text(owner, name, kind, lines)])
        return rows

    def plscope_identifiers(self, owner):
        rng = self.rng
        rows = []
        for _, name, kind in (u for u in self.units if u[0] == owner):
            line = 1
            for usage_id in range(1, rng.randint(10, 80)):
                line += rng.randint(0, 3)
                rows.append([
                    name, kind, usage_id, max(0, usage_id - rng.randint(1, 5)),
                    self.ident(rng.randint(1, 2)), self.signature(),
                    rng.choice(IDENT_TYPES), rng.choice(USAGES),
                    line, rng.randint(1, 120),
                ])
        return rows

    def plscope_statements(self, owner):
        rng = self.rng
        rows = []
        for _, name, kind in (u for u in self.units if u[0] == owner):
            for usage_id in range(1, rng.randint(2, 14)):
                stype = rng.choice(STATEMENT_TYPES)
                text = "%s %s FROM %s WHERE %s = :B1 AND note = '%s'" % (
                    stype, ", ".join(self.ident(1) for _ in
                                     range(rng.randint(1, 8))),
                    self.ident(2), self.ident(1), self.words(2))
                rows.append([
                    name, kind, usage_id, usage_id - 1, self.signature(),
                    stype, self.sql_id(), rng.randint(1, 5000),
                    rng.randint(1, 80), rng.random() < 0.1,
                    rng.random() < 0.2, rng.random() < 0.6, text,
                ])
        return rows

    def control_rows(self, owner):
        rng = self.rng
        rows = []
        for i in range(self.n(2500)):
            # One row of a control table, as the object the exporter builds.
            rows.append([{
                "table": self.ident(2),
                "pk": [i, self.ident(1)],
                "values": {
                    "name": self.words(rng.randint(1, 5)),
                    "amount": self.float_value(),
                    "count": self.int_value(),
                    "flag": rng.random() < 0.5,
                    "missing": None,
                    "tags": [self.words(1) for _ in range(rng.randint(0, 4))],
                },
                "changed": self.timestamp(),
                "by": owner,
            }])
        return rows

    def runtime_sql(self):
        rng = self.rng
        rows = []
        for _ in range(self.n(5000)):
            body = " ".join(
                "%s %s" % (rng.choice(["SELECT", "FROM", "WHERE", "AND",
                                       "JOIN", "ORDER BY", "GROUP BY"]),
                           self.ident(rng.randint(1, 2)))
                for _ in range(int(rng.lognormvariate(3.0, 1.0)) + 2))
            if rng.random() < 0.1:
                body += " /* %s */" % self.words(6)
            rows.append([
                self.sql_id(), rng.randint(0, 20), self.owner(),
                rng.choice([2, 3, 6, 7, 47, 189]), rng.randint(0, 2**31),
                rng.randint(0, 20000), self.int_value() if rng.random() < 0.2
                else rng.randint(0, 10**9),
                self.timestamp(), body,
            ])
        return rows


def generate(scale=1.0, seed=20260101):
    """Yields (member name, rows) for every member, keyed ones per owner."""
    cat = _Catalogue(scale, seed)

    def ext_owner():
        return cat.rng.choice(EXTERNAL_OWNERS)

    yield "objects", cat.objects("objects")
    yield "columns", cat.columns(cat.tables)
    yield "constraints", cat.constraints()
    yield "type_attrs", cat.type_attrs()
    yield "synonyms", cat.synonyms(cat.n(3000), cat.owner)
    yield "dependencies", cat.dependencies()
    yield "triggers", cat.triggers()
    yield "comments", cat.comments()
    yield "plscope_declarations", cat.plscope_declarations()
    external = cat.objects("external_objects", ext_owner, cat.n(6000))
    yield "external_objects", external
    ext_tables = [(r[1], r[2]) for r in external if r[3] == "TABLE"]
    yield "external_columns", cat.columns(ext_tables)
    yield "external_synonyms", cat.synonyms(cat.n(2000), ext_owner)
    yield "scheduler", cat.scheduler()
    yield "external_tables", cat.external_tables()
    yield "units", cat.units_rows()
    for owner in PLSCOPE_OWNERS:
        yield "plscope_identifiers/" + owner, cat.plscope_identifiers(owner)
    for owner in PLSCOPE_OWNERS:
        yield "plscope_statements/" + owner, cat.plscope_statements(owner)
    for owner in ("APP", "FIN", "Müller Schema"):
        yield "control_rows/" + owner, cat.control_rows(owner)
    yield "runtime_sql", cat.runtime_sql()


# The columns that identify a row within its member, by index; none: the
# whole row. The comparison of two snapshots matches rows by these.
KEY_INDEXES = {
    "objects": (1, 2, 3),
    "columns": (0, 1, 2),
    "constraints": (0, 1),
    "type_attrs": (0, 1, 2),
    "synonyms": (0, 1),
    "dependencies": (),
    "triggers": (0, 1),
    "comments": (0, 1, 2),
    "plscope_declarations": (0, 1, 2, 3),
    "external_objects": (1, 2, 3),
    "external_columns": (0, 1, 2),
    "external_synonyms": (0, 1),
    "scheduler": (0, 1, 2),
    "external_tables": (0, 1),
    "units": (0, 1, 2),
    "plscope_identifiers": (0, 1, 2),
    "plscope_statements": (0, 1, 2),
    "control_rows": (),
    "runtime_sql": (0, 1),
}


def _other(value, tag):
    """A value of the same kind that differs from `value`."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value - 1 if value > 0 else value + 1
    if isinstance(value, float):
        return value + 1.5
    if isinstance(value, str):
        return value + tag
    if isinstance(value, list):
        return value + [tag]
    if isinstance(value, dict):
        return dict(value, **{tag: True})
    return tag


def changed_copy(members, seed, fraction=0.03):
    """The catalogue with, in every member, `fraction` of its rows removed, as
    many changed in a column outside their key, and as many added with keys of
    their own, scattered through the member.

    Returns (members, expected): expected maps each name to the (added,
    removed, changed) counts that a comparison with the original must report.
    Only rows whose key is unique are removed or changed; where the whole row
    is the key, a changed row is one row removed and another added.
    """
    rng = random.Random(seed)
    out = []
    expected = {}
    for name, rows in members:
        key_columns = KEY_INDEXES[name.split("/")[0]]
        columns = key_columns or tuple(range(len(rows[0])))

        def key_of(row):
            return json.dumps([row[i] for i in columns], sort_keys=True)

        counts = collections.Counter(key_of(row) for row in rows)
        unique = [i for i, row in enumerate(rows) if counts[key_of(row)] == 1]
        n = min(max(1, int(len(rows) * fraction)), len(unique) // 2)
        chosen = rng.sample(unique, 2 * n)
        removed, changed = set(chosen[:n]), set(chosen[n:])
        target = max(set(range(len(rows[0]))) - set(key_columns))
        copy = []
        for i, row in enumerate(rows):
            if i in removed:
                continue
            if i in changed:
                row = list(row)
                row[target] = _other(row[target], "~changed")
            copy.append(row)
        for j in range(n):
            row = list(rows[rng.choice(unique)])
            column = next(c for c in reversed(columns)
                          if isinstance(row[c], (str, dict)))
            row[column] = _other(row[column], "~added%d" % j)
            assert counts[key_of(row)] == 0
            copy.insert(rng.randint(0, len(copy)), row)
        out.append((name, copy))
        expected[name] = (2 * n, 2 * n, 0) if not key_columns else (n, n, n)
    return out, expected


def compact_line(row):
    """The stored line of one row, as the module writes it."""
    return json.dumps(row, separators=(",", ":"), ensure_ascii=False,
                      sort_keys=True) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=20260101)
    args = parser.parse_args()
    total = 0
    for name, rows in generate(args.scale, args.seed):
        base = name.split("/")[0]
        assert all(len(r) == COLUMN_COUNTS[base] for r in rows), name
        size = sum(len(compact_line(r).encode()) for r in rows)
        total += size
        print("%-34s %8d rows %12d bytes" % (name, len(rows), size))
    print("%-34s %8s      %12d bytes" % ("total", "", total))


if __name__ == "__main__":
    main()
