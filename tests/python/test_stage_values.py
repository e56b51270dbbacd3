import datetime as dt
import math
import struct

import numpy as np
import pytest

from quillmark import Candidate, Gathered, Scored, Subset

T = dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=dt.timezone.utc)
NAIVE = dt.datetime(2024, 5, 6)


def test_class_surface():
    for cls in (Subset, Candidate, Gathered, Scored):
        assert cls.__module__ == "quillmark._native"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    candidate = Candidate("a", "b", 1.0, 0, "")
    for name in ("corpus", "document_id", "gather_score", "gather_rank", "provenance"):
        with pytest.raises(AttributeError):
            setattr(candidate, name, getattr(candidate, name))


def score_repr(value):
    text = repr(Candidate("c", "d", value, 0, ""))
    return text.split("gather_score=")[1].split(", gather_rank")[0]


@pytest.mark.parametrize(
    "value, text",
    [
        (0.1, "0.1"),
        (2.0, "2"),
        (1e20, "100000000000000000000"),
        (-0.0, "-0"),
        (0.0, "0"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1.5e-7, "0.00000015"),
        (-123.456, "-123.456"),
        (16777216.0, "16777216"),
        (3.4028234663852886e38, "340282350000000000000000000000000000000"),
        (1e-45, "0.000000000000000000000000000000000000000000001"),
    ],
)
def test_score_number_form(value, text):
    assert score_repr(value) == text


def test_score_number_form_is_shortest_round_trip():
    """Random finite float32 values print as NumPy's shortest positional text."""
    bits = np.random.default_rng(7).integers(0, 2**32, 4000, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)
    for value in values[np.isfinite(values)]:
        text = score_repr(float(value))
        assert text == np.format_float_positional(value, unique=True, trim="-")
        assert np.float32(text) == value and "e" not in text


@pytest.mark.parametrize(
    "value",
    [3.4028234663852886e38, 3.4028235677973362e38, 3.4028235677973366e38, 3.5e38, 1e300, -1e300, 1e-50, -1e-50,
     2.0**-149 * 0.5, 2.0**-149 * 0.75],
)
def test_scores_round_to_nearest_float32(value):
    with np.errstate(over="ignore", under="ignore"):
        want = float(np.float32(value))
    assert Candidate("a", "b", value, 0, "").gather_score == want
    assert Scored([value], T).scores == [want]


def test_candidate_values_and_repr():
    c = Candidate("docs", 'say "hi"\n', 0.1, 7, "bm25\\x")
    assert (c.corpus, c.document_id, c.gather_rank, c.provenance) == ("docs", 'say "hi"\n', 7, "bm25\\x")
    assert c.gather_score == struct.unpack("f", struct.pack("f", 0.1))[0] == 0.10000000149011612
    assert repr(c) == (
        'Candidate(corpus="docs", document_id="say \\"hi\\"\\n", gather_score=0.1, gather_rank=7, '
        'provenance="bm25\\\\x")'
    )

    class Floaty:
        def __float__(self):
            return 2.5

    class Indexy:
        def __index__(self):
            return 3

    assert Candidate("a", "b", Floaty(), Indexy(), "").gather_score == 2.5
    assert Candidate("a", "b", Indexy(), 0, "").gather_score == 3.0
    assert Candidate(corpus="a", document_id="b", gather_score=1, gather_rank=2**64 - 1, provenance="").gather_rank == 2**64 - 1


@pytest.mark.parametrize(
    "args, exc",
    [
        ((1, "b", 0.0, 0, ""), TypeError),
        (("a", None, 0.0, 0, ""), TypeError),
        (("a", "b", "0.5", 0, ""), TypeError),
        (("a", "b", 0.0, -1, ""), OverflowError),
        (("a", "b", 0.0, 2**64, ""), OverflowError),
        (("a", "b", 0.0, 1.0, ""), TypeError),
        (("a", "b", 0.0, 0, b"x"), TypeError),
        (("a", "b", 0.0, 0), TypeError),
    ],
)
def test_candidate_rejects(args, exc):
    with pytest.raises(exc):
        Candidate(*args)


