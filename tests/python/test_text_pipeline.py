"""Plain-text queries: encoded by a TextPipeline, refused by a bare pipeline
with a hint on how to make a query."""

import pytest

pytest.importorskip("tokenizers", reason="the tiny test encoder needs the tokenizers library")

import quillmark  # noqa: E402
from quillmark.encoders import pack  # noqa: E402
from tiny_encoder import tiny_encoder  # noqa: E402

TEXTS = {"weather": "the weather is lovely today", "stadium": "he drove to the stadium",
         "lists": "lists are mutable sequences", "tuples": "tuples are immutable sequences"}


@pytest.fixture
def store(tmp_path):
    encoder = tiny_encoder()
    writer = quillmark.VectorStoreWriter.create(tmp_path / "s", "docs", encoder.representation)
    writer.append(list(TEXTS), *pack(encoder.encode(list(TEXTS.values()))))
    writer.commit()
    return encoder, quillmark.VectorStore(tmp_path / "s")


def test_plain_text_searches_as_its_encoded_query(store):
    encoder, vectors = store
    gatherer, reranker = quillmark.StoreGatherer(vectors), quillmark.MaxSimReranker([vectors])
    pipeline = quillmark.TextPipeline(gatherer, reranker, encoder=encoder)
    for text in ("are tuples mutable", "sunny weather today"):
        by_text = pipeline.search(text, gather_limit=4, limit=3)
        by_query = quillmark.SearchPipeline(gatherer, reranker).search(encoder.query(text), gather_limit=4, limit=3)
        assert ([(d.document_id, d.score) for d in by_text.documents]
                == [(d.document_id, d.score) for d in by_query.documents])
        assert len(by_text.documents) == 3
    with pytest.raises(quillmark.IncompatibleQueryError) as raised:
        quillmark.SearchPipeline(gatherer, reranker).search("are tuples mutable", gather_limit=4, limit=3)
    # The text stays the one callers match on; the hint is a note beside it.
    assert str(raised.value) == "query has no 'multi_vector' feature; available: []"
    assert "TextEncoder.query(text)" in raised.value.__notes__[0]


@pytest.mark.parametrize("encoder, query, message", [
    (object(), "text", "encoder must be a TextEncoder"),
    (None, 42, "query must be a quillmark.Query or plain text, not int"),
])
def test_bad_encoder_or_query(store, encoder, query, message):
    gatherer = quillmark.StoreGatherer(store[1])
    with pytest.raises(TypeError, match=message):
        quillmark.TextPipeline(gatherer, encoder=encoder or store[0]).search(query, gather_limit=2, limit=1)
