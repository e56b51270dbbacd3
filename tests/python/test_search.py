import datetime as dt
import gc
import os
import sys
import threading
import traceback
import weakref

import numpy as np
import pytest

import quillmark
from quillmark import (
    Candidate,
    Feature,
    Gathered,
    MaxSimReranker,
    Query,
    RankedDocument,
    ResourceBudget,
    Scored,
    SearchPipeline,
    SearchResult,
    SearchTimings,
    Subset,
    VectorStore,
    _native,
)
from quillmark.representation import Representation

from store_builder import StoreBuilder, random_documents

T1 = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
T2 = dt.datetime(2024, 6, 1, tzinfo=dt.timezone.utc)
REP = Representation(encoder="enc", encoder_revision="r1", dimension=4, normalized=False)


class Gatherer:
    """Returns `results` (a list of Candidates, or a callable of the call)."""

    requires = {}
    score_semantics = "bm25"

    def __init__(self, results=(), as_of=T1):
        self.results = results
        self.as_of = as_of
        self.calls = []

    def gather(self, query, limit, *, subset):
        self.calls.append((query, limit, subset))
        results = self.results(query, limit, subset) if callable(self.results) else self.results
        return Gathered(results, self.as_of)


class Rescorer:
    requires = {}
    score_semantics = "python-scale"

    def __init__(self, scores, as_of=T2):
        self.scores = scores
        self.as_of = as_of
        self.calls = []

    def rerank(self, query, candidates, *, budget):
        self.calls.append((query, candidates, budget))
        scores = self.scores(candidates) if callable(self.scores) else self.scores
        return Scored(scores, self.as_of)


def cands(*items, corpus="c"):
    """Candidates with ranks 0, 1, ...: items are ids or (corpus, id, score)."""
    out = []
    for rank, item in enumerate(items):
        c, doc, score = item if isinstance(item, tuple) else (corpus, item, float(-rank))
        out.append(Candidate(c, doc, score, rank, f"p{rank}"))
    return out


def test_class_surface():
    for cls in (SearchPipeline, SearchResult, SearchTimings, RankedDocument):
        assert cls.__module__ == "quillmark._native"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    for cls in (SearchResult, SearchTimings, RankedDocument):
        with pytest.raises(TypeError):
            cls()
    assert isinstance(Gatherer(), quillmark.CandidateGenerator)
    assert isinstance(Rescorer([]), quillmark.Reranker)


class NoRequires:
    score_semantics = "s"


class ListRequires:
    requires = ["x"]
    score_semantics = "s"


class BadRequirement:
    requires = {1: REP}
    score_semantics = "s"


class BadRepresentation:
    requires = {"f": object()}
    score_semantics = "s"


class NoSemantics:
    requires = {}


class BytesSemantics:
    requires = {}
    score_semantics = b"s"


@pytest.mark.parametrize(
    "cls, exc",
    [
        (NoRequires, AttributeError),
        (ListRequires, TypeError),
        (BadRequirement, TypeError),
        (BadRepresentation, AttributeError),
        (NoSemantics, AttributeError),
        (BytesSemantics, TypeError),
    ],
)
@pytest.mark.parametrize("role", ["gatherer", "reranker"])
def test_declaration_errors(cls, exc, role):
    with pytest.raises(exc):
        if role == "gatherer":
            SearchPipeline(cls())
        else:
            SearchPipeline(Gatherer(), cls())


@pytest.mark.parametrize(
    "gather_limit, limit, exc, text",
    [
        (0, 0, ValueError, "gather_limit must be positive"),
        (-5, 1, ValueError, "gather_limit must be positive"),
        (5, 0, ValueError, "limit must be positive"),
        (10, 20, ValueError, "limit cannot exceed gather_limit"),
        (1.5, 1, TypeError, None),
        ("3", 1, TypeError, None),
        (2**63, 1, OverflowError, None),
        (3, -(2**63) - 1, OverflowError, None),
    ],
)
def test_limits(gather_limit, limit, exc, text):
    gatherer = Gatherer(cands("a"))
    with pytest.raises(exc) as info:
        SearchPipeline(gatherer).search("q", gather_limit=gather_limit, limit=limit)
    if text is not None:
        assert str(info.value) == text
    assert gatherer.calls == []


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda p: p.search("q", limit=1), "gather_limit"),
        (lambda p: p.search("q", gather_limit=1), "limit"),
        (lambda p: p.search("q", 1, limit=1), None),
        (lambda p: p.search(gather_limit=1, limit=1), None),
        (lambda p: p.search(5, gather_limit=1, limit=1), None),
        (lambda p: p.search("q", gather_limit=1, limit=1, budget={}), None),
        (lambda p: p.search("q", gather_limit=1, limit=1, subset={"c": ["a"]}),
         "subset must be a quillmark.Subset, e.g. Subset().including(corpus, ids)"),
    ],
)
def test_argument_errors(call, text):
    gatherer = Gatherer(cands("a"))
    with pytest.raises(TypeError) as info:
        call(SearchPipeline(gatherer))
    if text is not None:
        assert text in str(info.value)
    assert gatherer.calls == []


