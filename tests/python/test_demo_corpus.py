"""The demo's corpus parsing and metrics, on small hand-written pages (no download)."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))

import corpus  # noqa: E402
import quality  # noqa: E402

FAQ = """\
===========
General FAQ
===========

.. contents::

Why is the sky blue?
--------------------

Because of :term:`Rayleigh scattering <scattering>`, see ``sky`` and
`the article <https://example.org>`_ on :func:`~colour.blue`.

.. note::

   Also at *dusk*.

Is it?
------

Yes.

A heading that asks nothing
---------------------------

Some words here.
"""


def write_tree(root: pathlib.Path, long_words: int) -> pathlib.Path:
    (root / "faq").mkdir(parents=True)
    (root / "faq" / "general.rst.txt").write_text(FAQ)
    (root / "library").mkdir()
    body = " ".join(f"w{i}" for i in range(long_words))
    (root / "library" / "os.rst.txt").write_text(f"os\n==\n\n.. _label:\n\n{body}\n\nTiny\n----\n\nfew words only\n")
    (root / "whatsnew").mkdir()
    (root / "whatsnew" / "3.11.rst.txt").write_text("New\n===\n\n" + "skipped " * 50 + "\n")
    return root


def test_questions_answers_and_distractors(tmp_path):
    c = corpus.load(write_tree(tmp_path, 350), "3.11.2-test")
    # "Is it?" has a one-word answer; the third heading is no question.
    assert [q.text for q in c.questions] == ["Why is the sky blue?"]
    answer = c.documents[c.questions[0].answer_id]
    assert answer == ("Because of Rayleigh scattering, see sky and the article on colour.blue. Also at dusk.")
    assert c.answers == {c.questions[0].answer_id}
    distractors = sorted(set(c.documents) - c.answers)
    # 350 words split into three passages of at most 160; "Tiny" is too short; whatsnew/ is left out.
    assert len(distractors) == 3 and all(d.startswith("library/os#") for d in distractors)
    sizes = [len(c.documents[d].split()) for d in distractors]
    assert sizes == [118, 117, 116]  # 117 + 117 + 116, the first with the heading "os:"
    assert c.documents[distractors[0]].startswith("os: w0 ")


def test_sample_keeps_every_answer_and_is_deterministic(tmp_path):
    c = corpus.load(write_tree(tmp_path, 2000), "v")
    questions, ids = corpus.sample(c, passages=5, queries=1)
    assert len(ids) == 5 and set(c.answers) <= set(ids)
    assert (questions, ids) == corpus.sample(c, passages=5, queries=1)
    assert corpus.sample(c, None, None)[1] == sorted(c.answers) + sorted(set(c.documents) - c.answers)


@pytest.mark.parametrize("ranked, expected", [
    (["a", "x", "y"], {"ndcg": 1.0, "recall": 1.0, "mrr": 1.0}),
    (["x", "y", "a"], {"ndcg": 0.5, "recall": 1.0, "mrr": 1 / 3}),
    ([f"x{i}" for i in range(10)] + ["a"], {"ndcg": 0.0, "recall": 0.0, "mrr": 0.0}),
])
def test_metrics_with_one_relevant_document(ranked, expected):
    assert quality.metrics(ranked, ["a"]) == pytest.approx(expected)


def test_maxsim_reference_and_ranking_comparison(rng):
    q = rng.standard_normal((3, 4)).astype(np.float32)
    docs = [rng.standard_normal((n, 4)).astype(np.float32) for n in (1, 4, 2)]
    scores = quality.maxsim_all(q, np.concatenate(docs), np.array([1, 4, 2]))
    loop = [sum(max(float(t @ row) for t in d) for row in q) for d in docs]
    np.testing.assert_allclose(scores, loop, rtol=1e-5)
    reference = {"a": 3.0, "b": 2.0, "c": 2.0 + 1e-6, "d": 1.0}
    assert quality.ranking_matches(["a", "c", "b"], ["a", "b", "c", "d"], reference, 3) == (True, "")
    ok, why = quality.ranking_matches(["a", "d", "b"], ["a", "b", "c", "d"], reference, 3)
    assert not ok and why.startswith("rank 2: d")