def test_gathered():
    cs = [Candidate("a", str(i), i / 3, i, "p") for i in range(3)]
    g = Gathered(iter(cs), T)
    assert g.as_of == T and g.as_of.tzinfo is not None
    first, second = g.candidates, g.candidates
    assert isinstance(first, tuple) and first is not second
    assert [repr(c) for c in first] == [repr(c) for c in cs]
    assert first[0] is not cs[0]
    assert Gathered([], dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)).candidates == ()
    # as_of is converted first: both arguments are bad, the time's error wins.
    with pytest.raises(TypeError, match="naive"):
        Gathered([1], NAIVE)
    with pytest.raises(TypeError, match="Candidate"):
        Gathered([cs[0], 1], T)
    with pytest.raises(TypeError):
        Gathered(5, T)
    with pytest.raises(ValueError):
        Gathered([], dt.datetime(1969, 12, 31, tzinfo=dt.timezone.utc))


def test_scored():
    class Indexy:
        def __index__(self):
            return 4

    s = Scored((x for x in [0.5, None, float("nan"), Indexy(), 0.1]), T)
    scores = s.scores
    assert scores[:2] == [0.5, None] and math.isnan(scores[2]) and scores[3] == 4.0
    assert scores[4] == 0.10000000149011612
    assert s.scores is not scores and s.as_of == T
    with pytest.raises(TypeError):
        Scored([0.5, "1.0"], T)
    with pytest.raises(TypeError):
        Scored([0.5], NAIVE)
    with pytest.raises(TypeError):
        Scored(None, T)


def test_subset_repr_and_restrictions():
    assert repr(Subset()) == "Subset()"
    s = Subset().including("b", ["1", "2", "2"]).excluding("a", [])
    assert repr(s) == 'Subset("a": all but 0 ids, "b": only 2 ids)'
    assert s.restriction("b") == ("only", frozenset({"1", "2"}))
    assert s.restriction("a") == ("except", frozenset())
    assert s.restriction("c") is None
    assert s.corpora() == ["a", "b"] and s.corpora() is not s.corpora()
    replaced = Subset().including("a", ["x"]).including("a", ["y"])
    assert replaced.restriction("a") == ("only", frozenset({"y"}))
    # Byte-wise corpus order: upper case before lower case before non-ASCII.
    assert Subset().including("é", []).including("b", []).including("Z", []).corpora() == ["Z", "b", "é"]
    assert repr(Subset().including('q"', ["1"])) == 'Subset("q\\"": only 1 ids)'


@pytest.mark.parametrize(
    "subset, corpus, doc, allowed",
    [
        (Subset(), "a", "1", False),
        (Subset().excluding("a", []), "a", "anything", True),
        (Subset().including("a", []), "a", "1", False),
        (Subset().including("a", ["1"]), "a", "1", True),
        (Subset().including("a", ["1"]), "a", "2", False),
        (Subset().including("a", ["1"]), "b", "1", False),
        (Subset().excluding("a", ["1"]), "a", "1", False),
        (Subset().excluding("a", ["1"]), "a", "2", True),
    ],
)
def test_subset_allows(subset, corpus, doc, allowed):
    assert subset.allows(corpus, doc) is allowed
    assert subset.allows(corpus=corpus, id=doc) is allowed


def test_subset_is_immutable_and_compares_by_value():
    base = Subset().including("a", ["1"])
    derived = base.excluding("b", ["2"])
    assert base.corpora() == ["a"] and derived.corpora() == ["a", "b"]
    one = Subset().including("a", ["1", "2"]).excluding("b", ["3"])
    other = Subset().excluding("b", ["3"]).including("a", ("2", "1", "1"))
    assert one == other and not (one != other)
    assert one != Subset().including("a", ["1", "2"]).including("b", ["3"])
    assert Subset() == Subset()
    assert (one == {"a": ("only", {"1", "2"})}) is False and one != {}
    assert one.__eq__({}) is NotImplemented and one.__lt__(other) is NotImplemented
    with pytest.raises(TypeError):
        one < other
    with pytest.raises(TypeError):
        hash(one)
    with pytest.raises(TypeError):
        {one}


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: Subset().including("a", "abc"), TypeError, "expected an iterable of document IDs, not a single string"),
        (lambda: Subset().excluding("a", "abc"), TypeError, "expected an iterable of document IDs, not a single string"),
        (lambda: Subset().including("a", [1, 2]), TypeError, None),
        (lambda: Subset().including("a", 5), TypeError, None),
        (lambda: Subset().including(5, ["1"]), TypeError, None),
        (lambda: Subset().allows("a", 1), TypeError, None),
        (lambda: Subset().restriction(None), TypeError, None),
        (lambda: Subset("a"), TypeError, None),
    ],
)
def test_subset_rejects(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    if text is not None:
        assert str(info.value) == text
