"""A small but realistic sample snapshot: every member, keyed members for two owners."""

import json
import os
from typing import Any, Union

from . import _native

Row = list[Any]
PathArg = Union[str, "os.PathLike[str]"]

OWNERS = ("APP", "HR")
_DDL_TIME = "2026-11-30T08:15:00"

_PACKAGE_SOURCE = """CREATE OR REPLACE PACKAGE BODY {owner}.billing AS
  -- Totals per customer; café and Straße test the non-ASCII path.
  FUNCTION total(p_customer IN NUMBER) RETURN NUMBER IS
\tv_total NUMBER := 0;
  BEGIN
    SELECT SUM(amount) INTO v_total FROM invoices WHERE customer_id = p_customer;
    RETURN NVL(v_total, 0);
  END total;

  PROCEDURE log(p_text IN VARCHAR2) IS
  BEGIN
    INSERT INTO audit_log (text, at) VALUES ('"' || p_text || '"', SYSDATE);
  END log;
END billing;
"""


def _objects(owner: str, start: int) -> list[Row]:
    names = [("CUSTOMERS", "TABLE"), ("INVOICES", "TABLE"), ("BILLING", "PACKAGE"),
             ("BILLING", "PACKAGE BODY"), ("INVOICES_BI", "TRIGGER"), ("V_TOTALS", "VIEW")]
    return [[start + i, owner, name, kind, "VALID", "N", _DDL_TIME] for i, (name, kind) in enumerate(names)]


def _columns(owner: str) -> list[Row]:
    return [
        [owner, "CUSTOMERS", "ID", 1, "NUMBER", "N", 0, 10, 0],
        [owner, "CUSTOMERS", "NAME", 2, "VARCHAR2", "N", 200, None, None],
        [owner, "INVOICES", "ID", 1, "NUMBER", "N", 0, 10, 0],
        [owner, "INVOICES", "CUSTOMER_ID", 2, "NUMBER", "N", 0, 10, 0],
        [owner, "INVOICES", "AMOUNT", 3, "NUMBER", "Y", 0, 12, 2],
    ]


def _plscope_identifiers(owner: str) -> list[Row]:
    return [
        ["BILLING", "PACKAGE BODY", i, max(i - 1, 0), name, f"{owner}:{i:032X}", kind, usage, 3 + i, 5]
        for i, (name, kind, usage) in enumerate(
            [("BILLING", "PACKAGE", "DEFINITION"), ("TOTAL", "FUNCTION", "DEFINITION"),
             ("P_CUSTOMER", "FORMAL IN", "DECLARATION"), ("V_TOTAL", "VARIABLE", "DECLARATION"),
             ("LOG", "PROCEDURE", "DEFINITION")], start=1)
    ]


def _plscope_statements(owner: str) -> list[Row]:
    return [
        ["BILLING", "PACKAGE BODY", 7, 2, f"{owner}:S1", "SELECT", "4xk9m2p1q8r7s", 6, 5,
         "YES", "NO", "YES", "SELECT SUM(AMOUNT) FROM INVOICES WHERE CUSTOMER_ID = :B1"],
        ["BILLING", "PACKAGE BODY", 12, 5, f"{owner}:S2", "INSERT", "7hb2c9d0e1f3g", 12, 5,
         "NO", "NO", "YES", "INSERT INTO AUDIT_LOG (TEXT, AT) VALUES ('\"' || :B1 || '\"', SYSDATE)"],
    ]


def sample_members() -> dict[str, list[Row]]:
    """The sample's rows per member name, in the order they are written."""
    data: dict[str, list[Row]] = {}
    data["objects"] = [row for i, owner in enumerate(OWNERS) for row in _objects(owner, 1000 * (i + 1))]
    data["columns"] = [row for owner in OWNERS for row in _columns(owner)]
    data["constraints"] = [
        [owner, f"{table}_PK", "P", table, ["ID"], None, None, None, "ENABLED"]
        for owner in OWNERS for table in ("CUSTOMERS", "INVOICES")
    ] + [["APP", "INVOICES_FK", "R", "INVOICES", ["CUSTOMER_ID"], "APP", "CUSTOMERS", ["ID"], "ENABLED"]]
    data["type_attrs"] = [["APP", "ADDRESS_T", "STREET", 1, "VARCHAR2"], ["APP", "ADDRESS_T", "CITY", 2, "VARCHAR2"]]
    data["synonyms"] = [["HR", "CUSTOMERS", "APP", "CUSTOMERS", None], ["PUBLIC", "BILLING", "APP", "BILLING", None]]
    data["dependencies"] = [
        ["APP", "BILLING", "PACKAGE BODY", "APP", "INVOICES", "TABLE", None, "HARD"],
        ["APP", "V_TOTALS", "VIEW", "APP", "CUSTOMERS", "TABLE", None, "HARD"],
    ]
    data["triggers"] = [["APP", "INVOICES_BI", "APP", "INVOICES", "INSERT", "REFERENCING NEW AS NEW OLD AS OLD"]]
    data["comments"] = [
        ["APP", "CUSTOMERS", None, "Kunden und Rechnungsempfänger"],
        ["APP", "INVOICES", "AMOUNT", "Amount in EUR, 2 decimals"],
    ]
    data["plscope_declarations"] = [
        [owner, "BILLING", "PACKAGE BODY", 2, 1, "TOTAL", f"{owner}:F1", "FUNCTION", "DECLARATION"]
        for owner in OWNERS
    ]
    data["external_objects"] = [[9001, "REMOTE", "ORDERS", "TABLE", "VALID", "N", _DDL_TIME]]
    data["external_columns"] = [["REMOTE", "ORDERS", "ID", 1, "NUMBER", "N", 0, 10, 0]]
    data["external_synonyms"] = [["APP", "ORDERS", "REMOTE", "ORDERS", "REMOTE_DB"]]
    data["scheduler"] = [
        ["JOB", "APP", "NIGHTLY_TOTALS",
         {"repeat_interval": "FREQ=DAILY;BYHOUR=2", "enabled": True, "action": "APP.BILLING.LOG('run')",
          "max_runs": None, "window": {"start": "02:00", "minutes": 90}}],
    ]
    data["external_tables"] = [["APP", "EXT_RATES", {"type": "ORACLE_LOADER", "location": ["rates.csv"], "reject_limit": 0}]]
    data["units"] = [
        [owner, "BILLING", "PACKAGE BODY", _PACKAGE_SOURCE.format(owner=owner)] for owner in OWNERS
    ]
    for owner in OWNERS:
        data[f"plscope_identifiers/{owner}"] = _plscope_identifiers(owner)
        data[f"plscope_statements/{owner}"] = _plscope_statements(owner)
        data[f"control_rows/{owner}"] = [[{"table": "INVOICES", "count": 1250 if owner == "APP" else 0}]]
    data["runtime_sql"] = [
        ["4xk9m2p1q8r7s", 0, "APP", 3, 41, 6, 152340, "2026-12-01T10:00:00", "SELECT SUM(AMOUNT) FROM INVOICES WHERE CUSTOMER_ID = :B1"],
    ]
    return data


def write_sample(path: PathArg) -> dict[str, Any]:
    """Writes the sample snapshot to path; returns its manifest."""
    writer = _native.Writer(path)
    for name, rows in sample_members().items():
        writer.begin(name)
        writer.rows(json.dumps(rows, ensure_ascii=False))
        writer.end()
    header = {"source": "demo", "database": "ORCL", "taken_at": "2026-12-01T10:00:00Z", "owners": list(OWNERS)}
    manifest: dict[str, Any] = json.loads(writer.finish(json.dumps(header)))
    return manifest
