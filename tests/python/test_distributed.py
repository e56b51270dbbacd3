"""quillmark.distributed on a local Ray cluster that this module starts: sharded
stores searched as one, compared with one store holding every document."""

import datetime
import os
import pathlib
import signal
import threading

import numpy as np
import pytest

# Ray reads this when it is imported: without it a node on Linux takes the
# machine's routable address, even when 127.0.0.1 is passed, and its servers
# listen on every interface. The cluster fixture checks that it took effect.
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
try:
    import ray
except ImportError:
    if os.environ.get("QUILLMARK_REQUIRE_RAY") == "1":
        raise
    pytest.skip("Ray is not installed (pip install 'quillmark[ray]')", allow_module_level=True)

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # make sanitize preloads AddressSanitizer into every process, Ray's included:
    # new Ray worker processes then abort at start on a heap-buffer-overflow in
    # Ray's own setproctitle (spt_setup in _raylet.so), so actors cannot start.
    pytest.skip("Ray's worker processes abort at start under the AddressSanitizer preload "
                "(a heap-buffer-overflow in Ray's setproctitle)", allow_module_level=True)

import quillmark
from quillmark import Feature, MaxSimReranker, Query, SearchPipeline, Subset, VectorStore, VectorStoreWriter
from quillmark import distributed
from quillmark.distributed import (
    LayoutError,
    MeanPooledFromStore,
    StorePooled,
    ShardedGatherer,
    ShardedReranker,
    ShardedStore,
    ShardError,
    ShardTimeoutError,
)
from quillmark.gatherers import MeanPooledGatherer
from quillmark.store_gatherer import StoreGatherer
from quillmark.representation import Representation

from distributed_helpers import HoldingBuilder

DIM = 128
REP = Representation("test-encoder", "1", DIM, True)
POOLED = Representation("test-encoder (mean-pooled)", "1", DIM, True)
SHARD_COUNTS = (1, 2, 3)
LOOPBACK = "127.0.0.1"


def unit(x):
    x = np.asarray(x, dtype=np.float32)
    return (x / np.linalg.norm(x, axis=-1, keepdims=True)).astype(np.float32)


def batch(rng, ids, tokens=None):
    """(ids, packed unit rows, lengths) of new random documents."""
    mats = [tokens[d] if tokens and d in tokens else unit(rng.standard_normal((int(rng.integers(12, 40)), DIM)))
            for d in ids]
    return list(ids), np.concatenate(mats), np.array([len(m) for m in mats], dtype=np.int64)


def query(tokens):
    return Query("q", multi_vector=Feature(REP, tokens), single_vector=Feature(POOLED, unit(tokens.mean(0))[None]))


@pytest.fixture(scope="module")
def cluster():
    # The workers import this build's quillmark and the helpers beside this file.
    package = pathlib.Path(quillmark.__file__).resolve().parent.parent
    here = pathlib.Path(__file__).resolve().parent
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join([str(package), str(here)] + ([saved] if saved else []))
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=80 * 2**20, log_to_driver=False,
             configure_logging=False, _node_ip_address=LOOPBACK)
    assert ray.util.get_node_ip_address() == LOOPBACK
    assert ray.get_runtime_context().gcs_address.startswith(LOOPBACK + ":")
    yield ray.get_runtime_context().get_node_id()
    ray.shutdown()
    if saved is None:
        del os.environ["PYTHONPATH"]
    else:
        os.environ["PYTHONPATH"] = saved


class Twin:
    """One unsharded store and sharded stores of 1, 2 and 3 shards, given the
    same writes."""

    def __init__(self, root, node):
        self.writer = VectorStoreWriter.create(root / "single", "docs", REP)
        self.single = root / "single"
        # Shard 2 of 2 is placed by node id; the others where Ray likes.
        self.sharded = {n: ShardedStore.create(root / f"sharded-{n}", "docs", REP, shards=n,
                                               nodes=[node] * n if n == 2 else None, timeout=60)
                        for n in SHARD_COUNTS}
        self.deleted = []
        self.commits = {}

    def stores(self):
        return [self.writer, *self.sharded.values()]

    def append(self, *args):
        for s in self.stores():
            s.append(*args)

    def delete(self, ids):
        self.deleted.append([s.delete(ids) for s in self.stores()])

    def compact(self):
        for s in self.stores():
            s.compact()

    def commit(self):
        self.writer.commit()
        self.commits = {n: s.commit() for n, s in self.sharded.items()}