@pytest.mark.parametrize(
    "results, subset, text",
    [
        (cands("a", "b", "c", "d"), None, "gatherer returned more candidates than requested"),
        ([Candidate("c", "a", 1.0, 0, ""), Candidate("c", "b", 1.0, 2, "")], None,
         "candidate gather ranks must be contiguous and zero-based"),
        ([Candidate("c", "a", 1.0, 1, "")], None, "candidate gather ranks must be contiguous and zero-based"),
        (cands("1", "2", corpus="a"), Subset().including("a", ["1"]),
         'gatherer returned document "a"/"2", which is outside the subset'),
        (cands(("b", "1", 0.0)), Subset().including("a", ["1"]),
         'gatherer returned document "b"/"1", which is outside the subset'),
        (cands("1"), Subset(), 'gatherer returned document "c"/"1", which is outside the subset'),
        (cands(("c", "x", 1.0), ("c", "x", 2.0)), None, 'gatherer returned document "c"/"x" more than once'),
        (cands(("c", "1", 1.0), ("c", "2", float("nan"))), None, "the score of candidate 1 is NaN"),
    ],
)
def test_gatherer_contract(results, subset, text):
    with pytest.raises(ValueError) as info:
        SearchPipeline(Gatherer(results)).search("q", gather_limit=3, limit=1, subset=subset)
    assert str(info.value) == text


def test_search_without_reranker():
    gatherer = Gatherer(cands(("c", "a", 0.5), ("c", "b", 0.9), ("c", "x", 0.5), ("d", "7", 2.0)))
    pipeline = SearchPipeline(gatherer)
    result = pipeline.search("hello", gather_limit=10, limit=3)
    query, limit, subset = gatherer.calls[0]
    assert isinstance(query, Query) and query.text == "hello" and query.features == {}
    assert limit == 10 and subset is None
    assert [(d.corpus, d.document_id, d.score, d.rank) for d in result.documents] == [
        ("d", "7", 2.0, 1), ("c", "b", 0.8999999761581421, 2), ("c", "a", 0.5, 3)]
    assert repr(result.documents[0]) == 'RankedDocument(corpus="d", document_id="7", score=2, rank=1)'
    assert result.documents is not result.documents and result.documents[0] is not result.documents[0]
    assert [repr(d) for d in result.documents] == [repr(d) for d in result.documents]
    assert [c.document_id for c in result.candidates] == ["a", "b", "x", "7"]
    assert result.scores == [0.5, 0.8999999761581421, 0.5, 2.0]
    assert result.as_of == T1
    assert result.diagnostics == {"candidate_count": 4, "dropped": 0, "gatherer": "Gatherer", "reranker": None,
                                  "score_semantics": "bm25"}
    assert list(result.diagnostics) == ["candidate_count", "dropped", "gatherer", "reranker", "score_semantics"]
    t = result.timings
    assert isinstance(t, SearchTimings)
    assert 0 <= t.gather_seconds <= t.total_seconds and 0 <= t.rerank_seconds <= t.total_seconds
    assert SearchPipeline(Gatherer([])).search("q", gather_limit=1, limit=1, subset=Subset()).documents == ()


