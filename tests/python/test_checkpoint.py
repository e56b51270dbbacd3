"""Late-interaction checkpoints loaded by TextEncoder.from_pretrained, built
here in each layout from a random two-layer BERT, and checked token by token
against a forward pass written in this file (float64, one head at a time,
markers, expansion, windows, projection and skiplist applied by hand)."""

import importlib
import json
import math
import os
import shutil

import numpy as np
import pytest

for library in ("tokenizers", "safetensors", "onnx", "onnxruntime"):
    try:
        importlib.import_module(library)
    except ImportError:
        if os.environ.get("QUILLMARK_REQUIRE_CHECKPOINT") == "1":  # make test: never skipped
            raise
        pytest.skip(f"the {library} library is not installed (make venv)", allow_module_level=True)

import onnx  # noqa: E402

from safetensors.numpy import save_file  # noqa: E402

from quillmark import _native  # noqa: E402
from quillmark.encoders import TextEncoder  # noqa: E402
from quillmark.encoders.checkpoint import CheckpointError  # noqa: E402
from tiny_checkpoint import (CONFIG, DIM, DOCUMENT_LENGTH, QUERY_LENGTH, VOCAB, original_checkpoint,  # noqa: E402
                             sentence_transformers_checkpoint, tiny_model)
from tiny_encoder import word_piece_tokenizer  # noqa: E402

STRIDE = 5
PUNCTUATION = {4 + VOCAB.index(p) for p in ".!?,;"}  # the test vocabulary's one-token punctuation
MASK, UNUSED0, UNUSED1 = (4 + VOCAB.index(t) for t in ("[MASK]", "[unused0]", "[unused1]"))
Q_MARKER, D_MARKER = 4 + len(VOCAB), 5 + len(VOCAB)  # [Q] and [D], added tokens of tokenizer.json

DOCUMENTS = ["The weather is lovely today.", "He drove to the xylophone stadium, sunny!",
             " ".join(["lists are mutable, tuples are immutable sequences; python can modify a dict."] * 4)]
QUERIES = ["lists mutable?", "can python read files", " ".join(["the weather is lovely today"] * 3)]


@pytest.fixture(scope="module")
def model():
    return tiny_model()


# -- the reference -------------------------------------------------------------


def reference_states(w, ids, attended):
    """Hidden states of ``ids`` where every token attends to the first ``attended``."""
    def get(name):
        return w[name].astype(np.float64)

    def norm(x, prefix):
        centred = x - x.mean(-1, keepdims=True)
        return centred / np.sqrt((centred ** 2).mean(-1, keepdims=True) + 1e-12) * get(prefix + ".weight") \
            + get(prefix + ".bias")

    def dense(x, prefix):
        return x @ get(prefix + ".weight").T + get(prefix + ".bias")

    heads, d = CONFIG.num_attention_heads, CONFIG.hidden_size // CONFIG.num_attention_heads
    erf = np.vectorize(math.erf)
    x = norm(get("embeddings.word_embeddings.weight")[ids] + get("embeddings.position_embeddings.weight")[:len(ids)]
             + get("embeddings.token_type_embeddings.weight")[0], "embeddings.LayerNorm")
    for layer in range(CONFIG.num_hidden_layers):
        p = f"encoder.layer.{layer}."
        q, k, v = (dense(x, p + "attention.self." + n) for n in ("query", "key", "value"))
        context = np.zeros_like(x)
        for head in range(heads):
            s = slice(head * d, (head + 1) * d)
            logits = q[:, s] @ k[:attended, s].T / math.sqrt(d)
            a = np.exp(logits - logits.max(axis=1, keepdims=True))
            context[:, s] = (a / a.sum(axis=1, keepdims=True)) @ v[:attended, s]
        x = norm(x + dense(context, p + "attention.output.dense"), p + "attention.output.LayerNorm")
        inner = dense(x, p + "intermediate.dense")
        x = norm(x + dense(0.5 * inner * (1 + erf(inner / math.sqrt(2))), p + "output.dense"), p + "output.LayerNorm")
    return x


def unit(x):
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


