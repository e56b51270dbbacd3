"""compile_where against a pure-Python evaluator, on SQLite itself."""

import json
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillmark.where import compile_where


def _kind(v):
    if isinstance(v, bool):
        return "bool"
    return "num" if isinstance(v, (int, float)) else "str" if isinstance(v, str) else None


def _field(md, key, op, v):
    if op == "$ne":
        return not _field(md, key, "$eq", v)
    if op == "$nin":
        return not _field(md, key, "$in", v)
    if op == "$in":
        return any(_field(md, key, "$eq", x) for x in v)
    if key not in md or _kind(md[key]) != _kind(v):
        return False
    s = md[key]
    return {"$eq": s == v, "$gt": s > v, "$gte": s >= v, "$lt": s < v, "$lte": s <= v}[op]


def matches(where, md):
    """The reference meaning of a where mapping on one metadata dict."""
    for key, spec in where.items():
        if key in ("$and", "$or"):
            ok = (all if key == "$and" else any)(matches(w, md) for w in spec)
        elif isinstance(spec, dict):
            ok = all(_field(md, key, op, v) for op, v in spec.items())
        else:
            ok = _field(md, key, "$eq", spec)
        if not ok:
            return False
    return True


def select(docs, where):
    sql, params = compile_where(where)
    con = sqlite3.connect(":memory:")
    con.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, metadata TEXT)")
    con.executemany("INSERT INTO t VALUES (?, ?)", [(i, json.dumps(d)) for i, d in enumerate(docs)])
    return sorted(r[0] for r in con.execute(f"SELECT id FROM t WHERE {sql}", params))


KEYS = st.sampled_from(["a", "é", 'q"t', "a.b"])
# A small pool, so that stored and queried values often coincide; it holds
# int/float pairs at the edge of float precision and strings whose code point
# order differs from their UTF-16 order ("\ufb01" < "\U0001f600").
POOL = [-1, 0, 1, 2, 1.0, -0.0, -0.5, 2.5, 0.1, 1e300, -2**63, 2**53 + 1, float(2**53),
        "", "1", "a", "b", "ab", "é", "É", "\ufb01", "\U0001f600", "'", 'q"', "\\"]
ORDERED = st.sampled_from(POOL)
STORED = st.one_of(ORDERED, st.booleans(), st.sampled_from([None, [1], {"a": 1}]))


def _ops(names, values, most=1):
    return st.dictionaries(st.sampled_from(names), values, min_size=1, max_size=most)


def wheres(depth, ordered):
    scalars = st.one_of(ordered, st.booleans())
    condition = st.one_of(
        scalars,
        _ops(["$eq", "$ne"], scalars),
        _ops(["$gt", "$gte", "$lt", "$lte"], ordered, most=2),
        _ops(["$in", "$nin"], st.lists(scalars, min_size=1, max_size=4)),
    )
    leaf = st.dictionaries(KEYS, condition, min_size=1, max_size=2)
    if depth == 0:
        return leaf
    children = st.lists(wheres(depth - 1, ordered), min_size=1, max_size=3)
    logical = st.builds(lambda op, ws: {op: ws}, st.sampled_from(["$and", "$or"]), children)
    return st.one_of(leaf, logical)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.dictionaries(KEYS, STORED, min_size=1), min_size=4, max_size=12), st.data())
def test_sqlite_agrees_with_reference(docs, data):
    # Half the values come from those stored, so that conditions often hit.
    stored = [v for d in docs for v in d.values() if type(v) in (int, float, str)]
    ordered = st.one_of(st.sampled_from(stored), ORDERED) if stored else ORDERED
    where = data.draw(wheres(3, ordered), label="where")
    assert select(docs, where) == [i for i, d in enumerate(docs) if matches(where, d)]


DOCS = [{"n": 1}, {"n": True}, {"n": "1"}, {"n": 1.0}, {"n": False}, {"n": 0}, {}, {"n": None}]


@pytest.mark.parametrize("where, expected", [
    ({"n": 1}, [0, 3]),                      # 1 == 1.0; true is not 1, "1" is text
    ({"n": True}, [1]),
    ({"n": {"$eq": False}}, [4]),            # false is not 0
    ({"n": {"$ne": 1}}, [1, 2, 4, 5, 6, 7]),  # missing and other kinds match $ne
    ({"n": {"$gt": 0}}, [0, 3]),             # no string or boolean ordered among numbers
    ({"n": {"$gte": 1, "$lte": 1.0}}, [0, 3]),
    ({"n": {"$lte": 0}}, [5]),
    ({"n": {"$lt": "2"}}, [2]),
    ({"n": {"$nin": [1, True]}}, [2, 4, 5, 6, 7]),
    ({"$or": [{"n": "1"}, {"n": 0}], "n": {"$gte": 0}}, [5]),
])
def test_kinds_and_missing_fields(where, expected):
    assert select(DOCS, where) == expected


@pytest.mark.parametrize("key", ['a"\') OR 1=1 --', "'; DROP TABLE t; --", ".x", "a[0]", "\\", "a.b"])
def test_field_names_are_literal_keys(key):
    sql, params = compile_where({key: {"$in": ["') OR 1=1 --"]}})
    assert key not in sql and "OR 1=1" not in sql
    docs = [{key: "') OR 1=1 --"}, {key: "x"}, {"a": {"b": "') OR 1=1 --"}, "x": "') OR 1=1 --"}]
    assert select(docs, {key: "') OR 1=1 --"}) == [0]


@pytest.mark.parametrize("where, exc, message", [
    ([("a", 1)], TypeError, "where: expected a mapping, got list"),
    ({}, ValueError, "where: empty mapping"),
    ({"a": {"$like": "x"}}, ValueError, "where['a']['$like']: unknown operator '$like' (known: $eq, $ne,"),
    ({"$not": [{"a": 1}]}, ValueError, "where: unknown logical operator '$not'"),
    ({"$.x": 1}, ValueError, "unknown logical operator '$.x' (known: $and, $or; field names may not"),
    ({"$and": []}, ValueError, "where['$and']: expected a non-empty list"),
    ({"$or": {"a": 1}}, ValueError, "where['$or']: expected a non-empty list"),
    ({"$or": [{"a": 1}, 3]}, TypeError, "where['$or'][1]: expected a mapping, got int"),
    ({"a": {"$in": 1}}, ValueError, "where['a']['$in']: expected a non-empty list"),
    ({"a": {"$nin": []}}, ValueError, "where['a']['$nin']: expected a non-empty list"),
    ({"a": {"$in": [1, [2]]}}, TypeError, "where['a']['$in'][1]: expected a str, int, float or bool value, got list"),
    ({"a": {}}, ValueError, "where['a']: empty operator mapping"),
    ({"a": {"$gt": True}}, ValueError, "booleans have no order"),
    ({"a": None}, ValueError, "where['a']: null is not a supported value"),
    ({"a": float("nan")}, ValueError, "must be finite"),
    ({"a": {"$lte": float("-inf")}}, ValueError, "must be finite"),
    ({"a": 2**63}, ValueError, "does not fit in 64 bits"),
    ({"a": "\ud800"}, ValueError, "lone surrogate"),
    ({"a": {"$in": ["ok", "a\0b"]}}, ValueError, "where['a']['$in'][1]: string holds U+0000"),
    ({"": 1}, ValueError, "where: field name must not be empty"),
    ({"$or": [{3: 1}]}, TypeError, "where['$or'][0]: field name must be a str, got 3"),
])
def test_invalid_where_is_refused(where, exc, message):
    with pytest.raises(exc) as info:
        compile_where(where)
    assert message in str(info.value)
