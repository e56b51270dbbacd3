"""A tiny TextEncoder for tests: a random two-layer BERT over a small word
list, deterministic from its seed, so that a process starts it in
milliseconds and every process builds the same one."""

import numpy as np

from quillmark.encoders import TextEncoder
from quillmark.encoders.bert import BertConfig, NumpyBert
from quillmark.representation import Representation

WORDS = ["the", "weather", "is", "lovely", "today", "sunny", "outside", "he", "drove", "to", "stadium",
         "lists", "tuples", "are", "mutable", "immutable", "sequences", "can", "modify", "a", "dict",
         "keys", "values", "python", "files", "open", "read", "write", ".", "!", "?"]
CONFIG = BertConfig(hidden_size=16, num_attention_heads=4, num_hidden_layers=2, intermediate_size=24,
                    max_position_embeddings=64)


def tiny_weights(rng, config: BertConfig, vocab: int) -> dict:
    """Random BERT weights of ``config`` for ``vocab`` word pieces, drawn from ``rng``."""
    h, i = config.hidden_size, config.intermediate_size

    def rand(*shape):
        return rng.standard_normal(shape).astype(np.float32) * np.float32(0.3)

    w = {"embeddings.word_embeddings.weight": rand(vocab, h),
         "embeddings.position_embeddings.weight": rand(config.max_position_embeddings, h),
         "embeddings.token_type_embeddings.weight": rand(2, h),
         "embeddings.LayerNorm.weight": 1 + rand(h), "embeddings.LayerNorm.bias": rand(h)}
    for layer in range(config.num_hidden_layers):
        p = f"encoder.layer.{layer}."
        for name, (out, inp) in {"attention.self.query": (h, h), "attention.self.key": (h, h),
                                 "attention.self.value": (h, h), "attention.output.dense": (h, h),
                                 "intermediate.dense": (i, h), "output.dense": (h, i)}.items():
            w[p + name + ".weight"], w[p + name + ".bias"] = rand(out, inp), rand(out)
        for norm in ("attention.output.LayerNorm", "output.LayerNorm"):
            w[p + norm + ".weight"], w[p + norm + ".bias"] = 1 + rand(h), rand(h)
    return w


def word_piece_tokenizer(words: list[str]):
    """A lower-casing word-piece tokenizer over ``words`` (ids from 4; 0-3 are
    [PAD], [UNK], [CLS], [SEP]) that wraps a text in [CLS] ... [SEP]."""
    import tokenizers

    vocab = {"[PAD]": 0, "[UNK]": 1, "[CLS]": 2, "[SEP]": 3, **{word: 4 + i for i, word in enumerate(words)}}
    tokenizer = tokenizers.Tokenizer(tokenizers.models.WordPiece(vocab, unk_token="[UNK]"))
    tokenizer.normalizer = tokenizers.normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = tokenizers.pre_tokenizers.BertPreTokenizer()
    tokenizer.post_processor = tokenizers.processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 2), ("[SEP]", 3)])
    return tokenizer


def tiny_encoder(seed: int = 7, **options) -> TextEncoder:
    weights = tiny_weights(np.random.default_rng(seed), CONFIG, 4 + len(WORDS))
    return TextEncoder(word_piece_tokenizer(WORDS), NumpyBert(weights, CONFIG),
                       Representation("tiny-test-bert", f"seed-{seed}", CONFIG.hidden_size, True),
                       max_tokens=32, workers=1, **options)
