"""Tiny late-interaction checkpoints for tests and benchmarks, written in
each layout TextEncoder.from_pretrained reads: a random two-layer BERT over a
small word-piece vocabulary with marker, mask and punctuation tokens, a
projection to DIM, and an ONNX graph of the same model built with onnx's
helper API (no deep-learning framework needed)."""

import json
import math

import numpy as np
import onnx
from safetensors.numpy import save_file

from quillmark.encoders.bert import BertConfig
from tiny_encoder import WORDS, tiny_weights, word_piece_tokenizer

VOCAB = WORDS + [",", ";", "[MASK]", "[unused0]", "[unused1]"]
CONFIG = BertConfig(hidden_size=16, num_attention_heads=4, num_hidden_layers=2, intermediate_size=24,
                    max_position_embeddings=64)
DIM, QUERY_LENGTH, DOCUMENT_LENGTH = 8, 12, 16


def tiny_model(seed: int = 11) -> dict:
    """Random weights for the BERT (rows for [Q] and [D] included), its projection and the projection's bias."""
    rng = np.random.default_rng(seed)
    return {"weights": tiny_weights(rng, CONFIG, 6 + len(VOCAB)),
            "projection": rng.standard_normal((DIM, CONFIG.hidden_size)).astype(np.float32) * np.float32(0.4),
            "bias": rng.standard_normal(DIM).astype(np.float32) * np.float32(0.1)}