def test_search_with_python_reranker():
    gatherer = Gatherer(cands(*[str(i) for i in range(10)]), as_of=T2)
    scores = [None if i in (1, 4, 8) else float(i % 3) for i in range(10)]
    reranker = Rescorer(scores, as_of=T1)
    budget = ResourceBudget(max_batch_tokens=9, max_documents_per_batch=2, threads=1)
    q = Query("q", f=Feature(REP, np.ones((1, 4), np.float32)))
    result = SearchPipeline(gatherer, reranker).search(q, gather_limit=10, limit=10, budget=budget)
    query, given, budget_seen = reranker.calls[0]
    assert query.text == "q" and list(query.features) == ["f"]
    assert query.features["f"].value is q.features["f"].value
    assert isinstance(given, tuple) and [c.document_id for c in given] == [str(i) for i in range(10)]
    assert (budget_seen.max_batch_tokens, budget_seen.max_documents_per_batch, budget_seen.threads) == (9, 2, 1)
    assert result.diagnostics == {"candidate_count": 10, "dropped": 3, "gatherer": "Gatherer",
                                  "reranker": "Rescorer", "score_semantics": "python-scale"}
    # Ties keep gather order; ranks have no gaps.
    assert [d.document_id for d in result.documents] == ["2", "5", "7", "0", "3", "6", "9"]
    assert [d.rank for d in result.documents] == list(range(1, 8))
    assert result.scores == scores and len(result.candidates) == 10
    assert result.as_of == T1


def test_subset_reaches_the_gatherer_only():
    subset = Subset().including("c", ["a", "b"])
    gatherer = Gatherer(cands("a"))
    reranker = Rescorer([1.0])
    result = SearchPipeline(gatherer, reranker).search("q", gather_limit=2, limit=1, subset=subset)
    assert gatherer.calls[0][2] == subset and gatherer.calls[0][2] is not subset
    assert [d.document_id for d in result.documents] == ["a"]


def test_requirements_are_checked_before_gathering():
    class Needs(Gatherer):
        requires = {"multi_vector": REP}

    gatherer = Needs(cands("a"))
    with pytest.raises(quillmark.IncompatibleQueryError, match=r"query has no 'multi_vector' feature; available: \[\]"):
        SearchPipeline(gatherer).search("plain", gather_limit=1, limit=1)

    class NeedsToo(Rescorer):
        requires = {"dense": REP}

    with pytest.raises(quillmark.IncompatibleQueryError, match="'dense'"):
        SearchPipeline(Gatherer(cands("a")), NeedsToo([1.0])).search(
            Query("q", multi_vector=Feature(REP, np.ones((1, 4)))), gather_limit=1, limit=1)
    assert gatherer.calls == []


def test_a_stage_may_search_another_pipeline():
    inner = SearchPipeline(Gatherer(cands("x", "y", corpus="docs")), MaxSimReranker([ArraySource()]))

    class Outer(Gatherer):
        def gather(self, query, limit, *, subset):
            found = inner.search(Query("q", multi_vector=Feature(REP, np.ones((1, 4)))), gather_limit=2, limit=2,
                                 budget=ResourceBudget(threads=2))
            return Gathered(cands(*[d.document_id for d in found.documents]), T1)

    result = SearchPipeline(Outer()).search("q", gather_limit=2, limit=2)
    assert [d.document_id for d in result.documents] == ["x", "y"]


def test_declaration_is_read_once():
    reranker = Rescorer([1.0])
    pipeline = SearchPipeline(Gatherer(cands("a")), reranker)
    reranker.score_semantics = "changed"
    Rescorer.requires = {"missing": REP}
    try:
        result = pipeline.search("q", gather_limit=1, limit=1)
    finally:
        Rescorer.requires = {}
    assert result.diagnostics["score_semantics"] == "python-scale"


class Boom(Exception):
    pass


def raise_error(error):
    raise error


@pytest.mark.parametrize("stage", ["gather", "rerank"])
def test_stage_exceptions_arrive_as_the_same_object(stage):
    error = Boom(stage)
    gatherer = Gatherer(lambda *a: raise_error(error) if stage == "gather" else cands("a"))
    reranker = Rescorer(lambda c: raise_error(error))
    with pytest.raises(Boom) as info:
        SearchPipeline(gatherer, reranker).search("q", gather_limit=1, limit=1)
    assert info.value is error
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert frames[-1] == "raise_error" and stage in frames