@pytest.fixture(scope="module")
def twin(cluster, tmp_path_factory):
    rng = np.random.default_rng(2026)
    t = Twin(tmp_path_factory.mktemp("distributed"), cluster)
    ids = [f"d{i}" for i in range(100)] + ["é-accent", "文档", "z\"quote"]
    same = unit(rng.standard_normal((20, DIM)))
    # Documents with identical vectors score alike at both stages: their order
    # comes from the ids, across shards too.
    twins = {d: same for d in ("d7", "d8", "d9", "d10", "é-accent")}
    t.append(*batch(rng, ids, twins))
    t.commit()
    # Replacements (d5, d17, d33), deletions (one id never existed), a deleted
    # document appended again (d2), a compaction, more documents.
    t.append(*batch(rng, [f"n{i}" for i in range(30)] + ["d5", "d17", "d33"]))
    t.delete(["d2", "d40", "n3", "missing", "d2"])
    t.commit()
    t.append(*batch(rng, ["d2", "d60"]))
    t.delete(["d61", "文档"])
    t.compact()
    t.append(*batch(rng, ["d33", "late"]))
    t.commit()
    yield t
    for s in t.sharded.values():
        s.close()


def reference(twin):
    store = VectorStore(twin.single)
    return SearchPipeline(MeanPooledGatherer.from_view("docs", store.view(), POOLED), MaxSimReranker([store]))


def outcome(result):
    return (
        [(d.document_id, d.score, d.rank) for d in result.documents],
        [(c.document_id, c.gather_score, c.gather_rank, c.provenance) for c in result.candidates],
        result.scores,
        result.diagnostics["dropped"],
    )


def assert_same_outcome(got, want):
    """Equal rankings and candidates; MaxSim scores equal within float32
    rounding. A shard scores its documents in batches of other rows than
    one store does, and the BLAS may round a product differently by the
    row's place in the batch (by its core type's kernel)."""
    (documents, candidates, scores, dropped), expected = outcome(got), outcome(want)
    assert [(d, r) for d, _, r in documents] == [(d, r) for d, _, r in expected[0]]
    assert [s for _, s, _ in documents] == pytest.approx([s for _, s, _ in expected[0]], rel=1e-5)
    assert (candidates, dropped) == (expected[1], expected[3])
    assert [s is None for s in scores] == [s is None for s in expected[2]]
    assert [s for s in scores if s is not None] == pytest.approx([s for s in expected[2] if s is not None], rel=1e-5)


def searches(twin, rng):
    ids = VectorStore(twin.single).view().document_ids
    tokens = [unit(rng.standard_normal((16, DIM))) for _ in range(4)]
    tokens.append(twin_query := unit(rng.standard_normal((16, DIM)) * 0.1 + 1))  # noqa: F841 - one far query
    some = list(rng.choice(ids, 70, replace=False))
    cases = [(query(t), 30, 10, None) for t in tokens]
    cases += [
        (query(tokens[0]), 200, 200, None),  # every document
        (query(tokens[1]), 30, 10, Subset().including("docs", some + ["missing"])),
        (query(tokens[2]), 30, 10, Subset().excluding("docs", some)),
        (query(tokens[3]), 30, 10, Subset()),
        (query(tokens[3]), 30, 10, Subset().including("elsewhere", some)),
    ]
    return cases


def blas_rounds_by_row_position():
    """Whether this machine's BLAS gives one document other MaxSim bits at
    other places in a batch (its kernel for some core types handles the rows
    at the edge of a tile in another order). Then identical documents need
    not tie, and shards, which batch other rows, can order near-ties
    differently from one store."""
    rng = np.random.default_rng(11)
    query = unit(rng.standard_normal((16, DIM)))
    document = unit(rng.standard_normal((5, DIM)))
    parts, lengths = [], []
    for filler in range(1, 18):
        parts += [unit(rng.standard_normal((filler, DIM))), document]
        lengths += [filler, len(document)]
    scores = quillmark.maxsim_scores_packed(query, np.concatenate(parts).astype(np.float32),
                                            np.array(lengths, dtype=np.int64))
    return len(set(scores[1::2].tolist())) > 1