def reference_query(m, text, marker, expand, attend, bias):
    body = word_piece_tokenizer(VOCAB).encode(text, add_special_tokens=False).ids[: QUERY_LENGTH - 3]
    ids = [2, marker] + body + [3]
    real = len(ids)
    if expand:
        ids += [MASK] * (QUERY_LENGTH - real)
    states = reference_states(m["weights"], ids, len(ids) if attend else real)
    return unit(states @ m["projection"].T + (0 if bias is None else bias))


def reference_document(m, text, marker, bias):
    body = word_piece_tokenizer(VOCAB).encode(text, add_special_tokens=False).ids
    width = DOCUMENT_LENGTH - 3  # [CLS], the marker and [SEP] in every window
    starts = [0]
    while starts[-1] + width < len(body):
        starts.append(min(starts[-1] + STRIDE, len(body) - width))
    windows = [reference_states(m["weights"], [2, marker] + body[s:s + width] + [3], 3 + len(body[s:s + width]))
               for s in starts]

    def context(t, s):  # a token's distance to its window's nearer cut, where the text goes on
        left = t - s if s > 0 else len(body)
        right = s + width - 1 - t if s + width < len(body) else len(body)
        return min(left, right)

    rows, ids = [windows[0][0], windows[0][1]], [2, marker]
    for t in range(len(body)):
        holders = [w for w, s in enumerate(starts) if s <= t < s + width]
        best = max(holders, key=lambda w: (context(t, starts[w]), -w))
        rows.append(windows[best][2 + t - starts[best]])
        ids.append(body[t])
    rows.append(windows[-1][-1])
    ids.append(3)
    kept = [r for r, i in zip(rows, ids) if i not in PUNCTUATION]
    return unit(np.array(kept) @ m["projection"].T + (0 if bias is None else bias)), len(windows)


# -- encoding exactly ---------------------------------------------------------------

CASES = {  # name: (layout, backend, expand, attend)
    "st-numpy-expansion-not-attended": ("st", "numpy", True, False),
    "st-numpy-expansion-attended": ("st", "numpy", True, True),
    "st-numpy-no-expansion": ("st", "numpy", False, False),
    "st-onnx-projection-after-graph": ("st", "onnx", True, False),
    "original-numpy-vocab-txt": ("original", "numpy", True, True),
    "original-onnx-projection-in-graph": ("original", "onnx", True, True),
}


@pytest.mark.parametrize("case", CASES)
def test_checkpoint_encodes_like_the_reference(model, tmp_path, case):
    layout, backend, expand, attend = CASES[case]
    if layout == "st":
        directory = sentence_transformers_checkpoint(tmp_path / "ck", model, expand, attend, backend == "onnx")
        markers, bias, name = (Q_MARKER, D_MARKER), model["bias"], "ck"
    else:
        directory = original_checkpoint(tmp_path / "ck", model, onnx_only=backend == "onnx")
        markers, bias, name = (UNUSED0, UNUSED1), None, "tiny-original"
    encoder = TextEncoder.from_pretrained(directory, stride=STRIDE, workers=2)  # the backend the directory holds
    assert encoder.checkpoint == {"path": str(directory.resolve()), "backend": backend if layout == "original" else
                                  "numpy"}
    if backend == "onnx":
        encoder = TextEncoder.from_pretrained(directory, backend="onnx", stride=STRIDE, workers=2)
    assert (encoder.representation.encoder, encoder.representation.dimension) == (name, DIM)
    largest = 0.0
    for text, got in zip(DOCUMENTS, encoder.encode(DOCUMENTS)):
        expected, windows = reference_document(model, text, markers[1], bias)
        assert got.tokens.shape == expected.shape and got.windows == windows
        np.testing.assert_allclose(got.pooled, unit(expected.mean(axis=0)), atol=1e-5)
        largest = max(largest, np.abs(got.tokens - expected).max())
    assert windows > 1  # the long document was windowed
    for text in QUERIES:
        got = encoder.encode([text], query=True)[0]
        expected = reference_query(model, text, markers[0], expand, attend, bias)
        assert got.tokens.shape == expected.shape and got.truncated == (len(text.split()) > 9)
        np.testing.assert_allclose(got.pooled, unit(expected.mean(axis=0)), atol=1e-5)
        largest = max(largest, np.abs(got.tokens - expected).max())
        through_query = encoder.query(text).feature("multi_vector", encoder.representation)
        np.testing.assert_array_equal(through_query, got.tokens)
    print(f"\n{case}: largest difference from the reference {largest:.2e}")
    assert largest < 1e-5
    if layout == "st" and backend == "onnx":  # the same checkpoint on both backends
        numpy_encoder = TextEncoder.from_pretrained(directory, backend="numpy", stride=STRIDE)
        for a, b in zip(encoder.encode(DOCUMENTS), numpy_encoder.encode(DOCUMENTS)):
            np.testing.assert_allclose(a.tokens, b.tokens, atol=1e-5)


