"""The encoding settings a late-interaction checkpoint records, from either
of its two layouts' files.

A sentence-transformers style directory keeps them in
``config_sentence_transformers.json``: ``query_prefix`` and
``document_prefix`` (or ``prompts.query`` / ``prompts.document``; where both
are given they must agree), ``query_length``, ``document_length``,
``do_query_expansion``, ``attend_to_expansion_tokens`` (needed only with
expansion) and ``skiplist_words``. The original layout keeps them in
``artifact.metadata``: ``query_maxlen``, ``doc_maxlen``, ``dim``, the markers
as ``query_token_id`` / ``doc_token_id`` (a token string such as
"[unused0]", or an id) or else ``query_token`` / ``doc_token``,
``attend_to_mask_tokens`` and ``mask_punctuation``; its queries are always
expanded. A missing, mistyped or contradictory setting is refused with the
file and the setting named, since guessing one would encode silently unlike
the model was trained. Both layouts may record the checkpoint's ``name``.
"""

from __future__ import annotations

import json
import pathlib
import string
from dataclasses import dataclass
from typing import Optional, Union

from ..errors import Error

__all__ = ["CheckpointError", "CheckpointSettings", "read_json", "sentence_transformers_settings",
           "original_settings"]

SENTENCE_TRANSFORMERS_FILE = "config_sentence_transformers.json"
ORIGINAL_FILE = "artifact.metadata"

_MISSING = object()


class CheckpointError(Error, ValueError):
    """A checkpoint that cannot be loaded as its files say; the message names the file."""


@dataclass(frozen=True)
class CheckpointSettings:
    file: pathlib.Path  # where they were read
    name: Optional[str]
    query_marker: Union[str, int]  # a token string or a token id
    document_marker: Union[str, int]
    query_length: int
    document_length: int
    expand_queries: bool
    attend_expansion: bool
    skiplist_words: tuple[str, ...]
    marker_settings: dict  # {"query": name, "document": name}: the settings the markers came from
    length_settings: tuple[str, str]  # the names of the query's and the document's length settings
    dimension: Optional[int] = None  # the projection's output width, when the file records it


def read_json(path: pathlib.Path) -> dict:
    if not path.is_file():
        raise CheckpointError(f"{path}: file is missing")
    try:
        raw = json.loads(path.read_text())
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise CheckpointError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(raw, dict):
        raise CheckpointError(f"{path}: expected a JSON object, found {type(raw).__name__}")
    return raw


def _one(path: pathlib.Path, candidates: dict[str, object], kind, required: bool = True):
    """The value the present candidate names give (they must agree), checked
    to be of ``kind``: "int" (positive), "bool", "str", "marker" (str or id)
    or "words" (list of str)."""
    present = {name: value for name, value in candidates.items() if value is not _MISSING}
    label = " or ".join(candidates)
    if not present:
        if required:
            raise CheckpointError(f"{path}: setting {label} is missing")
        return _MISSING
    values = list(present.values())
    if any(v != values[0] for v in values[1:]):
        shown = "; ".join(f"{name} = {value!r}" for name, value in present.items())
        raise CheckpointError(f"{path}: settings contradict each other: {shown}")
    name, value = next(iter(present.items()))
    ok = {"int": lambda v: isinstance(v, int) and not isinstance(v, bool) and v > 0,
          "bool": lambda v: isinstance(v, bool),
          "str": lambda v: isinstance(v, str) and v.strip() != "",
          "marker": lambda v: (isinstance(v, str) and v.strip() != "")
          or (isinstance(v, int) and not isinstance(v, bool) and v >= 0),
          "words": lambda v: isinstance(v, list) and all(isinstance(w, str) for w in v)}[kind]
    if not ok(value):
        expected = {"int": "a positive integer", "bool": "true or false", "str": "a non-empty string",
                    "marker": "a token string or a token id", "words": "a list of strings"}[kind]
        raise CheckpointError(f"{path}: setting {name} is {value!r}, expected {expected}")
    return value