@pytest.mark.parametrize("shards", SHARD_COUNTS)
def test_search_equals_one_store_holding_every_document(twin, shards):
    if blas_rounds_by_row_position():
        pytest.skip("this machine's BLAS rounds a row's product by its place in the batch, so tied documents "
                    "split differently across shards")
    store = twin.sharded[shards]
    sharded = SearchPipeline(ShardedGatherer(store, MeanPooledFromStore(POOLED)), ShardedReranker(store))
    single = reference(twin)
    for q, gather_limit, limit, subset in searches(twin, np.random.default_rng(7)):
        got = sharded.search(q, gather_limit=gather_limit, limit=limit, subset=subset)
        want = single.search(q, gather_limit=gather_limit, limit=limit, subset=subset)
        assert_same_outcome(got, want)
        # The freshness is the earliest of the shards' last commits.
        assert got.as_of == min(twin.commits[shards])
    tied = [d.document_id for d in got.documents if d.document_id in ("d7", "d8", "d9", "d10", "é-accent")]
    assert tied == sorted(tied, key=str.encode)


def test_writes_fan_out_and_route_by_id(twin):
    single = VectorStore(twin.single).view()
    for counts in twin.deleted:  # what each delete reported, single store first
        assert len(set(counts)) == 1 and counts[0] > 0
    for n, store in twin.sharded.items():
        assert store.document_ids() == single.document_ids
        assert len(twin.commits[n]) == n
        assert all(isinstance(t, datetime.datetime) and t.tzinfo is not None for t in twin.commits[n])
        # Every shard holds exactly the documents routed to it.
        for shard in range(n):
            held = VectorStore(store.shard(shard).path).view().document_ids
            assert held and all(store.shard_of(d) == shard for d in held)
    assert twin.sharded[2].nodes == [ray.get_runtime_context().get_node_id()] * 2


def test_gatherer_over_given_vectors_matches_one_gatherer(twin, rng):
    store = twin.sharded[3]
    ids = [f"v{i}" for i in range(60)]
    vectors = unit(rng.standard_normal((60, DIM)))
    vectors[[11, 40, 52]] = vectors[3]  # equal scores fall in the order given
    assert len({store.shard_of(ids[i]) for i in (3, 11, 40, 52)}) > 1
    one = MeanPooledGatherer("docs", ids, vectors, representation=POOLED)
    sharded = ShardedGatherer.mean_pooled(store, ids, vectors, representation=POOLED)
    for q in (vectors[3], *rng.standard_normal((3, DIM))):
        q = Query("q", single_vector=Feature(POOLED, unit(q)[None]))
        for limit, subset in ((7, None), (60, None), (10, Subset().excluding("docs", ids[:5]))):
            want = one.gather(q, limit, subset=subset).candidates
            got = sharded.gather(q, limit, subset=subset).candidates
            assert [(c.document_id, c.gather_score, c.gather_rank) for c in got] == \
                   [(c.document_id, c.gather_score, c.gather_rank) for c in want]


@pytest.mark.parametrize("shards", SHARD_COUNTS)
def test_store_pooled_shards_gather_as_one_store_gatherer(twin, shards):
    """Each shard's persisted StoreGatherer, merged: the candidates of one
    StoreGatherer over the unsharded store, scores, ranks and ties included."""
    store = twin.sharded[shards]
    sharded = ShardedGatherer(store, StorePooled(REP))
    one = StoreGatherer(VectorStore(twin.single))
    try:
        for q, gather_limit, _, subset in searches(twin, np.random.default_rng(7)):
            want = one.gather(q, gather_limit, subset=subset)
            got = sharded.gather(q, gather_limit, subset=subset)
            assert [(c.document_id, c.gather_score, c.gather_rank) for c in got.candidates] == \
                   [(c.document_id, c.gather_score, c.gather_rank) for c in want.candidates]
            assert got.as_of == min(twin.commits[shards])
    finally:
        sharded.close()
    # The shards' indexes persist beside their stores.
    for shard in range(shards):
        index = pathlib.Path(str(store.shard(shard).path) + ".index")
        assert list(index.glob("segment-*.pooled.npy"))


