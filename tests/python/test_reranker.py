import datetime as dt
import threading
import traceback

import numpy as np
import pytest

import quillmark
from quillmark import Candidate, Feature, MaxSimReranker, Query, ResourceBudget, Scored, VectorStore
from quillmark.representation import Representation

from store_builder import StoreBuilder, int8_decode, int8_encode, random_documents, segmented_store

T0 = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
F32 = "float32-exact-full-maxsim"
I8 = "int8-reconstructed-approximate-full-maxsim"
DIM = 8


def rep(dim=DIM, normalized=False, encoder="enc"):
    return Representation(encoder=encoder, encoder_revision="r1", dimension=dim, normalized=normalized)


def maxsim(q, d):
    return float((q.astype(np.float64) @ d.astype(np.float64).T).max(axis=1).sum())


def query(matrix, representation=None, name="multi_vector"):
    return Query("q", **{name: Feature(representation or rep(matrix.shape[1]), matrix)})


def candidates(keys):
    return [Candidate(corpus, doc, 0.0, i, "") for i, (corpus, doc) in enumerate(keys)]


class ArrayView:
    def __init__(self, source):
        self.source = source
        self.as_of = source.as_of

    def document_lengths(self, ids):
        self.source.calls.append(("document_lengths", list(ids), threading.get_ident()))
        return {i: len(self.source.docs[i]) for i in ids if i in self.source.docs}

    def fetch(self, ids, *, threads):
        self.source.calls.append(("fetch", list(ids), threading.get_ident()))
        return np.concatenate([self.source.docs[i] for i in ids]), [len(self.source.docs[i]) for i in ids]


class ArraySource:
    """A Python source over a dict of float32 matrices, recording its calls."""

    def __init__(self, docs, corpus="docs", representation=None, score_semantics=F32, as_of=T0):
        self.docs = docs
        self.corpus = corpus
        self.representation = representation or rep(next(iter(docs.values())).shape[1] if docs else DIM)
        self.score_semantics = score_semantics
        self.as_of = as_of
        self.calls = []
        self.views = 0

    def view(self):
        self.views += 1
        return ArrayView(self)


def build_store(path, rng, *, corpus="docs", encoding="float32", count=40, normalized=False, committed_at=None):
    builder = StoreBuilder(path, corpus=corpus, encoding=encoding, dimension=DIM, normalized=normalized)
    if committed_at is not None:
        builder.committed_at = committed_at
    docs = random_documents(rng, count, DIM, max_tokens=9)
    builder.append(docs)
    builder.publish()
    return VectorStore(builder.path), docs


def test_class_surface(tmp_path, rng):
    assert MaxSimReranker.__module__ == "quillmark._native"
    with pytest.raises(TypeError):
        type("Sub", (MaxSimReranker,), {})
    store, _ = build_store(tmp_path / "s", rng)
    python = ArraySource({"x": np.ones((1, DIM), np.float32)}, corpus="other")
    reranker = MaxSimReranker(iter([store, python]))
    assert reranker.feature == "multi_vector"
    assert reranker.sources == (store, python) and reranker.sources is reranker.sources
    assert reranker.requires == {"multi_vector": rep()} and reranker.requires is not reranker.requires
    assert reranker.score_semantics == F32
    assert MaxSimReranker([python], feature="colbert").requires == {"colbert": rep()}
    assert isinstance(python, quillmark.MultiVectorSource) and isinstance(reranker, quillmark.Reranker)


class Boom(Exception):
    pass


def failing_iterable():
    yield ArraySource({"x": np.ones((1, DIM), np.float32)})
    raise Boom("iteration")


class NoCorpus:
    representation = rep()
    score_semantics = F32

    def view(self):
        raise AssertionError


