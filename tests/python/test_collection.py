"""Collection: texts in, ranked texts out, with a tiny encoder."""

import math
import threading

import pytest

pytest.importorskip("tokenizers", reason="the tiny test encoder needs the tokenizers library")

from quillmark import Collection, IncompatibleQueryError  # noqa: E402
from tiny_encoder import tiny_encoder  # noqa: E402

DOCS = {"lists": "lists are mutable sequences .", "tuples": "tuples are immutable sequences .",
        "weather": "the weather is lovely today !"}


@pytest.fixture
def made(tmp_path):
    collection = Collection.create(tmp_path / "c", tiny_encoder())
    collection.add(list(DOCS), list(DOCS.values()), [{"kind": "seq"}, {"kind": "seq", "n": 2}, None])
    yield collection
    collection.close()


def test_readers_see_commits_only_and_a_reopened_collection_holds_them(made, tmp_path):
    reader = Collection.open(tmp_path / "c", tiny_encoder())
    assert len(reader.search("can tuples modify")) == 0 and reader.get() == {}
    as_of = made.commit()
    hits = reader.search("tuples are immutable", limit=2)
    assert hits[0].id == "tuples" and hits[0].text == DOCS["tuples"] and hits[0].metadata == {"kind": "seq", "n": 2}
    assert hits.as_of == as_of and len(hits) == 2 and hits[0].score >= hits[1].score
    made.add(["tuples"], ["tuples : replaced ."], [{"kind": "new"}])
    made.delete(["lists"])
    assert reader.get() == {i: (t, m) for i, t, m in zip(DOCS, DOCS.values(), [{"kind": "seq"}, {"kind": "seq", "n": 2}, None])}
    made.commit()
    assert reader.get() == {"tuples": ("tuples : replaced .", {"kind": "new"}), "weather": (DOCS["weather"], None)}
    made.add(["weather"], ["the weather is sunny"])
    made.close()  # closing never commits
    with Collection.open(tmp_path / "c", tiny_encoder()) as again:
        assert again.get()["weather"] == (DOCS["weather"], None) and len(again) == 2
    reader.close()


@pytest.mark.parametrize("ids, texts, metadata, error, message", [
    ([1], ["the"], None, TypeError, r"ids\[0\] is int, not str"),
    (["a", "a"], ["the", "is"], None, ValueError, "ids holds an id more than once"),
    (["a", "b"], ["the"], None, ValueError, "ids holds 2 ids but texts 1 texts"),
    (["a"], [""], None, ValueError, "text at position 0 is empty"),
    (["a"], [b"the"], None, TypeError, "text at position 0 is bytes, not str"),
    (["a"], ["the"], [{"k": 1}, None], ValueError, "metadata holds 2 entries for 1 ids"),
    (["a"], ["the"], ["k"], TypeError, r"metadata\[0\] is str, not a dict or None"),
    (["a"], ["the"], [{"k": {1, 2}}], ValueError, r"metadata\[0\] is not JSON-serialisable"),
    (["a"], ["the"], [{"k": math.nan}], ValueError, r"metadata\[0\] is not JSON-serialisable"),
])
def test_bad_input_is_refused_and_nothing_is_staged(made, ids, texts, metadata, error, message):
    with pytest.raises(error, match=message):
        made.add(ids, texts, metadata)
    made.commit()
    assert set(made.get()) == set(DOCS)


def test_opening_and_creating_refuse_what_they_cannot_serve(made, tmp_path):
    path = tmp_path / "c"
    with pytest.raises(IncompatibleQueryError, match="encoder_revision"):
        Collection.open(path, tiny_encoder(seed=8))
    with pytest.raises(ValueError, match="which is neither bundled nor a checkpoint directory: pass it"):
        Collection.open(path)
    with pytest.raises(FileNotFoundError, match="is not a collection"):
        Collection.open(tmp_path)
    with pytest.raises(FileExistsError):
        Collection.create(path, tiny_encoder())
    made.close()
    texts = path / "texts.sqlite"
    saved = texts.read_bytes()
    texts.write_bytes(b"not a database" * 100)
    with pytest.raises(ValueError, match="texts.sqlite is damaged"):
        Collection.open(path, tiny_encoder())
    texts.write_bytes(saved)
    holder = Collection.open(path, tiny_encoder())
    holder.add(["w"], ["the"])  # takes the writer lock
    second = Collection.open(path, tiny_encoder())
    with pytest.raises(BlockingIOError, match="already open for writing"):
        second.add(["x"], ["the"])  # one writer at a time
    second.close()
    holder.close()