def test_protocols_and_names(twin):
    store = twin.sharded[2]
    gatherer = ShardedGatherer(store, MeanPooledFromStore(POOLED))
    assert isinstance(gatherer, quillmark.CandidateGenerator)
    assert gatherer.requires == {"single_vector": POOLED}
    gatherer.close()
    with pytest.raises(ShardError, match="failed: LookupError: no gatherer .* is installed"):
        gatherer.gather(query(unit(np.ones((2, DIM)))), 5)
    reranker = ShardedReranker(store)
    assert isinstance(reranker, quillmark.Reranker)
    assert reranker.requires == {"multi_vector": REP}
    assert reranker.score_semantics == "float32-exact-full-maxsim"
    for name in distributed.__all__:
        assert hasattr(distributed, name)
    with pytest.raises(quillmark.IncompatibleIndexError, match='no source for corpus "other"'):
        reranker.rerank(query(unit(np.ones((2, DIM)))), [quillmark.Candidate("other", "x", 0.0, 0, "")],
                        budget=quillmark.ResourceBudget())


@pytest.fixture
def small(cluster, tmp_path):
    """A committed 2-shard store, its single-store reference, a query that
    draws candidates from both shards, and files that hold shard 1's gathers."""
    rng = np.random.default_rng(99)
    docs = batch(rng, [f"k{i}" for i in range(40)])
    store = ShardedStore.create(tmp_path / "sharded", "docs", REP, shards=2, timeout=60)
    store.append(*docs)
    store.commit()
    writer = VectorStoreWriter.create(tmp_path / "single", "docs", REP)
    writer.append(*docs)
    writer.commit()
    hold, started = tmp_path / "hold", tmp_path / "started"
    builders = [MeanPooledFromStore(POOLED), HoldingBuilder(POOLED, hold, started)]
    yield store, reference_of(tmp_path / "single"), query(unit(rng.standard_normal((16, DIM)))), builders, hold, started
    hold.unlink(missing_ok=True)
    store.close()


def reference_of(path):
    s = VectorStore(path)
    return SearchPipeline(MeanPooledGatherer.from_view("docs", s.view(), POOLED), MaxSimReranker([s]))


def test_a_shard_killed_mid_search_fails_it_naming_the_shard_and_a_restart_serves_its_commit(small):
    store, single, q, builders, hold, started = small
    pipeline = SearchPipeline(ShardedGatherer(store, builders), ShardedReranker(store))
    # Staged but never committed: lost with the actor.
    store.append(*batch(np.random.default_rng(1), [f"k{i}" for i in range(40, 60)]))
    hold.touch()
    failure = []

    def search():
        try:
            pipeline.search(q, gather_limit=20, limit=5)
        except ShardError as error:
            failure.append(error)

    thread = threading.Thread(target=search)
    thread.start()
    while not started.exists():
        thread.join(0.02)
    ray.kill(store.actor(1))
    thread.join()
    hold.unlink()
    (error,) = failure
    assert (error.shard, error.shards, error.path, error.timed_out) == (1, 2, store.shard(1).path, False)
    assert str(error).startswith(f"shard 1 of 2 ({store.shard(1).path}) failed: its actor died")
    assert str(error).endswith("during gather")

    store.restart(1)
    want = single.search(q, gather_limit=20, limit=5)
    assert_same_outcome(pipeline.search(q, gather_limit=20, limit=5), want)
    assert store.document_ids() == VectorStore(store.root.parent / "single").view().document_ids


def test_a_shard_that_does_not_answer_in_time_fails_the_search(small):
    store, _, q, builders, hold, started = small
    pipeline = SearchPipeline(ShardedGatherer(store, builders, timeout=0.5), ShardedReranker(store))
    hold.touch()
    with pytest.raises(ShardTimeoutError) as caught:
        pipeline.search(q, gather_limit=20, limit=5)
    assert isinstance(caught.value, TimeoutError) and caught.value.timed_out and caught.value.shard == 1
    assert str(caught.value) == f"shard 1 of 2 ({store.shard(1).path}) timed out after 0.5 s during gather"


