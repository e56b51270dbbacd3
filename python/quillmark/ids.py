"""The order of document ids: by their UTF-8 bytes, as the native stores
list them and as equal scores fall everywhere. UTF-8 byte order is code
point order, so it agrees with ``str`` order; keying by the bytes states the
order the stores use and refuses, with UnicodeEncodeError, a lone surrogate,
which no store can hold."""

from __future__ import annotations

from typing import Iterable

__all__ = ["utf8_key", "utf8_sorted"]


def utf8_key(document_id: str) -> bytes:
    """The sort key that orders ids by their UTF-8 bytes."""
    return document_id.encode("utf-8")


def utf8_sorted(document_ids: Iterable[str]) -> list[str]:
    """``document_ids`` in UTF-8 byte order."""
    return sorted(document_ids, key=utf8_key)