def onnx_graph(w, projection=None, token_types=True, output="last_hidden_state"):
    """The tiny BERT as an ONNX graph (opset 17: LayerNormalization; Erf for the exact GELU)."""
    from onnx import TensorProto, helper, numpy_helper

    nodes, constants = [], []

    def const(array):
        constants.append(numpy_helper.from_array(np.asarray(array), f"c{len(constants)}"))
        return constants[-1].name

    def node(op, inputs, **attributes):
        nodes.append(helper.make_node(op, inputs, [f"n{len(nodes)}"], **attributes))
        return nodes[-1].output[0]

    def dense(x, prefix):
        return node("Add", [node("MatMul", [x, const(w[prefix + ".weight"].T.copy())]), const(w[prefix + ".bias"])])

    def norm(x, prefix):
        return node("LayerNormalization", [x, const(w[prefix + ".weight"]), const(w[prefix + ".bias"])],
                    axis=-1, epsilon=1e-12)

    h, heads = CONFIG.hidden_size, CONFIG.num_attention_heads
    sequence = node("Slice", [node("Shape", ["input_ids"]), const(np.array([1])), const(np.array([2]))])
    positions = node("Slice", [const(w["embeddings.position_embeddings.weight"]), const(np.array([0])), sequence,
                               const(np.array([0]))])
    types = w["embeddings.token_type_embeddings.weight"]
    x = node("Add", [node("Gather", [const(w["embeddings.word_embeddings.weight"]), "input_ids"]), positions])
    x = node("Add", [x, node("Gather", [const(types), "token_type_ids"]) if token_types else const(types[0])])
    x = norm(x, "embeddings.LayerNorm")
    keep = node("Cast", ["attention_mask"], to=TensorProto.FLOAT)
    mask = node("Unsqueeze", [node("Mul", [node("Sub", [const(np.float32(1)), keep]), const(np.float32(-1e9))]),
                              const(np.array([1, 2]))])
    for layer in range(CONFIG.num_hidden_layers):
        p = f"encoder.layer.{layer}."
        split = [node("Transpose", [node("Reshape", [dense(x, p + "attention.self." + n),
                                                     const(np.array([0, 0, heads, h // heads]))])], perm=perm)
                 for n, perm in (("query", [0, 2, 1, 3]), ("key", [0, 2, 3, 1]), ("value", [0, 2, 1, 3]))]
        scores = node("Add", [node("Mul", [node("MatMul", split[:2]), const(np.float32(1 / math.sqrt(h // heads)))]),
                              mask])
        context = node("MatMul", [node("Softmax", [scores], axis=-1), split[2]])
        context = node("Reshape", [node("Transpose", [context], perm=[0, 2, 1, 3]), const(np.array([0, 0, h]))])
        x = norm(node("Add", [x, dense(context, p + "attention.output.dense")]), p + "attention.output.LayerNorm")
        inner = dense(x, p + "intermediate.dense")
        erf = node("Erf", [node("Div", [inner, const(np.float32(math.sqrt(2)))])])
        gelu = node("Mul", [node("Mul", [inner, node("Add", [erf, const(np.float32(1))])]), const(np.float32(0.5))])
        x = norm(node("Add", [x, dense(gelu, p + "output.dense")]), p + "output.LayerNorm")
    if projection is not None:
        x = node("MatMul", [x, const(projection.T.copy())])
    nodes.append(helper.make_node("Identity", [x], [output]))
    inputs = [helper.make_tensor_value_info(n, TensorProto.INT64, ["batch", "sequence"])
              for n in ("input_ids", "attention_mask", "token_type_ids")[: 3 if token_types else 2]]
    width = h if projection is None else projection.shape[0]
    outputs = [helper.make_tensor_value_info(output, TensorProto.FLOAT, ["batch", "sequence", width])]
    graph = helper.make_model(helper.make_graph(nodes, "tiny_bert", inputs, outputs, constants),
                              opset_imports=[helper.make_opsetid("", 17)], ir_version=9)
    onnx.checker.check_model(graph)
    return graph


def bert_config():
    return {"model_type": "bert", "hidden_size": CONFIG.hidden_size, "num_attention_heads": CONFIG.num_attention_heads,
            "num_hidden_layers": CONFIG.num_hidden_layers, "intermediate_size": CONFIG.intermediate_size,
            "max_position_embeddings": CONFIG.max_position_embeddings, "vocab_size": 6 + len(VOCAB),
            "type_vocab_size": 2, "hidden_act": "gelu", "layer_norm_eps": 1e-12}


def write_json(path, value):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(value))


def sentence_transformers_checkpoint(directory, m, expand=True, attend=False, onnx_graph_too=False,
                                     document_length=DOCUMENT_LENGTH):
    """The sentence-transformers style layout in ``directory``: tokenizer.json with [Q] and [D] added, the
    BERT at the top, the projection (with bias) in 1_Dense, and model.onnx beside (projection after it)."""
    directory.mkdir(parents=True, exist_ok=True)
    tokenizer = word_piece_tokenizer(VOCAB)
    tokenizer.add_special_tokens(["[Q]", "[D]"])
    tokenizer.save(str(directory / "tokenizer.json"))
    write_json(directory / "tokenizer_config.json", {"mask_token": "[MASK]"})
    write_json(directory / "config.json", bert_config())
    save_file(m["weights"], str(directory / "model.safetensors"))
    write_json(directory / "modules.json", [
        {"idx": 0, "name": "0", "path": "", "type": "sentence_transformers.models.Transformer"},
        {"idx": 1, "name": "1", "path": "1_Dense", "type": "some_library.models.Dense"}])
    write_json(directory / "1_Dense" / "config.json", {"in_features": CONFIG.hidden_size, "out_features": DIM,
                                                       "bias": True, "activation_function": "torch.nn.Identity"})
    save_file({"linear.weight": m["projection"], "linear.bias": m["bias"]},
              str(directory / "1_Dense" / "model.safetensors"))
    write_json(directory / "config_sentence_transformers.json", {
        "query_prefix": "[Q] ", "document_prefix": "[D] ", "prompts": {"query": "[Q] "},
        "query_length": QUERY_LENGTH, "document_length": document_length, "do_query_expansion": expand,
        "attend_to_expansion_tokens": attend, "skiplist_words": list(".,!?;:@")})
    if onnx_graph_too:  # the projection applied after the graph, from 1_Dense
        onnx.save(onnx_graph(m["weights"]), str(directory / "model.onnx"))
    return directory


def original_checkpoint(directory, m, onnx_only=False):
    """The original layout in ``directory``: vocab.txt, ``bert.``-prefixed weights with ``linear.weight``
    and artifact.metadata; with ``onnx_only``, model.onnx (projecting) in place of the safetensors weights."""
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "vocab.txt").write_text("\n".join(["[PAD]", "[UNK]", "[CLS]", "[SEP]", *VOCAB]) + "\n")
    write_json(directory / "tokenizer_config.json", {"do_lower_case": True})
    config = bert_config()
    config["vocab_size"] = 4 + len(VOCAB)
    write_json(directory / "config.json", config)
    weights = {k: v[: 4 + len(VOCAB)] if k == "embeddings.word_embeddings.weight" else v
               for k, v in m["weights"].items()}
    if onnx_only:  # the graph applies the projection; no safetensors weights at all
        onnx.save(onnx_graph(weights, m["projection"], token_types=False, output="token_embeddings"),
                  str(directory / "model.onnx"))
    else:
        save_file({"bert." + k: v for k, v in weights.items()} | {"linear.weight": m["projection"]},
                  str(directory / "model.safetensors"))
    write_json(directory / "artifact.metadata", {
        "name": "tiny-original", "query_token_id": "[unused0]", "doc_token_id": "[unused1]", "query_token": "[Q]",
        "doc_token": "[D]", "query_maxlen": QUERY_LENGTH, "doc_maxlen": DOCUMENT_LENGTH, "dim": DIM,
        "attend_to_mask_tokens": True, "mask_punctuation": True})
    return directory