def test_layout_guards_the_shard_count(small, tmp_path):
    store, single, q, *_ = small
    root = store.root
    with pytest.raises(LayoutError, match=r"has 2 shards, not 3: reopening it with another count"):
        ShardedStore.open(root, shards=3)
    with ShardedStore.open(root) as again:  # the count from the layout file
        assert again.shards == 2
        pipeline = SearchPipeline(ShardedGatherer(again, MeanPooledFromStore(POOLED)), ShardedReranker(again))
        assert_same_outcome(pipeline.search(q, gather_limit=20, limit=5), single.search(q, gather_limit=20, limit=5))
    with pytest.raises(LayoutError, match="no sharded store here"):
        ShardedStore.open(tmp_path / "nothing")
    (tmp_path / "odd").mkdir()
    (tmp_path / "odd" / "shards.json").write_text(
        '{"format": "quillmark-shards-1", "corpus": "docs", "shards": 2, "hash": "python-hash"}')
    with pytest.raises(LayoutError, match="unknown shard hash 'python-hash'"):
        ShardedStore.open(tmp_path / "odd")
    # A store that exists already is not created again; the shard says so.
    with pytest.raises(ShardError, match="FileExistsError: vector store already exists"):
        ShardedStore.create(root, "docs", REP, shards=2)


def test_bad_batches_are_refused_before_any_shard_stages_them(small):
    store, *_ = small
    ids, packed, lengths = batch(np.random.default_rng(3), ["a", "b", "c"])
    with pytest.raises(ValueError, match='document ID "a" appears more than once'):
        store.append(["a", "b", "a"], packed, lengths)
    with pytest.raises(ValueError, match="rows are not normalized"):
        store.append(ids, packed * 2, lengths)
    with pytest.raises(ValueError, match="document lengths do not match"):
        store.append(ids, packed, lengths + 1)
    with pytest.raises(TypeError):
        store.append(ids, packed.astype(np.float64), lengths)
    store.commit()
    assert not {"a", "b", "c"} & set(store.document_ids())


@pytest.fixture(scope="module")
def refusers(cluster, tmp_path_factory):
    """A 2-shard store and a single store's writer, both empty, of one representation."""
    root = tmp_path_factory.mktemp("refusers")
    store = ShardedStore.create(root / "sharded", "docs", REP, shards=2, timeout=60)
    writer = VectorStoreWriter.create(root / "single", "docs", REP)
    yield store, writer
    writer.close()
    store.close()


def _rows(n, columns=DIM):
    return unit(np.random.default_rng(n).standard_normal((n, columns)))


@pytest.mark.parametrize("call, exc_type, text", [
    (lambda t: t.append(["a\0b", "c", "a\0b"], _rows(3), [1, 1, 1]), ValueError,
     r'document ID "a\0b" appears more than once'),
    (lambda t: t.append(["x\x85y", "x\x85y"], _rows(2), [1, 1]), ValueError,
     r'document ID "x\u{85}y" appears more than once'),
    (lambda t: t.append(["a\tb", "a\tb"], _rows(2), [1, 1]), ValueError,
     r'document ID "a\tb" appears more than once'),
    (lambda t: t.append(["a", "b"], _rows(3) * 2, [1, 2]), ValueError,
     "representation declares unit vectors, but rows are not normalized"),
    (lambda t: t.append(["a", "b"], _rows(3), [1, 3]), ValueError,
     "document lengths do not match packed embedding rows"),
    (lambda t: t.append(["a", "b"], _rows(3), [3, 0]), ValueError,
     "document lengths must be a non-empty positive vector"),
    (lambda t: t.append(["a", "b"], _rows(3), [4, -1]), ValueError, "document length at position 1 must be positive"),
    (lambda t: t.append(["a", "b"], _rows(3), [1.5, 1.5]), TypeError,
     "argument 'document_lengths' must hold integers, not float"),
    (lambda t: t.append(["a"], _rows(2, DIM + 1), [2]), ValueError,
     f"embedding dimension {DIM + 1} differs from the representation dimension {DIM}"),
    (lambda t: t.append(["a"], np.full((1, DIM), np.nan, dtype=np.float32), [1]), ValueError,
     "embeddings contain a non-finite value"),
    (lambda t: t.append(["a"], np.zeros((0, DIM), dtype=np.float32), [1]), ValueError,
     "embeddings must be a non-empty [tokens, dimension] matrix"),
    (lambda t: t.append(["a", "b"], _rows(3), [3]), ValueError, "2 document IDs were given for 1 documents"),
    (lambda t: t.append(["a"], _rows(1).astype(np.float64), [1]), TypeError,
     "argument 'embeddings' must be a two-dimensional float32 NumPy array"),
    (lambda t: t.append("ab", _rows(2), [1, 1]), TypeError,
     "expected an iterable of document IDs, not a single string"),
    (lambda t: t.append(iter(["a", 7]), _rows(2), [1, 1]), TypeError, "expected str, not int"),
    (lambda t: t.append(["a"], _rows(1), [1], threads=-1), OverflowError, "argument 'threads' must not be negative"),
    (lambda t: t.delete("ab"), TypeError, "expected an iterable of document IDs, not a single string"),
    (lambda t: t.delete([b"a"]), TypeError, "expected str, not bytes"),
    (lambda t: t.delete(5), TypeError, "'int' object is not iterable"),
])
def test_the_sharded_store_refuses_what_the_writer_refuses_in_its_words(refusers, call, exc_type, text):
    store, writer = refusers
    refusals = []
    for target in (writer, store):
        with pytest.raises(exc_type) as caught:
            call(target)
        refusals.append((type(caught.value), str(caught.value)))
    assert refusals[0] == refusals[1] == (exc_type, text)
    # Refused whole: nothing of the batch reached a shard.
    store.commit()
    assert store.document_ids() == []