# -- refused checkpoints --------------------------------------------------------------


def _edit_json(path, **changes):
    value = json.loads(path.read_text())
    value.update(changes)
    path.write_text(json.dumps(value))


def _drop_json(path, key):
    value = json.loads(path.read_text())
    del value[key]
    path.write_text(json.dumps(value))


def _resave(path, change):
    from safetensors.numpy import load_file

    weights = load_file(str(path))
    change(weights)
    save_file(weights, str(path))


def _rename_graph_input(path, old, new):
    graph = onnx.load(str(path))
    for value in graph.graph.input:
        if value.name == old:
            value.name = new
    for n in graph.graph.node:
        n.input[:] = [new if i == old else i for i in n.input]
    onnx.save(graph, str(path))


BAD = {  # name: (layout, damage, the file named, what else the message says)
    "empty directory": ("empty", lambda d: None, "", "not a late-interaction checkpoint"),
    "no Dense weights": ("st", lambda d: (d / "1_Dense/model.safetensors").unlink(), "1_Dense/model.safetensors",
                         "file is missing"),
    "no tokenizer": ("original", lambda d: (d / "vocab.txt").unlink(), "tokenizer.json", "and so is vocab.txt"),
    "no settings": ("st", lambda d: (d / "config_sentence_transformers.json").unlink(),
                    "config_sentence_transformers.json", "file is missing"),
    "a layer too wide": ("st", lambda d: _resave(d / "model.safetensors", lambda w: w.update(
        {"encoder.layer.1.intermediate.dense.weight": np.zeros((25, 16), np.float32)})),
        "model.safetensors", r"encoder.layer.1.intermediate.dense.weight has shape \[25, 16\]"),
    "a missing weight": ("original", lambda d: _resave(d / "model.safetensors", lambda w: w.pop(
        "bert.encoder.layer.0.output.LayerNorm.bias")), "model.safetensors", "output.LayerNorm.bias is missing"),
    "a layer too many": ("st", lambda d: _edit_json(d / "config.json", num_hidden_layers=1), "model.safetensors",
                         "weights of layer 1"),
    "projection against dim": ("original", lambda d: _edit_json(d / "artifact.metadata", dim=6), "model.safetensors",
                               r"linear.weight has shape \[8, 16\]"),
    "projection against hidden": ("st", lambda d: _edit_json(d / "1_Dense/config.json", in_features=12),
                                  "1_Dense/config.json", "in_features is 12"),
    "marker not in vocabulary": ("st", lambda d: _edit_json(d / "config_sentence_transformers.json",
                                                            query_prefix="[QQ] ", prompts={}),
                                 "tokenizer.json", r"no token '\[QQ\]' \(setting query_prefix"),
    "no mask token": ("original", lambda d: _edit_json(d / "tokenizer_config.json", mask_token="[MSK]"),
                      "vocab.txt", r"no token '\[MSK\]'"),
    "missing length": ("st", lambda d: _drop_json(d / "config_sentence_transformers.json", "query_length"),
                       "config_sentence_transformers.json", "setting query_length is missing"),
    "contradictory prefixes": ("st", lambda d: _edit_json(d / "config_sentence_transformers.json",
                                                          prompts={"query": "[D] "}),
                               "config_sentence_transformers.json", "contradict.*query_prefix"),
    "length beyond positions": ("original", lambda d: _edit_json(d / "artifact.metadata", doc_maxlen=65),
                                "artifact.metadata", "setting doc_maxlen is 65, more than"),
    "graph without attention_mask": ("st-onnx", lambda d: _rename_graph_input(d / "model.onnx", "attention_mask",
                                                                                "input_mask"),
                                     "model.onnx", "no input attention_mask"),
    "graph of another width": ("original-onnx", lambda d: _edit_json(d / "artifact.metadata", dim=12),
                               "model.onnx", "output width 8 is neither"),
}


