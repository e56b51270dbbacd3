"""The quillmark command, run in-process on collections of the tiny encoder."""

import os
import sqlite3
import subprocess
import sys

import numpy as np
import pytest

from quillmark import Collection, VectorStore, VectorStoreWriter
from quillmark.cli import main, split_markdown, split_rst

from tiny_encoder import tiny_encoder

TINY = ["--encoder-factory", "tiny_encoder:tiny_encoder"]

MARKDOWN = "# Weather\nthe weather is lovely today\n```\n# not a heading\n```\n## Sunny\nsunny outside\n"
RST = "Lists\n=====\n\npython lists are mutable\n\nTuples\n------\ntuples are immutable sequences\n"


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "tree"
    (root / "sub").mkdir(parents=True)
    (root / "a.md").write_text(MARKDOWN)
    (root / "sub" / "b.rst").write_text(RST)
    (root / "sub" / "c.txt").write_text("he drove to stadium\n")
    (root / "blank.txt").write_text("  \n\n")
    (root / "ignored.py").write_text("python files")
    return root


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("split, text, expected", [
    (split_markdown, MARKDOWN, [(1, "# Weather"), (2, "## Sunny")]),
    (split_markdown, "intro\n#tag is no heading\n# H\nx\n", [(0, "intro"), (1, "# H")]),
    (split_markdown, "no headings\n", [(0, "no headings")]),
    (split_markdown, "    # indented code\n~~~\n# in fence\n~~~\n", [(0, "    # indented code")]),
    (split_rst, RST, [(1, "Lists"), (2, "Tuples")]),
    (split_rst, "lead\n\n=====\nTitle\n=====\nbody\nShort\n-----\n", [(0, "lead"), (1, "====="), (2, "Short")]),
    (split_rst, "Too long a title\n----\ntext\n", [(0, "Too long a title")]),
])
def test_sections(split, text, expected):
    sections = split(text)
    assert [(n, s.splitlines()[0]) for n, s in sections] == expected
    assert "".join(s for _, s in sections).strip() == text.strip()  # nothing lost, nothing doubled


@pytest.mark.parametrize("per, expected", [
    ("file", {"a.md", "sub/b.rst", "sub/c.txt"}),
    ("section", {"a.md#1", "a.md#2", "sub/b.rst#1", "sub/b.rst#2", "sub/c.txt#0"}),
])
def test_index_search_info(capsys, tmp_path, tree, per, expected):
    path = tmp_path / "c"
    code, out, _ = run(capsys, "index", path, tree, "--per", per, *TINY)
    assert code == 0 and out.startswith(f"indexed {len(expected)} documents, skipped 1 blank")
    # Indexing again replaces the same documents; a file given directly is named by its name.
    assert run(capsys, "index", path, tree / "sub" / "c.txt", *TINY)[0] == 0
    with Collection.open(path, tiny_encoder()) as collection:
        documents = collection.get()
    assert set(documents) == expected | {"c.txt"}
    assert documents["c.txt"] == ("he drove to stadium\n", {"file": "c.txt", "suffix": ".txt"})

    target = "sub/b.rst#2" if per == "section" else "sub/c.txt"
    code, out, _ = run(capsys, "search", path, documents[target][0], "-k", 2, *TINY)
    lines = out.splitlines()
    assert code == 0 and len(lines) == 3 and lines[-1].startswith("as of ")
    with Collection.open(path, tiny_encoder()) as collection:
        best = collection.search(documents[target][0], limit=2)[0]
    assert lines[0].split()[:3] == ["1.", best.id, f"{best.score:.3f}"] and best.id in (target, "c.txt")

    code, out, _ = run(capsys, "search", path, "python lists", "--where", '{"suffix": ".rst"}', *TINY)
    ids = [line.split()[1] for line in out.splitlines()[:-1]]
    assert code == 0 and ids and all(i.startswith("sub/b.rst") for i in ids)

    code, out, _ = run(capsys, "info", path)
    fields = dict(line.split(":", 1) for line in out.splitlines())
    view = VectorStore(path / "vectors").view()
    assert code == 0 and int(fields["documents"]) == len(expected) + 1
    assert int(fields["tokens"]) == sum(view.fetch(view.document_ids)[1])
    assert fields["commit"].split()[0] == str(view.commit) == "2"
    # The store's own statistics; the two index runs made two segments.
    assert fields["superseded"].split()[0] == str(sum(s[1] for s in view.segments) - len(view.document_ids))
    stats = view.stats()
    assert fields["store files"].strip() == ", ".join(
        f"{kind} {size:,} B in {stats['files'][kind]}" for kind, size in stats["bytes"].items() if size)
    assert fields["compaction"].split()[2] == str(stats["compaction_removes"]) != "0"