@pytest.mark.parametrize(
    "gather, rerank, exc, text",
    [
        (lambda self, q, limit, *, subset: [Candidate("c", "a", 1.0, 0, "")], None, TypeError, "Gathered"),
        (lambda self, q, limit, *, subset: None, None, TypeError, "Gathered"),
        (lambda self, q, limit: Gathered([], T1), None, TypeError, "subset"),
        (None, lambda self, q, c, *, budget: [1.0], TypeError, "Scored"),
        (None, lambda self, q, c, *, budget: Scored([1.0, 2.0], T1), ValueError,
         "2 scores were returned for 1 candidates"),
        (None, lambda self, q, c, *, budget: Scored([], T1), ValueError, "0 scores were returned for 1 candidates"),
        (None, lambda self, q, c, *, budget: Scored([float("nan")], T1), ValueError, "the score of candidate 0 is NaN"),
        (None, lambda self, q, c: Scored([1.0], T1), TypeError, "budget"),
    ],
)
def test_misbehaving_stages(gather, rerank, exc, text):
    gatherer_cls = type("G", (Gatherer,), {"gather": gather} if gather else {})
    reranker_cls = type("R", (Rescorer,), {"rerank": rerank} if rerank else {})
    pipeline = SearchPipeline(gatherer_cls(cands("a")), reranker_cls([1.0]))
    for _ in range(2):
        with pytest.raises(exc, match=text):
            pipeline.search("q", gather_limit=1, limit=1)


def test_methods_are_looked_up_on_every_search():
    class Replaceable:
        requires = {}
        score_semantics = "s"

        def gather(self, query, limit, *, subset):
            return Gathered(cands("a"), T1)

    cls = Replaceable
    gatherer = cls()
    pipeline = SearchPipeline(gatherer)
    assert pipeline.search("q", gather_limit=1, limit=1).documents[0].document_id == "a"
    gatherer.gather = lambda q, limit, *, subset: Gathered(cands("b"), T1)
    assert pipeline.search("q", gather_limit=1, limit=1).documents[0].document_id == "b"
    gatherer.gather = 42
    with pytest.raises(TypeError):
        pipeline.search("q", gather_limit=1, limit=1)
    del gatherer.gather
    assert pipeline.search("q", gather_limit=1, limit=1).documents[0].document_id == "a"
    del cls.gather
    with pytest.raises(AttributeError):
        pipeline.search("q", gather_limit=1, limit=1)


@pytest.fixture
def store_pipeline(tmp_path, rng):
    builder = StoreBuilder(tmp_path / "s", corpus="docs", dimension=4)
    docs = random_documents(rng, 30, 4, max_tokens=5)
    builder.append(docs)
    builder.publish()
    store = VectorStore(builder.path)
    ids = [f"d{i}" for i in range(30)] + ["gone"]
    gatherer = Gatherer(lambda q, limit, subset: cands(*ids[:limit], corpus="docs"))
    return SearchPipeline(gatherer, MaxSimReranker([store])), docs, store


def numpy_ranking(q, docs, ids, limit):
    scores = {i: float((q.astype(np.float64) @ docs[i].T.astype(np.float64)).max(1).sum()) for i in ids if i in docs}
    return sorted(scores, key=lambda i: (-scores[i], ids.index(i)))[:limit], scores


def test_search_with_native_reranker_matches_numpy(store_pipeline, rng):
    pipeline, docs, store = store_pipeline
    q = rng.standard_normal((3, 4)).astype(np.float32)
    query = Query("q", multi_vector=Feature(REP, q))
    result = pipeline.search(query, gather_limit=31, limit=5, budget=ResourceBudget(max_batch_tokens=8, threads=2))
    ids = [f"d{i}" for i in range(30)] + ["gone"]
    want, scores = numpy_ranking(q, docs, ids, 5)
    assert [d.document_id for d in result.documents] == want
    np.testing.assert_allclose([d.score for d in result.documents], [scores[i] for i in want], rtol=1e-5)
    assert result.scores[-1] is None
    assert result.diagnostics == {"candidate_count": 31, "dropped": 1, "gatherer": "Gatherer",
                                  "reranker": "MaxSimReranker", "score_semantics": "float32-exact-full-maxsim"}
    assert result.as_of == min(T1, store.view().as_of)


def test_many_threads_search_one_pipeline(store_pipeline):
    pipeline, docs, _ = store_pipeline
    ids = [f"d{i}" for i in range(30)] + ["gone"]
    errors, outcomes = [], {}

    def worker(seed):
        try:
            r = np.random.default_rng(seed)
            for n in range(15):
                q = r.standard_normal((2, 4)).astype(np.float32)
                budget = ResourceBudget(threads=(None, 1, 2)[n % 3], max_batch_tokens=16)
                result = pipeline.search(Query("q", multi_vector=Feature(REP, q)), gather_limit=31, limit=4,
                                         budget=budget)
                outcomes[(seed, n)] = ([d.document_id for d in result.documents], numpy_ranking(q, docs, ids, 4)[0])
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(outcomes) == 8 * 15
    for got, want in outcomes.values():
        assert got == want


