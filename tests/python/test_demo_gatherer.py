"""MeanPooledGatherer: exact top-k cosine, subsets, and its place in a SearchPipeline."""

import datetime

import numpy as np
import pytest

import quillmark
from quillmark.gatherers import MeanPooledGatherer
from quillmark.representation import Representation

DIM = 8
REPRESENTATION = Representation("pooled-test", "1", DIM, True)


def unit(rows):
    rows = np.asarray(rows, dtype=np.float32)
    return rows / np.linalg.norm(rows, axis=-1, keepdims=True)


@pytest.fixture
def index(rng):
    vectors = unit(rng.standard_normal((40, DIM)))
    vectors[7] = vectors[3]  # an exact tie: constructor order decides
    ids = [f"d{i}" for i in range(40)]
    return ids, vectors, MeanPooledGatherer("docs", ids, vectors, representation=REPRESENTATION)


def query_with(vector):
    return quillmark.Query("q", single_vector=quillmark.Feature(REPRESENTATION, unit(vector)[None, :]))


@pytest.mark.parametrize("limit", [1, 5, 8, 40, 100])
def test_gather_is_the_exact_top_k_in_score_then_constructor_order(index, limit):
    ids, vectors, gatherer = index
    q = vectors[3] + 0.01  # d3 and d7 score alike near the top
    gathered = gatherer.gather(query_with(q), limit, subset=None)
    scores = vectors.astype(np.float64) @ unit(q).astype(np.float64)
    expected = sorted(range(len(ids)), key=lambda i: (-scores[i], i))[:limit]
    got = gathered.candidates
    assert [c.document_id for c in got] == [ids[i] for i in expected]
    assert [c.gather_rank for c in got] == list(range(len(expected)))
    assert all(c.corpus == "docs" for c in got)
    np.testing.assert_allclose([c.gather_score for c in got], scores[expected], rtol=1e-6, atol=1e-7)
    assert gathered.as_of == gatherer.as_of


@pytest.mark.parametrize("dimension", [7, 384])
def test_a_documents_score_does_not_depend_on_the_other_documents(rng, dimension):
    # Gatherers over parts of a corpus (shards) must agree bit for bit with one
    # gatherer over all of it, whatever the part's size or memory alignment.
    representation = Representation("pooled-test", "1", dimension, True)
    vectors = unit(rng.standard_normal((301, dimension)))
    ids = [f"d{i}" for i in range(301)]
    query = quillmark.Query("q", single_vector=quillmark.Feature(representation, unit(vectors[0] + 0.5)[None, :]))
    whole = MeanPooledGatherer("docs", ids, vectors, representation=representation).scores(query)
    for part in (rng.choice(301, size, replace=False) for size in (1, 5, 64, 250)):
        gatherer = MeanPooledGatherer("docs", [ids[i] for i in part], vectors[part], representation=representation)
        assert np.array_equal(gatherer.scores(query), whole[part])


def test_gather_honours_the_subset(index):
    ids, vectors, gatherer = index
    query = query_with(vectors[0])
    only = quillmark.Subset().including("docs", ["d1", "d2", "d30"])
    assert sorted(c.document_id for c in gatherer.gather(query, 10, subset=only).candidates) == ["d1", "d2", "d30"]
    but = quillmark.Subset().excluding("docs", ["d0"])
    found = [c.document_id for c in gatherer.gather(query, 40, subset=but).candidates]
    assert "d0" not in found and len(found) == 39
    other = quillmark.Subset().including("other", ["d0"])
    assert gatherer.gather(query, 10, subset=other).candidates == ()


