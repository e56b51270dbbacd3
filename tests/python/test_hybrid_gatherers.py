"""BM25Gatherer against the BM25 formula, its saved form, and FusionGatherer's reciprocal-rank fusion."""

import datetime as dt
import math
import re
import sys
from collections import Counter

import numpy as np
import pytest

from quillmark import (BM25Gatherer, Candidate, Feature, FusionGatherer, Gathered, MaxSimReranker, Query,
                       SearchPipeline, StoreGatherer, Subset, VectorStore, VectorStoreWriter)
from quillmark.encoders import MissingModelError
from quillmark.representation import Representation

T1 = dt.datetime(2025, 1, 1, tzinfo=dt.timezone.utc)
T2 = dt.datetime(2025, 6, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))
R1, R2 = Representation("enc", "r1", 8, True), Representation("enc", "r2", 8, True)
# "b"/"a" and "é"/"Z" hold the same text (exact ties); insertion order is not UTF-8 order.
IDS = ["b", "a", "é", "Z", "ab", "\U0001f600"]
TEXTS = ["The cat and the dog", "the dog and THE cat", "cat cat fish", "cat cat fish", "a bird of prey", "dog fish fish fish"]


def reference(query, allowed=lambda d: True):
    """Lucene BM25 (k1 1.5, b 0.75) by its formula, in float64; best first, ties by UTF-8 id."""
    def words(text):
        return [w for w in re.findall(r"\b\w\w+\b", text.lower()) if w not in {"the", "and", "of"}]
    docs = {d: Counter(words(t)) for d, t in zip(IDS, TEXTS)}
    avg = sum(sum(c.values()) for c in docs.values()) / len(docs)
    scores = {}
    for d, tf in docs.items():
        norm = 1.5 * (0.25 + 0.75 * sum(tf.values()) / avg)
        df = lambda w: sum(w in c for c in docs.values())  # noqa: E731
        scores[d] = sum(math.log(1 + (6 - df(w) + 0.5) / (df(w) + 0.5)) * tf[w] / (tf[w] + norm)
                        for w in words(query) if tf[w])
    return sorted(((d, s) for d, s in scores.items() if s > 0 and allowed(d)), key=lambda x: (-x[1], x[0].encode()))


@pytest.fixture(scope="module")
def bm25():
    return BM25Gatherer("docs", IDS, TEXTS)


@pytest.mark.parametrize("text, limit, subset, allowed", [
    ("cat", 10, None, None),  # more wanted than match: "ab" and the emoji score 0 and are left out
    ("cat", 1, None, None),  # the cut falls inside the tie of "Z" and "é"
    ("dog fish zebra", 3, None, None),
    ("cat cat dog", 10, None, None),  # a repeated word counts twice
    ("dog", 10, Subset().including("docs", ["a", "\U0001f600", "absent"]), {"a", "\U0001f600"}),
    ("dog cat", 4, Subset().excluding("docs", ["a", "Z"]), set(IDS) - {"a", "Z"}),
    ("cat", 10, Subset().including("other", IDS), set()),
    ("the zebra", 10, None, None),  # no word the corpus holds
])
def test_bm25_is_the_exact_top_k_of_the_formula(bm25, text, limit, subset, allowed):
    got = bm25.gather(Query(text), limit, subset=subset)
    want = reference(text, lambda d: allowed is None or d in allowed)[:limit]
    assert [c.document_id for c in got.candidates] == [d for d, _ in want]
    np.testing.assert_allclose([c.gather_score for c in got.candidates], [s for _, s in want], rtol=1e-6)
    assert [c.gather_rank for c in got.candidates] == list(range(len(want)))
    assert all(c.corpus == "docs" for c in got.candidates) and got.as_of == bm25.as_of


