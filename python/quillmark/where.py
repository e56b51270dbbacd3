"""Metadata filters (``where`` mappings) compiled to SQLite expressions.

A document's metadata is a JSON object stored as text in a column named
``metadata``. A ``where`` mapping is one of::

    {"field": value}                       # equality, same as {"$eq": value}
    {"field": {"$eq" | "$ne" | "$gt" | "$gte" | "$lt" | "$lte": value}}
    {"field": {"$in" | "$nin": [value, ...]}}
    {"$and": [where, ...]}   {"$or": [where, ...]}

Several keys in one mapping (or several operators for one field) are ANDed.
Field names are top-level keys taken literally: "a.b" is the key "a.b", not a
path. Values are JSON scalars: str, int (64-bit), finite float, bool.

Semantics:
* A value matches only a stored value of the same JSON kind: numbers (int
  and float alike) compare with numbers, strings with strings (by code
  point), booleans with booleans. ``True`` is never the number 1.
* ``$gt``/``$gte``/``$lt``/``$lte`` refuse booleans: they have no order.
* ``None`` is refused everywhere; a stored JSON null equals no value.
* Strings holding U+0000 are refused: SQLite reads a JSON string only up to
  its first NUL, so a stored "a\\u0000b" is seen (and matched) as "a".
* A document lacking the field matches no ``$eq``, ordering or ``$in``
  condition. ``$ne`` is exactly ``not $eq`` and ``$nin`` exactly ``not $in``,
  so a missing field, or one of another kind, matches them.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

__all__ = ["compile_where"]

_COMPARE = {"$eq": "=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}
_OPERATORS = ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin")
_LOGICAL = ("$and", "$or")
_INT64 = (-(2**63), 2**63 - 1)


def compile_where(where: Mapping) -> tuple[str, list]:
    """Validate ``where``; return an SQL boolean expression and its parameters.

    The expression refers to a column ``metadata`` and uses ``?`` placeholders
    only: no field name or value ever becomes SQL text. Raises ``TypeError``
    or ``ValueError`` naming the offending part of ``where``.
    """
    params: list = []
    return _where(where, "where", params), params


def _where(where, at: str, params: list) -> str:
    if not isinstance(where, Mapping):
        raise TypeError(f"{at}: expected a mapping, got {type(where).__name__}")
    if not where:
        raise ValueError(f"{at}: empty mapping (pass no filter instead)")
    terms = []
    for key, spec in where.items():
        here = f"{at}[{key!r}]"
        if isinstance(key, str) and key in _LOGICAL:
            if not isinstance(spec, (list, tuple)) or not spec:
                raise ValueError(f"{here}: expected a non-empty list of where mappings, got {spec!r}")
            parts = [_where(w, f"{here}[{i}]", params) for i, w in enumerate(spec)]
            terms.append("(" + (" AND " if key == "$and" else " OR ").join(parts) + ")")
        elif not isinstance(key, str):
            raise TypeError(f"{at}: field name must be a str, got {key!r}")
        elif not key:
            raise ValueError(f"{at}: field name must not be empty")
        elif key.startswith("$"):
            raise ValueError(
                f"{at}: unknown logical operator {key!r} (known: {', '.join(_LOGICAL)};"
                " field names may not start with '$')"
            )
        elif isinstance(spec, Mapping):
            if not spec:
                raise ValueError(f"{here}: empty operator mapping")
            for op, value in spec.items():
                terms.append(_condition(key, op, value, f"{here}[{op!r}]", params))
        else:
            terms.append(_condition(key, "$eq", spec, here, params))
    return terms[0] if len(terms) == 1 else "(" + " AND ".join(terms) + ")"


def _condition(field: str, op, value, at: str, params: list) -> str:
    if op not in _OPERATORS:
        raise ValueError(f"{at}: unknown operator {op!r} (known: {', '.join(_OPERATORS)})")
    if op in ("$in", "$nin"):
        if not isinstance(value, (list, tuple)) or not value:
            raise ValueError(f"{at}: expected a non-empty list of values, got {value!r}")
        for i, v in enumerate(value):
            _check_scalar(v, f"{at}[{i}]")
        values, sql_op = value, "="
    else:
        _check_scalar(value, at)
        if isinstance(value, bool) and op not in ("$eq", "$ne"):
            raise ValueError(f"{at}: booleans have no order; use $eq or $ne")
        values, sql_op = [value], _COMPARE.get(op, "=")
    # The field is found through json_each, which yields decoded keys: a
    # JSON-path lookup compares the key's escaped text, so it would miss keys
    # stored with escapes (non-ASCII under json.dumps, quotes, backslashes).
    params.append(field)
    matches = " OR ".join(_match(v, sql_op, params) for v in values)
    exists = f"EXISTS (SELECT 1 FROM json_each(metadata) AS _j WHERE _j.key = ? AND ({matches}))"
    return f"(NOT {exists})" if op in ("$ne", "$nin") else exists


def _match(value, sql_op: str, params: list) -> str:
    # The type test keeps SQLite from ordering mixed kinds (numbers before
    # text) and keeps JSON true, whose value column reads 1, from equalling 1.
    if isinstance(value, bool):
        return "_j.type = 'true'" if value else "_j.type = 'false'"
    params.append(value)
    if isinstance(value, str):
        return f"(_j.type = 'text' AND _j.value {sql_op} ?)"
    return f"(_j.type IN ('integer', 'real') AND _j.value {sql_op} ?)"


def _check_scalar(value, at: str) -> None:
    if value is None:
        raise ValueError(f"{at}: null is not a supported value")
    if isinstance(value, bool):
        return
    if isinstance(value, int):
        if not _INT64[0] <= value <= _INT64[1]:
            raise ValueError(f"{at}: integer {value} does not fit in 64 bits")
    elif isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{at}: number must be finite, got {value!r}")
    elif isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{at}: string is not valid Unicode text (lone surrogate)") from None
        if "\0" in value:
            raise ValueError(f"{at}: string holds U+0000, which SQLite's JSON reading cuts at")
    else:
        raise TypeError(
            f"{at}: expected a str, int, float or bool value, got {type(value).__name__}"
        )