def _name(path: pathlib.Path, raw: dict) -> Optional[str]:
    name = _one(path, {"name": raw.get("name", _MISSING)}, "str", required=False)
    return None if name is _MISSING else name


def sentence_transformers_settings(directory: pathlib.Path) -> CheckpointSettings:
    path = directory / SENTENCE_TRANSFORMERS_FILE
    raw = read_json(path)
    prompts = raw.get("prompts", {})
    if not isinstance(prompts, dict):
        raise CheckpointError(f"{path}: setting prompts is {prompts!r}, expected an object")

    def prefix(kind: str) -> str:
        return _one(path, {f"{kind}_prefix": raw.get(f"{kind}_prefix", _MISSING),
                           f"prompts.{kind}": prompts.get(kind, _MISSING)}, "str")

    marker_settings = {kind: f"{kind}_prefix" if f"{kind}_prefix" in raw else f"prompts.{kind}"
                       for kind in ("query", "document")}

    expand = _one(path, {"do_query_expansion": raw.get("do_query_expansion", _MISSING)}, "bool")
    attend = _one(path, {"attend_to_expansion_tokens": raw.get("attend_to_expansion_tokens", _MISSING)}, "bool",
                  required=expand)
    attend = False if attend is _MISSING else attend
    if attend and not expand:
        raise CheckpointError(f"{path}: settings contradict each other: attend_to_expansion_tokens is true "
                              f"but do_query_expansion is false")
    return CheckpointSettings(
        file=path,
        name=_name(path, raw),
        query_marker=prefix("query").strip(),
        document_marker=prefix("document").strip(),
        query_length=_one(path, {"query_length": raw.get("query_length", _MISSING)}, "int"),
        document_length=_one(path, {"document_length": raw.get("document_length", _MISSING)}, "int"),
        expand_queries=expand,
        attend_expansion=attend,
        skiplist_words=tuple(_one(path, {"skiplist_words": raw.get("skiplist_words", _MISSING)}, "words")),
        marker_settings=marker_settings,
        length_settings=("query_length", "document_length"),
    )


def original_settings(directory: pathlib.Path) -> CheckpointSettings:
    path = directory / ORIGINAL_FILE
    raw = read_json(path)

    def marker(kind: str) -> Union[str, int]:
        # The *_token_id setting names the token the model was trained with;
        # *_token may only be a display name beside it ("[Q]" for "[unused0]").
        if f"{kind}_token_id" in raw:
            value = _one(path, {f"{kind}_token_id": raw[f"{kind}_token_id"]}, "marker")
        else:
            value = _one(path, {f"{kind}_token_id or {kind}_token": raw.get(f"{kind}_token", _MISSING)}, "marker")
        return value.strip() if isinstance(value, str) else value

    marker_settings = {"query": "query_token_id" if "query_token_id" in raw else "query_token",
                       "document": "doc_token_id" if "doc_token_id" in raw else "doc_token"}

    punctuation = _one(path, {"mask_punctuation": raw.get("mask_punctuation", _MISSING)}, "bool")
    return CheckpointSettings(
        file=path,
        name=_name(path, raw),
        query_marker=marker("query"),
        document_marker=marker("doc"),
        query_length=_one(path, {"query_maxlen": raw.get("query_maxlen", _MISSING)}, "int"),
        document_length=_one(path, {"doc_maxlen": raw.get("doc_maxlen", _MISSING)}, "int"),
        expand_queries=True,
        attend_expansion=_one(path, {"attend_to_mask_tokens": raw.get("attend_to_mask_tokens", _MISSING)}, "bool"),
        skiplist_words=tuple(string.punctuation) if punctuation else (),
        marker_settings=marker_settings,
        length_settings=("query_maxlen", "doc_maxlen"),
        dimension=_one(path, {"dim": raw.get("dim", _MISSING)}, "int"),
    )