def test_bm25_save_and_load(tmp_path, bm25):
    given = BM25Gatherer("docs", IDS, TEXTS, as_of=T2)
    given.save(tmp_path / "new")
    (tmp_path / "g").mkdir()
    given.save(tmp_path / "g")  # an empty directory is replaced
    loaded = BM25Gatherer.load(tmp_path / "g")
    assert (loaded.as_of, loaded.corpus, loaded.document_ids) == (T2, "docs", IDS)
    for text in ("cat", "dog fish", "cat cat bird prey", "zebra"):
        def result(g):
            return [(c.document_id, c.gather_score, c.gather_rank) for c in g.gather(Query(text), 4).candidates]
        assert result(loaded) == result(given) == result(bm25)
    with pytest.raises(FileExistsError):
        given.save(tmp_path / "g")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["g", "new"]  # no staging left behind
    with pytest.raises(FileNotFoundError, match="missing"):
        BM25Gatherer.load(tmp_path / "missing")
    data = next((tmp_path / "g" / "bm25s").glob("data*.npy"))
    data.write_bytes(data.read_bytes()[:20])
    (tmp_path / "junk").mkdir()
    (tmp_path / "junk" / "gatherer.json").write_text("{not json")
    BM25Gatherer("docs", IDS, ["xx yy"] * 6).save(tmp_path / "other")
    theirs = next((tmp_path / "other" / "bm25s").glob("indptr*"))  # a valid file of another index
    theirs.replace(tmp_path / "new" / "bm25s" / theirs.name)
    with pytest.raises(ValueError, match="do not fit"):
        BM25Gatherer.load(tmp_path / "new")
    for damaged in ("g", "junk", "new/bm25s"):
        with pytest.raises(ValueError, match=re.escape(str(tmp_path / damaged))):
            BM25Gatherer.load(tmp_path / damaged)


@pytest.mark.parametrize("ids, texts, kwargs, error", [
    (["a", "a"], ["x y", "y z"], {}, ValueError),
    (["a", "b"], ["x y"], {}, ValueError),
    (["a"], [b"bytes"], {}, TypeError),
    (["a"], ["  \n"], {}, ValueError),
    ([1], ["x y"], {}, TypeError),
    (["a"], ["x y"], {"as_of": dt.datetime(2025, 1, 1)}, ValueError),
])
def test_bm25_bad_input(ids, texts, kwargs, error):
    with pytest.raises(error):
        BM25Gatherer("docs", ids, texts, **kwargs)


def test_bm25_without_bm25s_names_the_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "bm25s", None)
    with pytest.raises(MissingModelError, match="pip install bm25s"):
        BM25Gatherer("docs", ["a"], ["x y"])


class Fixed:
    """A gatherer returning a fixed list of (corpus, id), recording its calls."""

    score_semantics = "fixed"

    def __init__(self, keys, *, as_of=T1, requires=None, corpus="docs", raises=None):
        self.keys = [k if isinstance(k, tuple) else (corpus, k) for k in keys]
        self.as_of, self.requires, self.raises, self.calls = as_of, requires or {}, raises, []

    def gather(self, query, limit, *, subset=None):
        self.calls.append((query.text, limit, subset))
        if self.raises:
            raise self.raises
        return Gathered([Candidate(c, d, 0.0, i, "f") for i, (c, d) in enumerate(self.keys[:limit])], self.as_of)


def fused(parts, limit=20, **kwargs):
    return FusionGatherer(parts, **kwargs).gather(Query("q"), limit).candidates


def test_fused_scores_weights_and_corpora():
    x, y = Fixed([("x", "d1"), ("x", "d2"), ("x", "d3")]), Fixed([("y", "d1"), ("x", "d2"), ("x", "d1")])
    got = fused([x, y, Fixed([("y", "d1")])], k=10, weights=[1, 2, 0.5])
    want = {("x", "d2"): 1 / 12 + 2 / 12, ("y", "d1"): 2 / 11 + 0.5 / 11, ("x", "d1"): 1 / 11 + 2 / 13,
            ("x", "d3"): 1 / 13}
    assert [(c.corpus, c.document_id) for c in got] == sorted(want, key=lambda key: -want[key])
    assert [c.gather_score for c in got] == [float(np.float32(want[(c.corpus, c.document_id)])) for c in got]
    assert [c.gather_rank for c in got] == [0, 1, 2, 3]


@pytest.mark.parametrize("parts, kwargs, order", [
    # Equal scores, equal best rank: the first gatherer's document first.
    ([["a", "b"], ["c", "d"]], {}, "a c b d"),
    # Equal scores (2/(1+3) == 1/(1+1), ...): the better best rank first, whatever the gatherer.
    ([["v0", "v1", "v2", "v3", "v4", "v5", "v"], ["u0", "u1", "u"]], {"k": 1, "weights": (2, 1)},
     "v0 v1 u0 v2 v3 u1 v4 v5 u v"),
    # x has its best rank in gatherers 0 and 2, y in 1: the first of x's counts.
    ([["x"], ["y"], ["x"]], {"weights": (1, 2, 1)}, "x y"),
])
def test_fusion_ties(parts, kwargs, order):
    assert [c.document_id for c in fused([Fixed(p) for p in parts], **kwargs)] == order.split()