def test_pipeline_with_the_gatherer_and_a_maxsim_reranker(index, rng):
    ids, vectors, gatherer = index
    multi = Representation("multi-test", "1", DIM, True)
    tokens = {i: unit(rng.standard_normal((3, DIM))) for i in ids}

    class Source:  # the reranker's documents, served from memory
        corpus, representation, score_semantics = "docs", multi, "float32-exact-full-maxsim"

        def view(self):
            return View()

    class View:
        as_of = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)

        def document_lengths(self, wanted):
            return {i: 3 for i in wanted}

        def fetch(self, wanted, *, threads=None):
            return np.concatenate([tokens[i] for i in wanted]), np.full(len(wanted), 3, dtype=np.int64)

    q_tokens = unit(rng.standard_normal((4, DIM)))
    query = quillmark.Query(
        "q",
        single_vector=quillmark.Feature(REPRESENTATION, unit(vectors[5])[None, :]),
        multi_vector=quillmark.Feature(multi, q_tokens),
    )
    pipeline = quillmark.SearchPipeline(gatherer, quillmark.MaxSimReranker([Source()]))
    result = pipeline.search(query, gather_limit=12, limit=5)
    candidates = [c.document_id for c in result.candidates]
    assert candidates == [c.document_id for c in gatherer.gather(query, 12, subset=None).candidates]
    maxsim = {i: float((tokens[i] @ q_tokens.T).max(axis=0).sum()) for i in candidates}
    expected = sorted(candidates, key=lambda i: (-maxsim[i], candidates.index(i)))[:5]
    assert [d.document_id for d in result.documents] == expected
    assert result.diagnostics["gatherer"] == "MeanPooledGatherer"
    assert result.as_of == View.as_of  # the earlier of the two stages' times


def test_plain_text_query_is_encoded_by_the_gatherers_encoder(index):
    ids, vectors, _ = index

    class Encoder:  # what the gatherer uses of a TextEncoder
        representation = Representation("text-test", "1", DIM, True)

        def encode(self, texts, *, workers=None, query=False):
            assert texts == ["find d9"] and query
            return [type("Encoded", (), {"pooled": vectors[9]})()]

    gatherer = MeanPooledGatherer("docs", ids, vectors, representation=REPRESENTATION, encoder=Encoder())
    result = quillmark.SearchPipeline(gatherer).search("find d9", gather_limit=3, limit=1)
    assert [d.document_id for d in result.documents] == ["d9"]
    without = MeanPooledGatherer("docs", ids, vectors, representation=REPRESENTATION)
    with pytest.raises(quillmark.IncompatibleQueryError, match="no 'single_vector' feature"):
        quillmark.SearchPipeline(without).search("find d9", gather_limit=3, limit=1)


@pytest.mark.parametrize("ids, vectors, message", [
    (["a", "b"], np.ones((3, DIM)), "one row per id"),
    (["a"], np.ones((1, DIM + 1)), "dimension"),
    (["a", "a"], np.ones((2, DIM)), "unique"),
])
def test_constructor_refuses_inconsistent_indexes(ids, vectors, message):
    with pytest.raises(ValueError, match=message):
        MeanPooledGatherer("docs", ids, vectors, representation=REPRESENTATION)


def test_a_first_stage_reopened_from_a_store_ranks_as_the_encoders(tmp_path):
    pytest.importorskip("tokenizers", reason="the tiny test encoder needs the tokenizers library")
    from tiny_encoder import tiny_encoder
    from quillmark.encoders import pack

    encoder = tiny_encoder()
    texts = ["the weather is lovely today", "he drove to the stadium", "lists are mutable sequences",
             "tuples are immutable " * 12]  # windowed: pooled over every window's rows
    encoded = encoder.encode(texts)
    ids = [f"d{i}" for i in range(len(texts))]
    writer = quillmark.VectorStoreWriter.create(tmp_path / "s", "docs", encoder.representation)
    writer.append(ids, *pack(encoded))
    writer.commit()
    view = quillmark.VectorStore(tmp_path / "s").view()
    reopened = MeanPooledGatherer.from_view("docs", view, encoder.pooled_representation)
    original = MeanPooledGatherer.from_encoded("docs", ids, encoded, encoder)
    np.testing.assert_array_equal(reopened.vectors, original.vectors)
    (segment,) = view.segments
    np.testing.assert_array_equal(view.pool(segment[0]), original.vectors)  # the store's pooling, append order
    query = encoder.query("is a tuple mutable")
    assert ([c.document_id for c in reopened.gather(query, 4, subset=None).candidates]
            == [c.document_id for c in original.gather(query, 4, subset=None).candidates])