@pytest.mark.parametrize("case", BAD)
def test_a_bad_checkpoint_is_refused_naming_its_file(model, tmp_path, case):
    layout, damage, named, message = BAD[case]
    directory = tmp_path / "ck"
    directory.mkdir()
    if layout.startswith("st"):
        sentence_transformers_checkpoint(directory, model, onnx_graph_too=layout == "st-onnx")
    elif layout.startswith("original"):
        original_checkpoint(directory, model, onnx_only=layout == "original-onnx")
    damage(directory)
    backend = "onnx" if layout.endswith("onnx") else None
    with pytest.raises(CheckpointError, match=message) as raised:
        TextEncoder.from_pretrained(directory, backend=backend)
    assert str(raised.value).startswith(str((directory / named).resolve() if named else directory))


def test_checkpoints_differing_in_one_weight_never_mix(model, tmp_path):
    # The same name (the directory's), one projection weight apart.
    first = sentence_transformers_checkpoint(tmp_path / "one" / "ck", model)
    second = tmp_path / "two" / "ck"
    shutil.copytree(first, second)
    _resave(second / "1_Dense/model.safetensors", lambda w: w["linear.weight"].__setitem__((0, 0), 0.5))
    a, b = (TextEncoder.from_pretrained(d) for d in (first, second))
    again = TextEncoder.from_pretrained(first)
    assert a.representation == again.representation
    assert a.representation.encoder_revision != b.representation.encoder_revision
    assert a.representation.encoder_revision.startswith("sha256:")
    _native._assert_representations_compatible(a.representation, again.representation)
    with pytest.raises(_native.IncompatibleQueryError, match="encoder_revision"):
        _native._assert_representations_compatible(a.representation, b.representation)


def test_the_encoding_cache_keeps_a_checkpoints_queries_apart_from_its_documents(model, tmp_path):
    from quillmark.encoders import EncodingCache

    encoder = TextEncoder.from_pretrained(sentence_transformers_checkpoint(tmp_path / "ck", model))
    text = QUERIES[0]
    document, _ = EncodingCache(tmp_path / "cache").encode(encoder, [text])
    query, encoded_now = EncodingCache(tmp_path / "cache").encode(encoder, [text], query=True)
    again, encoded_again = EncodingCache(tmp_path / "cache").encode(encoder, [text], query=True)
    assert (encoded_now, encoded_again) == (1, 0)  # a query never hits the document's entry
    expected = encoder.encode([text], query=True)[0]
    for got in (query[0], again[0]):
        np.testing.assert_array_equal(got.tokens, expected.tokens)
        np.testing.assert_array_equal(got.pooled, expected.pooled)
    assert document[0].tokens.shape != expected.tokens.shape  # expanded to the query length


def test_a_collection_of_a_checkpoint_reopens_from_its_record(model, tmp_path, capsys):
    from quillmark import Collection
    from quillmark.cli import main

    directory = sentence_transformers_checkpoint(tmp_path / "ck", model)
    (tmp_path / "docs").mkdir()
    for i, text in enumerate(DOCUMENTS):
        (tmp_path / "docs" / f"d{i}.txt").write_text(text)
    assert main(["index", "--encoder", str(directory), str(tmp_path / "c"), str(tmp_path / "docs")]) == 0
    capsys.readouterr()
    with Collection.open(tmp_path / "c") as reopened:  # no encoder passed: rebuilt from the record
        assert reopened.encoder.checkpoint == {"path": str(directory.resolve()), "backend": "numpy"}
        hits = reopened.search(QUERIES[0], limit=2)
    assert main(["search", str(tmp_path / "c"), QUERIES[0], "-k", "2"]) == 0
    printed = capsys.readouterr().out
    assert len(hits) == 2 and all(hit.id in printed for hit in hits)
    # Other weights in the same directory cannot have made the stored vectors.
    _resave(directory / "1_Dense/model.safetensors", lambda w: w["linear.weight"].__setitem__((0, 0), 0.5))
    with pytest.raises(ValueError, match="now holds revision sha256:"):
        Collection.open(tmp_path / "c")