@pytest.mark.parametrize(
    "make, exc, text",
    [
        (lambda s: MaxSimReranker([]), ValueError, "a MaxSim reranker needs at least one source"),
        (lambda s: MaxSimReranker(5), TypeError, None),
        (lambda s: MaxSimReranker(failing_iterable()), Boom, "iteration"),
        (lambda s: MaxSimReranker([NoCorpus()]), AttributeError, None),
        (lambda s: MaxSimReranker([ArraySource(s["docs"], corpus=3)]), TypeError, None),
        (lambda s: MaxSimReranker([ArraySource(s["docs"], representation=object())]), AttributeError, None),
        (lambda s: MaxSimReranker([ArraySource(s["docs"], score_semantics=None)]), TypeError, None),
        (lambda s: MaxSimReranker([ArraySource(s["docs"])], feature=1), TypeError, None),
        (lambda s: MaxSimReranker([s["store_a"], s["int8_b"]]), quillmark.IncompatibleIndexError,
         f'the source of corpus "b" scores as "{I8}", not "{F32}"'),
        (lambda s: MaxSimReranker([s["store_a"], s["store_b"], s["store_a"]]), ValueError,
         'more than one source for corpus "a"'),
        (lambda s: MaxSimReranker([ArraySource(s["docs"], corpus="a"),
                                   ArraySource(s["docs"], corpus="b", representation=rep(encoder="other"))]),
         quillmark.IncompatibleIndexError, 'the source of corpus "b" carries another representation: '),
    ],
)
def test_construction_errors(tmp_path, rng, make, exc, text):
    stores = {
        "store_a": build_store(tmp_path / "a", rng, corpus="a", count=2)[0],
        "store_b": build_store(tmp_path / "b", rng, corpus="b", count=2)[0],
        "int8_b": build_store(tmp_path / "i", rng, corpus="b", encoding="int8", count=2)[0],
        "docs": {"x": np.ones((1, DIM), np.float32)},
    }
    with pytest.raises(exc) as info:
        make(stores)
    if text is not None:
        assert str(info.value).startswith(text)


@pytest.mark.parametrize("encoding", ["float32", "int8"])
@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("python_source", [False, True])
@pytest.mark.parametrize(
    "budget",
    [
        dict(),
        dict(threads=1),
        dict(threads=2),
        dict(max_batch_tokens=7, max_documents_per_batch=3, threads=2),
        dict(max_batch_tokens=1, max_documents_per_batch=1),
    ],
    ids=["default", "t1", "t2", "small-t2", "one-by-one"],
)
def test_scores_match_numpy(tmp_path, rng, encoding, normalized, python_source, budget):
    store, docs = build_store(tmp_path / "s", rng, encoding=encoding, normalized=normalized)
    stored = docs
    if encoding == "int8":
        stored = {k: int8_decode(*int8_encode(v), normalized) for k, v in docs.items()}
    if python_source:
        # A Python source serving what the store holds, decoded by NumPy.
        source = ArraySource(stored, representation=rep(normalized=normalized),
                             score_semantics=F32 if encoding == "float32" else I8)
    else:
        source = store
    reranker = MaxSimReranker([source])
    q = rng.standard_normal((5, DIM)).astype(np.float32)
    keys = [("docs", f"d{i}") for i in rng.permutation(40)[:25]] + [("docs", "missing"), ("docs", "d3"), ("docs", "d3")]
    scored = reranker.rerank(query(q, rep(normalized=normalized)), candidates(keys), budget=ResourceBudget(**budget))
    assert isinstance(scored, Scored)
    want = [None if doc not in stored else maxsim(q, stored[doc]) for _, doc in keys]
    got = scored.scores
    assert [g is None for g in got] == [w is None for w in want]
    np.testing.assert_allclose([g for g in got if g is not None], [w for w in want if w is not None],
                               rtol=1e-5, atol=1e-5)
    assert got[-1] == got[-2]
    if python_source:
        fetched = [i for call in source.calls if call[0] == "fetch" for i in call[1]]
        assert sorted(fetched) == sorted({doc for _, doc in keys if doc in stored})
        assert source.views == 1