# -- closing, and a store inherited across a fork ---------------------------------------


def test_close_releases_the_writers_discards_staged_work_and_refuses_every_later_call(cluster, tmp_path):
    rng = np.random.default_rng(5)
    root = tmp_path / "sharded"
    with ShardedStore.create(root, "docs", REP, shards=2, timeout=60) as store:
        store.append(*batch(rng, ["a", "b", "c"]))
        store.commit()
        pipeline = SearchPipeline(ShardedGatherer(store, MeanPooledFromStore(POOLED)), ShardedReranker(store))
        store.append(*batch(rng, ["staged"]))
    q = query(unit(rng.standard_normal((4, DIM))))
    for call in (lambda: store.append(*batch(rng, ["x"])), store.commit, store.document_ids,
                 lambda: store.restart(0), lambda: pipeline.search(q, gather_limit=5, limit=2)):
        with pytest.raises(ValueError, match=f"sharded store {root} is closed"):
            call()
    store.close()  # again: nothing to do
    # Leaving the block by an exception closes the store without committing.
    with pytest.raises(KeyError):
        with ShardedStore.open(root, timeout=60) as failed:
            failed.delete(["a"])
            raise KeyError("the caller's own failure")
    with pytest.raises(ValueError, match="closed"):
        failed.commit()
    # The shards' writer locks are free once close returns, and what was
    # staged is gone.
    for shard in range(2):
        VectorStoreWriter(failed.shard(shard).path)
    with ShardedStore.open(root, timeout=60) as again:
        again.append(*batch(rng, ["d"]))
        again.commit()
        assert again.document_ids() == ["a", "b", "c", "d"]


def test_a_store_inherited_across_a_fork_refuses_to_write_and_its_close_spares_the_parents_actors(small):
    store = small[0]
    ids, packed, lengths = batch(np.random.default_rng(6), ["forked"])
    parent = os.getpid()
    child = os.fork()
    if child == 0:  # the child reports through its exit code only
        code = 99
        try:
            signal.alarm(30)  # a call that reaches Ray from here may never return
            refused = 0
            for call in (lambda: store.append(ids, packed, lengths), lambda: store.delete(["k1"]), store.commit):
                try:
                    call()
                except RuntimeError as error:
                    refused += str(error).startswith(
                        f"sharded store {store.root} was opened for writing in process {parent}; "
                        "a writer inherited across a fork cannot be used")
            store.close()  # the child's copy only
            try:
                store.commit()
            except ValueError as error:
                refused += "closed" in str(error)
            code = 0 if refused == 4 else 10 + refused
        finally:
            os._exit(code)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    store.append(ids, packed, lengths)  # the parent's store and actors still serve
    store.commit()
    assert "forked" in store.document_ids()