def test_fusion_passes_the_search_on_and_keeps_the_earliest_as_of_and_every_requirement():
    early = Fixed(["a", "b", "c"], as_of=T1, requires={"a": R1})
    late = Fixed(["c", "d"], as_of=T2, requires={"b": R2, "a": R1})
    fusion = FusionGatherer(p for p in (late, early))
    assert fusion.requires == {"a": R1, "b": R2}
    subset = Subset().excluding("docs", ["z"])
    got = fusion.gather(Query("text"), 2, subset=subset)
    assert [c.document_id for c in got.candidates] == ["c", "a"] and got.as_of == T1 == fusion.as_of
    assert all(call[:2] == ("text", 2) and call[2] is subset for call in early.calls + late.calls)
    failure = KeyError("part failed")
    with pytest.raises(KeyError) as raised:
        fused([early, Fixed([], raises=failure)])
    assert raised.value is failure


@pytest.mark.parametrize("keys, first_rank, subset", [
    (["a", "b", "c"], 0, None),  # more than the 2 requested
    (["a", "b"], 1, None),
    (["a", "a"], 0, None),
    (["a", "b"], 0, Subset().including("docs", ["a"])),
])
def test_a_part_breaking_the_contract_fails_the_gather(keys, first_rank, subset):
    part = Fixed(keys)
    part.gather = lambda query, limit, *, subset=None: Gathered(
        [Candidate(c, d, 0.0, i, "f") for i, (c, d) in enumerate(part.keys, first_rank)], T1)
    with pytest.raises(ValueError, match=r"gatherers\[1\]"):
        FusionGatherer([Fixed(["a"]), part]).gather(Query("q"), 2, subset=subset)


@pytest.mark.parametrize("gatherers, kwargs, error, name", [
    ([], {}, ValueError, "gatherers"),
    ([Fixed([]), object()], {}, TypeError, r"gatherers\[1\]"),
    ([Fixed([])], {"k": 0}, ValueError, r"\bk\b"),
    ([Fixed([])], {"k": float("nan")}, ValueError, r"\bk\b"),
    ([Fixed([])], {"k": "60"}, TypeError, r"\bk\b"),
    ([Fixed([])], {"weights": [1, 1]}, ValueError, "weights"),
    ([Fixed([]), Fixed([])], {"weights": [1, -0.5]}, ValueError, "weights"),
    ([Fixed([])], {"weights": [float("nan")]}, ValueError, "weights"),
    ([Fixed([], requires={"a": R1}), Fixed([], requires={"a": R2})], {}, ValueError, "'a'"),
])
def test_fusion_bad_arguments(gatherers, kwargs, error, name):
    with pytest.raises(error, match=name):
        FusionGatherer(gatherers, **kwargs)


def test_pipeline_searches_bm25_fused_with_a_store(tmp_path, bm25):
    rng = np.random.default_rng(3)
    tokens = {d: m / np.linalg.norm(m, axis=1, keepdims=True) for d, m in zip(IDS, rng.standard_normal((6, 3, 8), np.float32))}
    with VectorStoreWriter.create(tmp_path / "s", "docs", R1) as writer:
        writer.append(IDS, np.concatenate([tokens[d] for d in IDS]), [3] * len(IDS))
        writer.commit()
    store = VectorStore(tmp_path / "s")
    fusion = FusionGatherer([bm25, StoreGatherer(store)])
    q = tokens["ab"] + 0.1
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    query = Query("dog fish", multi_vector=Feature(R1, q))
    result = SearchPipeline(fusion, MaxSimReranker([store])).search(query, gather_limit=4, limit=3)
    direct = [(c.document_id, c.gather_rank) for c in fusion.gather(query, 4).candidates]
    assert [(c.document_id, c.gather_rank) for c in result.candidates] == direct and len(direct) == 4
    maxsim = {d: float((tokens[d] @ q.T).max(axis=0).sum()) for d, _ in direct}
    assert [d.document_id for d in result.documents] == sorted(maxsim, key=lambda d: -maxsim[d])[:3]
    assert result.diagnostics["gatherer"] == "FusionGatherer"