@pytest.mark.parametrize("encoding, normalized", [("float32", False), ("int8", False), ("int8", True)])
@pytest.mark.parametrize(
    "budget",
    [dict(), dict(threads=1), dict(threads=2), dict(max_batch_tokens=300, max_documents_per_batch=7, threads=3)],
    ids=["default", "t1", "t2", "small-t3"],
)
def test_stores_of_several_segments_score_like_numpy_and_like_fetching(tmp_path, rng, encoding, normalized, budget):
    """Two corpora, each a store of two segments with replaced and deleted
    documents, long enough for several kernel batches. The scores are MaxSim
    over what each view holds, and those of a Python source serving the same
    vectors (fetched per batch): for float32, bit for bit."""
    stores, sources, live = [], [], {}
    for corpus in ("a", "b"):
        builder, held = segmented_store(tmp_path / corpus, rng, encoding=encoding, normalized=normalized,
                                        corpus=corpus)
        stores.append(VectorStore(builder.path))
        sources.append(ArraySource(held, corpus=corpus, representation=rep(48, normalized),
                                   score_semantics=F32 if encoding == "float32" else I8))
        live[corpus] = held
    keys = [("a" if i % 3 else "b", f"d{j}") for i, j in enumerate(rng.integers(0, 70, 150))]
    q = rng.standard_normal((6, 48)).astype(np.float32)
    native = MaxSimReranker(stores).rerank(query(q, rep(48, normalized)), candidates(keys),
                                           budget=ResourceBudget(**budget))
    fetched = MaxSimReranker(sources).rerank(query(q, rep(48, normalized)), candidates(keys),
                                             budget=ResourceBudget(**budget))
    want = [maxsim(q, live[c][d]) if d in live[c] else None for c, d in keys]
    assert [s is None for s in native.scores] == [w is None for w in want] == [s is None for s in fetched.scores]
    np.testing.assert_allclose([s for s in native.scores if s is not None], [w for w in want if w is not None],
                               rtol=1e-5, atol=1e-5)
    if encoding == "float32":
        assert native.scores == fetched.scores
    else:
        np.testing.assert_allclose([s for s in native.scores if s is not None],
                                   [s for s in fetched.scores if s is not None], rtol=1e-6, atol=1e-6)


def test_python_source_is_called_from_pool_workers(rng):
    docs = random_documents(rng, 10, DIM)
    source = ArraySource(docs)
    q = rng.standard_normal((3, DIM)).astype(np.float32)
    keys = [("docs", f"d{i}") for i in range(10)]
    scored = MaxSimReranker([source]).rerank(query(q), candidates(keys), budget=ResourceBudget(threads=2))
    np.testing.assert_allclose(scored.scores, [maxsim(q, docs[d]) for _, d in keys], rtol=1e-5, atol=1e-5)
    callers = {thread for _, _, thread in source.calls}
    assert threading.get_ident() not in callers and len(source.calls) >= 2


@pytest.mark.parametrize(
    "max_batch_tokens, batches",
    [(6, [["y", "x"], ["z"]]), (5, [["y"], ["x"], ["z"]]), (100, [["y", "x"], ["z"]])],
)
def test_batches(max_batch_tokens, batches):
    docs = {k: np.ones((n, 4), np.float32) for k, n in [("x", 5), ("y", 1), ("z", 3)]}
    source = ArraySource(docs)
    MaxSimReranker([source]).rerank(
        query(np.ones((1, 4), np.float32)), candidates([("docs", "z"), ("docs", "x"), ("docs", "y")]),
        budget=ResourceBudget(max_batch_tokens=max_batch_tokens, max_documents_per_batch=2),
    )
    assert [c[1] for c in source.calls if c[0] == "fetch"] == batches
    assert [c[1] for c in source.calls if c[0] == "document_lengths"] == [["x", "y", "z"]]


def test_long_document_forms_its_own_batch():
    docs = {"long": np.ones((300, 4), np.float32), "short": np.ones((2, 4), np.float32)}
    source = ArraySource(docs)
    scored = MaxSimReranker([source]).rerank(
        query(np.ones((1, 4), np.float32)), candidates([("docs", "long"), ("docs", "short")]),
        budget=ResourceBudget(max_batch_tokens=100),
    )
    assert scored.scores == [4.0, 4.0]
    assert [c[1] for c in source.calls if c[0] == "fetch"] == [["short"], ["long"]]


def test_views_as_of_and_empty_candidates(tmp_path, rng):
    a, _ = build_store(tmp_path / "a", rng, corpus="a", count=3, committed_at=1_600_000_000.0)
    b, b_docs = build_store(tmp_path / "b", rng, corpus="b", count=3, committed_at=1_700_000_000.0)
    python = ArraySource({"x": np.ones((1, DIM), np.float32)}, corpus="c",
                         as_of=dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc))
    reranker = MaxSimReranker([python, b, a])
    no_features = Query("plain")
    empty = reranker.rerank(no_features, [], budget=ResourceBudget())
    assert empty.scores == [] and empty.as_of == a.view().as_of
    assert python.views == 1
    q = rng.standard_normal((2, DIM)).astype(np.float32)
    only_b = reranker.rerank(query(q), candidates([("b", "d1")]), budget=ResourceBudget())
    assert only_b.as_of == a.view().as_of < b.view().as_of
    assert only_b.scores == pytest.approx([maxsim(q, b_docs["d1"])], rel=1e-5)
    assert python.views == 2 and python.calls == []