def collected(make):
    """True when the Python stages `make` returns die in a cycle collection
    (the native objects of the cycle hold them, so those died too)."""
    refs = [weakref.ref(o) for o in make()]
    gc.collect()
    return all(r() is None for r in refs)


class ArraySource:
    corpus = "docs"
    representation = REP
    score_semantics = "float32-exact-full-maxsim"
    as_of = T1

    def view(self):
        return self

    def document_lengths(self, ids):
        return {i: 1 for i in ids}

    def fetch(self, ids, *, threads):
        return np.ones((len(ids), 4), np.float32), [1] * len(ids)


def test_cycles_through_stages_are_collected():
    def gatherer_keeps_pipeline():
        gatherer = Gatherer(cands("a"))
        gatherer.pipeline = SearchPipeline(gatherer, Rescorer([1.0]))
        gatherer.pipeline.search("q", gather_limit=1, limit=1)
        return (gatherer,)

    def source_keeps_reranker():
        source = ArraySource()
        source.reranker = MaxSimReranker([source])
        return (source,)

    def source_keeps_pipeline():
        source = ArraySource()
        gatherer = Gatherer(cands("a", corpus="docs"))
        pipeline = SearchPipeline(gatherer, MaxSimReranker([source]))
        source.pipeline = pipeline
        result = pipeline.search(Query("q", multi_vector=Feature(REP, np.ones((1, 4)))), gather_limit=1, limit=1)
        assert result.scores == [4.0]
        return source, gatherer

    def reranker_keeps_pipeline():
        reranker = Rescorer([1.0])
        reranker.pipeline = SearchPipeline(Gatherer(cands("a")), reranker)
        return (reranker,)

    for make in (gatherer_keeps_pipeline, source_keeps_reranker, source_keeps_pipeline, reranker_keeps_pipeline):
        assert collected(make), make.__name__
    # Without the cycle the objects stay alive through a collection.
    gatherer = Gatherer(cands("a", corpus="docs"))
    pipeline = SearchPipeline(gatherer, MaxSimReranker([ArraySource()]))
    ref = weakref.ref(gatherer)
    del gatherer
    gc.collect()
    assert ref() is not None and gc.is_tracked(pipeline)
    assert pipeline.search(Query("q", multi_vector=Feature(REP, np.ones((1, 4)))), gather_limit=1,
                           limit=1).scores == [4.0]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_references_and_memory_stay_flat_over_many_searches():
    source = ArraySource()
    gatherer = Gatherer(cands(("docs", "a", 1.0), ("docs", "b", 2.0)))
    reranker = MaxSimReranker([source])
    pipeline = SearchPipeline(gatherer, reranker)
    query = Query("q", multi_vector=Feature(REP, np.ones((1, 4), np.float32)))
    subset = Subset().including("docs", ["a", "b"])
    budget = ResourceBudget()
    failing_gatherer = Gatherer(lambda *a: raise_error(Boom("x")))
    failing = SearchPipeline(failing_gatherer)
    watched = (source, gatherer, reranker, pipeline, query, subset, budget, failing, Gatherer, ArraySource)

    def run(n):
        for i in range(n):
            if i % 10 == 9:
                try:
                    failing.search(query, gather_limit=2, limit=2)
                except Boom:
                    pass
            else:
                result = pipeline.search(query, gather_limit=2, limit=1, subset=subset, budget=budget)
                result.documents, result.scores, result.candidates, result.diagnostics, result.as_of
        gatherer.calls.clear()
        failing_gatherer.calls.clear()

    run(2000)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    # The resident size may settle during the first quarter (allocator arenas);
    # after that a leak of even a few dozen bytes per search would show.
    sizes = []
    for _ in range(4):
        run(25_000)
        gc.collect()
        sizes.append(rss_bytes())
    assert [sys.getrefcount(o) for o in watched] == counts
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer keeps freed memory
        assert sizes[-1] - sizes[0] < 2 * 2**20