def _drop_text(path):
    with sqlite3.connect(path / "texts.sqlite") as db:
        db.execute("DELETE FROM texts WHERE id = 'sub/c.txt'")
    return "'sub/c.txt': vectors but no text"


def _extra_text(path):
    with sqlite3.connect(path / "texts.sqlite") as db:
        db.execute("INSERT INTO texts VALUES ('ghost', 1, 0, 'boo', NULL)")
    return "'ghost': a text at commit 1 but no vectors"


def _far_future_row(path):
    with sqlite3.connect(path / "texts.sqlite") as db:
        db.execute("INSERT INTO texts VALUES ('ghost', 3, 0, 'boo', NULL)")
    return "1 text rows of commit 3"


def _truncated_vectors(path):
    file = next((path / "vectors").glob("*.vectors.npy"))
    os.truncate(file, file.stat().st_size - 8)
    return "unreadable"


@pytest.mark.parametrize("damage", [_drop_text, _extra_text, _far_future_row, _truncated_vectors])
def test_verify(capsys, tmp_path, tree, damage):
    path = tmp_path / "c"
    run(capsys, "index", path, tree, *TINY)
    code, out, _ = run(capsys, "verify", path)
    assert code == 0 and out.splitlines()[-1] == "sound"
    # Rows of a commit that never reached the store are reported, not damage.
    with sqlite3.connect(path / "texts.sqlite") as db:
        db.execute("INSERT INTO texts VALUES ('pending', 2, 0, 'half made', NULL)")
    code, out, _ = run(capsys, "verify", path)
    assert code == 0 and "unfinished commit 2" in out

    expected = damage(path)
    code, out, _ = run(capsys, "verify", path)
    problems = [line for line in out.splitlines() if line.startswith("  ")]
    assert code == 1 and "damaged" in out and any(expected in line for line in problems), out


def test_verify_catches_vectors_that_are_not_unit_length(capsys, tmp_path, tree):
    path = tmp_path / "c"
    run(capsys, "index", path, tree / "sub" / "c.txt", *TINY)
    # The writer refuses such rows: change the stored bytes in place.
    stored = np.load(next((path / "vectors").glob("*.vectors.npy")), mmap_mode="r+")
    stored[0] *= 1.01
    stored.flush()
    del stored
    code, out, _ = run(capsys, "verify", path)
    assert code == 1 and "'c.txt': a vector whose length is 1.01" in out


@pytest.fixture
def indexed(capsys, tmp_path, tree):
    run(capsys, "index", tmp_path / "c", tree, *TINY)
    return tmp_path / "c"


@pytest.mark.parametrize("argv", [
    ["info", "{tmp}/absent"],
    ["verify", "{tmp}/tree"],
    ["search", "{tmp}/absent", "q", *TINY],
    ["search", "{c}", "q", "--where", "{{not json", *TINY],
    ["search", "{c}", "q", "--where", '{{"$nor": []}}', *TINY],
    ["search", "{c}", "q", "--where", '{{"n": {{"$gt": true}}}}', *TINY],
    ["search", "{c}", "q"],  # made with an encoder that is not bundled
    ["search", "{c}", "q", "--encoder-factory", "no_such_module:f"],
    ["index", "{tmp}/new", "{tmp}/no/such/path", *TINY],
    ["index", "{c}", "{tmp}/tree", *TINY, "LOCKED"],
])
def test_user_errors(capsys, tmp_path, indexed, argv):
    argv = [a.format(tmp=tmp_path, c=indexed) for a in argv]
    writer = None
    if argv[-1] == "LOCKED":
        argv.pop()
        writer = VectorStoreWriter(indexed / "vectors")
    try:
        code, out, err = run(capsys, *argv)
    finally:
        if writer is not None:
            writer.close()
    assert code == 2 and err.startswith("quillmark: error: ") and err.count("\n") == 1, err
    assert "Traceback" not in err + out
    assert not (tmp_path / "new").exists()  # a refused index makes no collection


@pytest.mark.parametrize("argv", [["search", "c", "q", "-k", "0"], ["serve", "c", "--port", "x"], ["frobnicate"], []])
def test_usage_errors(capsys, argv):
    code, _, err = run(capsys, *argv)
    assert code == 2 and "usage:" in err and "Traceback" not in err


@pytest.mark.parametrize("command", [[], ["index"], ["search"], ["info"], ["verify"], ["serve"]])
def test_help(capsys, command):
    code, out, _ = run(capsys, *command, "--help")
    assert code == 0 and out.startswith("usage: quillmark")


def test_module_entry():
    result = subprocess.run([sys.executable, "-m", "quillmark", "--help"], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=120)
    assert result.returncode == 0 and "verify" in result.stdout