@pytest.mark.parametrize(
    "make_query, keys, exc, text",
    [
        (lambda q: Query("q"), [("docs", "a")], quillmark.IncompatibleQueryError,
         "query has no 'multi_vector' feature; available: []"),
        (lambda q: query(q, rep(), name="other"), [("docs", "a")], quillmark.IncompatibleQueryError,
         "query has no 'multi_vector' feature; available: ['other']"),
        (lambda q: query(q, rep(encoder="x")), [("docs", "a")], quillmark.IncompatibleQueryError, None),
        (lambda q: Query("q", multi_vector=Feature(rep(), np.ones(DIM, np.float32))), [("docs", "a")],
         quillmark.IncompatibleQueryError, "query feature 'multi_vector' must be a [tokens, dimension] matrix"),
        (lambda q: Query("q", multi_vector=Feature(rep(), np.ones((2, 3), np.float32))), [("docs", "a")],
         quillmark.IncompatibleQueryError, "query feature 'multi_vector' has dimension 3, but the representation declares 8"),
        (lambda q: query(q), [("docs", "a"), ("elsewhere", "a")], quillmark.IncompatibleIndexError,
         'the reranker has no source for corpus "elsewhere"'),
    ],
)
def test_query_and_corpus_errors(make_query, keys, exc, text):
    source = ArraySource({"a": np.ones((2, DIM), np.float32)})
    with pytest.raises(exc) as info:
        MaxSimReranker([source]).rerank(make_query(np.ones((2, DIM), np.float32)), candidates(keys),
                                        budget=ResourceBudget())
    if text is not None:
        assert str(info.value) == text
    if exc is quillmark.IncompatibleIndexError:
        assert source.views == 0
    assert not [c for c in source.calls if c[0] == "fetch"]


def test_provider_error_passes_through():
    error = Boom("encoder down")

    def provider():
        raise error

    q = Query("q", multi_vector=Feature(rep(), provider=provider))
    with pytest.raises(Boom) as info:
        MaxSimReranker([ArraySource({"a": np.ones((1, DIM), np.float32)})]).rerank(
            q, candidates([("docs", "a")]), budget=ResourceBudget())
    assert info.value is error


def test_argument_errors():
    reranker = MaxSimReranker([ArraySource({"a": np.ones((1, DIM), np.float32)})])
    q = query(np.ones((1, DIM), np.float32))
    with pytest.raises(TypeError):
        reranker.rerank("plain text", [], budget=ResourceBudget())
    with pytest.raises(TypeError, match="budget"):
        reranker.rerank(q, [])
    with pytest.raises(TypeError):
        reranker.rerank(q, [], ResourceBudget())
    with pytest.raises(TypeError):
        reranker.rerank(q, [candidates([("docs", "a")])[0], 1], budget=ResourceBudget())
    with pytest.raises(TypeError):
        reranker.rerank(q, [], budget=None)


class Misbehaving(ArraySource):
    """A source whose view misbehaves in the way `mode` names."""

    def __init__(self, mode, error):
        super().__init__({"a": np.ones((2, DIM), np.float32), "b": np.full((1, DIM), 2, np.float32)})
        self.mode = mode
        self.error = error

    def view(self):
        mode, error, docs = self.mode, self.error, self.docs
        if mode == "view raises":
            raise error
        view = ArrayView(self)
        if mode == "naive as_of":
            view.as_of = dt.datetime(2024, 1, 1)
        if mode == "no as_of":
            del view.as_of
        if mode == "lengths raise":
            def document_lengths(ids):
                raise error
            view.document_lengths = document_lengths
        if mode in ("negative length", "text length", "lengths without get"):
            bad = {"negative length": {"a": -1}, "text length": {"a": "2"}, "lengths without get": [2, 1]}[mode]
            view.document_lengths = lambda ids: bad
        fetches = {
            "fetch raises": None,
            "fetch list": lambda ids: [np.ones((3, DIM)), [2, 1]],
            "fetch triple": lambda ids: (np.ones((3, DIM)), [2, 1], None),
            "fetch zero length": lambda ids: (np.ones((3, DIM)), [3, 0]),
            "fetch negative length": lambda ids: (np.ones((3, DIM)), [4, -1]),
            "fetch wrong order": lambda ids: (np.concatenate([docs[i] for i in ids[::-1]]),
                                             [len(docs[i]) for i in ids[::-1]]),
            "fetch wrong dimension": lambda ids: (np.ones((3, DIM - 1)), [2, 1]),
            "fetch one axis": lambda ids: (np.ones(3 * DIM), [2, 1]),
            "fetch short rows": lambda ids: (np.ones((2, DIM)), [2, 1]),
            "fetch strings": lambda ids: ("vectors", [2, 1]),
        }
        if mode in fetches:
            make = fetches[mode]

            def fetch(ids, *, threads):
                if make is None:
                    raise error
                return make(ids)
            view.fetch = fetch
        return view