def test_searches_during_commits_read_each_text_with_its_own_metadata(made):
    made.delete(list(DOCS))
    made.commit()
    stop, seen, failures = threading.Event(), [0], []

    def read():
        while not stop.is_set():
            for hit in made.search("the weather today", limit=5):
                # Text and metadata come from one version of one document.
                if hit.metadata is None or not hit.text.endswith(f"v{hit.metadata['v']}") or \
                        not hit.text.startswith(hit.id):
                    failures.append(hit)
            seen[0] += 1

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for v in range(30):
            ids = [f"d{n}" for n in range(v % 4, v % 4 + 3)]
            made.add(ids, [f"{i} the weather is lovely v{v}" for i in ids], [{"v": v}] * len(ids))
            made.delete([f"d{(v + 5) % 7}"])
            made.commit()
    finally:
        stop.set()
        reader.join()
    assert not failures and seen[0] > 0


@pytest.mark.parametrize("where", [
    {"k": {"$gte": 45}}, {"$and": [{"even": True}, {"k": {"$lt": 30}}]}, {"k": {"$in": [3, 4, 99]}},
    {"$or": [{"k": 7}, {"even": False}]}, {"k": {"$ne": 0}}, {"missing": 1},
])
def test_where_filters_before_the_first_stage_and_loses_no_hit(tmp_path, where):
    with Collection.create(tmp_path / "w", tiny_encoder()) as collection:
        ids = [f"d{i:02d}" for i in range(60)]
        collection.add(ids, [f"the weather is lovely today {'!' * (i % 5)}" for i in range(60)],
                       [{"k": i, "even": i % 2 == 0} for i in range(60)])
        collection.add(["d00"], ["the weather"], [{"k": 100, "even": True}])  # replaced: its new metadata counts
        collection.commit()
        metadata = {i: m for i, (_, m) in collection.get().items()}
        matching = {i for i, m in metadata.items() if _matches(where, m)}
        hits = collection.search("the weather", limit=10, gather_limit=10, where=where)
        assert {h.id for h in hits} <= matching and len(hits) == min(10, len(matching))


def _matches(where, m):
    if "$and" in where:
        return all(_matches(w, m) for w in where["$and"])
    if "$or" in where:
        return any(_matches(w, m) for w in where["$or"])
    (field, condition), = where.items()
    if not isinstance(condition, dict):
        condition = {"$eq": condition}
    (op, value), = condition.items()
    present = field in m
    return {"$gte": lambda: present and m[field] >= value, "$lt": lambda: present and m[field] < value,
            "$in": lambda: present and m[field] in value, "$ne": lambda: not present or m[field] != value,
            "$eq": lambda: present and m[field] == value}[op]()


@pytest.mark.parametrize("fail_at", ["texts", "record", "rename"])
def test_a_failed_creation_leaves_nothing_at_the_path(tmp_path, monkeypatch, fail_at):
    import quillmark.collection as module

    def boom(*args, **kwargs):
        raise OSError(5, "injected failure")

    target = {"texts": (module.TextTable, "__init__"), "record": (module, "_write_json"),
              "rename": (module.os, "rename")}[fail_at]
    with monkeypatch.context() as patched:
        patched.setattr(*target, boom)
        with pytest.raises(OSError, match="injected failure"):
            Collection.create(tmp_path / "c", tiny_encoder())
    assert list(tmp_path.iterdir()) == []  # neither the collection nor its building directory
    (tmp_path / "c").mkdir()  # an empty directory is taken over whole
    with Collection.create(tmp_path / "c", tiny_encoder()) as made:
        made.add(["a"], ["the weather is lovely"])
        made.commit()
    with Collection.open(tmp_path / "c", tiny_encoder()) as reopened:
        assert list(reopened.get()) == ["a"]
