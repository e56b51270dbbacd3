"""The demo's corpus: the Python documentation of Debian's python3.11-doc.

Queries are the questions of the Python FAQ (``faq/*.rst`` section headings
that end with a question mark and have an answer of at least three words);
the one relevant document of a query is the answer under its heading.
Distractors are the sections of every other page (not ``faq/``, whose answers
are documents already, and not ``whatsnew/``), split into passages of at most
160 words. The package is fetched with ``apt-get download`` and unpacked with
``dpkg-deb -x`` into a cache folder; nothing is installed.
"""

from __future__ import annotations

import dataclasses
import math
import pathlib
import re
import shutil
import subprocess

import numpy as np

PACKAGE = "python3.11-doc"
SOURCES = pathlib.Path("usr/share/doc/python3.11/html/_sources")
PASSAGE_WORDS = 160
MIN_ANSWER_WORDS = 3
MIN_PASSAGE_WORDS = 10

# A section underline (or overline): one punctuation character repeated.
_ADORNMENT = re.compile(r"^([=\-~^\"'`#*+.:_])\1+\s*$")


@dataclasses.dataclass(frozen=True)
class Question:
    query_id: str
    text: str
    answer_id: str


@dataclasses.dataclass(frozen=True)
class Corpus:
    version: str
    questions: list[Question]
    documents: dict[str, str]  # document id -> text: every FAQ answer and every distractor passage
    answers: frozenset[str]  # the ids of the FAQ answers


class CorpusUnavailable(RuntimeError):
    pass