@pytest.mark.parametrize(
    "mode, exc, text",
    [
        ("view raises", Boom, None),
        ("lengths raise", Boom, None),
        ("fetch raises", Boom, None),
        ("naive as_of", TypeError, None),
        ("no as_of", AttributeError, None),
        ("negative length", OverflowError, None),
        ("text length", TypeError, None),
        ("lengths without get", AttributeError, None),
        ("fetch list", TypeError, None),
        ("fetch triple", TypeError, None),
        ("fetch one axis", TypeError, None),
        ("fetch strings", ValueError, None),
        ("fetch zero length", ValueError, "document lengths must be positive"),
        ("fetch negative length", ValueError, "document length at position 1 must be positive"),
        ("fetch wrong order", ValueError, "source fetched vectors that disagree with its declared lengths or dimension"),
        ("fetch wrong dimension", ValueError, "source fetched vectors that disagree with its declared lengths or dimension"),
        ("fetch short rows", ValueError, "document lengths sum to 3, but 16 values form 2 rows of dimension 8"),
    ],
)
@pytest.mark.parametrize("threads", [None, 2])
def test_misbehaving_python_source(mode, exc, text, threads):
    error = Boom(mode)
    source = Misbehaving(mode, error)
    reranker = MaxSimReranker([source])
    for _ in range(2):  # the failure leaves nothing behind: a second rerank fails the same way
        with pytest.raises(exc) as info:
            reranker.rerank(query(np.ones((1, DIM), np.float32)), candidates([("docs", "a"), ("docs", "b")]),
                            budget=ResourceBudget(threads=threads))
        if exc is Boom:
            assert info.value is error
            frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
            assert frames[-1] in ("view", "document_lengths", "fetch")
        if text is not None:
            assert str(info.value) == text


def test_document_lengths_missing_id_leaves_it_unscored():
    source = ArraySource({"a": np.ones((3, DIM), np.float32)})
    scored = MaxSimReranker([source]).rerank(query(np.ones((1, DIM), np.float32)),
                                             candidates([("docs", "a"), ("docs", "b")]), budget=ResourceBudget())
    assert scored.scores == [8.0, None]


def test_float64_vectors_and_list_lengths_are_accepted():
    source = ArraySource({"a": np.full((2, DIM), 0.5)})  # float64 rows
    scored = MaxSimReranker([source]).rerank(query(np.ones((2, DIM), np.float32)), candidates([("docs", "a")]),
                                             budget=ResourceBudget())
    assert scored.scores == [8.0]


def test_failing_view_of_another_corpus_fails_every_rerank():
    good = ArraySource({"a": np.ones((1, DIM), np.float32)}, corpus="good")
    bad = Misbehaving("view raises", Boom("down"))
    bad.corpus = "bad"
    with pytest.raises(Boom):
        MaxSimReranker([good, bad]).rerank(query(np.ones((1, DIM), np.float32)), candidates([("good", "a")]),
                                           budget=ResourceBudget())


def test_methods_are_looked_up_on_every_call():
    source = ArraySource({"a": np.ones((1, DIM), np.float32)})
    reranker = MaxSimReranker([source])
    q = query(np.ones((1, DIM), np.float32))
    assert reranker.rerank(q, candidates([("docs", "a")]), budget=ResourceBudget()).scores == [8.0]
    source.view = lambda: (_ for _ in ()).throw(Boom("replaced"))
    with pytest.raises(Boom, match="replaced"):
        reranker.rerank(q, [], budget=ResourceBudget())
    del source.view
    assert reranker.rerank(q, [], budget=ResourceBudget()).scores == []