def fetch(cache: pathlib.Path) -> tuple[pathlib.Path, str]:
    """The unpacked ``_sources`` folder and the package version, downloading and
    unpacking the package into ``cache`` on first use."""
    cache = pathlib.Path(cache)
    root = cache / "unpacked" / SOURCES
    version_file = cache / "version"
    if root.is_dir() and version_file.exists():
        return root, version_file.read_text().strip()
    cache.mkdir(parents=True, exist_ok=True)
    for tool in ("apt-get", "dpkg-deb"):
        if shutil.which(tool) is None:
            raise CorpusUnavailable(f"{tool} is not available: the corpus is Debian's {PACKAGE} package")
    debs = sorted(cache.glob(f"{PACKAGE}_*.deb"))
    if not debs:
        download = ["apt-get", "download", PACKAGE]
        if subprocess.run(download, cwd=cache, capture_output=True).returncode != 0:
            # A fresh machine may not know the package yet.
            subprocess.run(["apt-get", "update", "-qq"], capture_output=True)
            done = subprocess.run(download, cwd=cache, capture_output=True, text=True)
            if done.returncode != 0:
                raise CorpusUnavailable(
                    f"could not download {PACKAGE} ({done.stderr.strip()}); fetch it with: "
                    f"apt-get update && (cd {cache} && apt-get download {PACKAGE})"
                )
        debs = sorted(cache.glob(f"{PACKAGE}_*.deb"))
    deb = debs[-1]
    shutil.rmtree(cache / "unpacked", ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", str(deb), str(cache / "unpacked")], check=True)
    version = subprocess.run(["dpkg-deb", "-f", str(deb), "Version"], check=True, capture_output=True, text=True)
    if not root.is_dir():
        raise CorpusUnavailable(f"{deb} holds no {SOURCES}")
    version_file.write_text(version.stdout.strip() + "\n")
    return root, version.stdout.strip()


def sections(text: str) -> list[tuple[str | None, list[str]]]:
    """The (title, body lines) of every section of a reST page, in order; the
    lines before the first heading come with title ``None``."""
    lines = text.splitlines()
    out: list[tuple[str | None, list[str]]] = []
    title: str | None = None
    body: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        underline = lines[i + 1] if i + 1 < len(lines) else ""
        if (
            line.strip()
            and not line[0].isspace()
            and not _ADORNMENT.match(line)
            and _ADORNMENT.match(underline)
            and len(underline.rstrip()) >= len(line.rstrip())
        ):
            if body and _ADORNMENT.match(body[-1]):
                body.pop()  # the overline of this heading
            out.append((title, body))
            title, body = line.strip(), []
            i += 2
            continue
        body.append(line)
        i += 1
    out.append((title, body))
    return out


_ROLE = re.compile(r":[\w:.+-]+:`([^`]*)`")
_LINK = re.compile(r"`([^`<]*?)\s*<[^`>]*>`_{1,2}")
_REFERENCE = re.compile(r"`([^`]+)`_{1,2}")
_LITERAL = re.compile(r"``([^`]*)``")
_EMPHASIS = re.compile(r"\*{1,2}([^*\s][^*]*?)\*{1,2}")
_DIRECTIVE = re.compile(r"^\s*\.\.\s+(\S+::|_[^:]*:|\[|\|)")
_COMMENT = re.compile(r"^\.\.(\s|$)")
_FIELD = re.compile(r"^\s+:[\w-]+:(\s|$)")


def _role_text(match: re.Match) -> str:
    inner = match.group(1)
    explicit = re.match(r"(.*?)\s*<[^>]*>$", inner, re.S)
    if explicit and explicit.group(1):
        inner = explicit.group(1)
    return inner.lstrip("~!")


def clean(lines: list[str]) -> str:
    """Plain text of reST body lines: directives, labels and comments dropped,
    inline markup reduced to its text, whitespace collapsed."""
    kept = []
    in_comment = False
    for line in lines:
        if _DIRECTIVE.match(line) or _COMMENT.match(line):
            # A directive's name line goes; its indented content stays (code,
            # notes). A bare comment goes with its indented block.
            in_comment = bool(_COMMENT.match(line)) and not _DIRECTIVE.match(line)
            continue
        if in_comment and (not line.strip() or line[0].isspace()):
            continue
        in_comment = False
        if _FIELD.match(line) or _ADORNMENT.match(line):
            continue
        kept.append(line)
    text = " ".join(kept)
    text = _ROLE.sub(_role_text, text)
    text = _LINK.sub(r"\1", text)
    text = _LITERAL.sub(r"\1", text)
    text = _REFERENCE.sub(r"\1", text)
    text = _EMPHASIS.sub(r"\1", text)
    text = text.replace("::", ":")
    return " ".join(text.split())


def _split(words: list[str], limit: int) -> list[list[str]]:
    parts = math.ceil(len(words) / limit)
    size = math.ceil(len(words) / parts)
    return [words[i : i + size] for i in range(0, len(words), size)]


def load(root: pathlib.Path, version: str) -> Corpus:
    questions: list[Question] = []
    documents: dict[str, str] = {}
    answers = set()
    for page in sorted((root / "faq").glob("*.rst.txt")):
        name = page.name[: -len(".rst.txt")]
        for n, (title, body) in enumerate(sections(page.read_text())):
            if not title or not title.endswith("?"):
                continue
            answer = clean(body)
            if len(answer.split()) < MIN_ANSWER_WORDS:
                continue
            answer_id = f"faq/{name}#{n}"
            documents[answer_id] = answer
            answers.add(answer_id)
            questions.append(Question(f"q:{answer_id}", clean([title]), answer_id))
    for page in sorted(root.rglob("*.rst.txt")):
        relative = page.relative_to(root).as_posix()[: -len(".rst.txt")]
        if relative.startswith(("faq/", "whatsnew/")):
            continue
        for n, (title, body) in enumerate(sections(page.read_text())):
            words = clean(body).split()
            if len(words) < MIN_PASSAGE_WORDS:
                continue
            heading = clean([title]) + ": " if title else ""
            for k, part in enumerate(_split(words, PASSAGE_WORDS)):
                documents[f"{relative}#{n}.{k}"] = (heading if k == 0 else "") + " ".join(part)
    return Corpus(version, questions, documents, frozenset(answers))


def sample(corpus: Corpus, passages: int | None, queries: int | None, seed: int = 12) -> tuple[list[Question], list[str]]:
    """The queries and the document ids of one run: every FAQ answer plus
    distractors drawn with a fixed seed up to ``passages`` documents (all when
    ``None``), and ``queries`` questions drawn with the same seed (all when
    ``None``). Ids come back in a stable order."""
    rng = np.random.default_rng(seed)
    distractors = sorted(set(corpus.documents) - corpus.answers)
    if passages is not None:
        count = max(0, min(len(distractors), passages - len(corpus.answers)))
        distractors = sorted(rng.choice(distractors, size=count, replace=False).tolist())
    questions = corpus.questions
    if queries is not None and queries < len(questions):
        chosen = sorted(rng.choice(len(questions), size=queries, replace=False).tolist())
        questions = [questions[i] for i in chosen]
    return questions, sorted(corpus.answers) + distractors
