"""The native module's public surface in one place: the names it registers,
checked against its typing stub, and the docstrings and signatures callers
read (help(), inspect.signature, editors)."""

import ast
import inspect
import pathlib

import pytest

import quillmark
from quillmark import _native
from quillmark._native import (
    Candidate,
    CommitNotDurableError,
    Feature,
    Gathered,
    IncompatibleIndexError,
    IncompatibleQueryError,
    MaxSimReranker,
    Query,
    Scored,
    SearchPipeline,
    SearchResult,
    StoreView,
    Subset,
    VectorStore,
    VectorStoreWriter,
)

STUB = ast.parse((pathlib.Path(quillmark.__file__).parent / "_native.pyi").read_text())

NAMES = [
    "IncompatibleIndexError", "IncompatibleQueryError", "CommitNotDurableError", "Feature", "Query", "Candidate",
    "Gathered", "Scored", "ResourceBudget", "MaxSimReranker", "RankedDocument", "SearchTimings", "SearchResult",
    "SearchPipeline", "Subset", "VectorStore", "StoreView", "VectorStoreWriter", "maxsim_scores_packed",
    "_check_representation", "_assert_representations_compatible", "_check_append", "_debug_text", "_document_ids",
    "_set_representation_type",
]


def stub_classes():
    return {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def test_all_lists_every_registered_name_in_order():
    assert _native.__all__ == NAMES
    for name in _native.__all__:
        assert hasattr(_native, name)
    assert len(set(_native.__all__)) == len(_native.__all__)
    public = {n for n in vars(_native) if not n.startswith("__")}
    assert public == set(_native.__all__)
    # The Python protocols are exported by the package, not the native module.
    for name in ("Gatherer", "CandidateGenerator", "Reranker", "MultiVectorSource", "VectorView"):
        assert name in quillmark.__all__ and name not in _native.__all__


def test_stub_lists_and_declares_the_same_names():
    listed = next(n.value for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(listed) == _native.__all__
    declared = {n.name for n in STUB.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert set(_native.__all__) <= declared


@pytest.mark.parametrize("name", [n for n in NAMES if isinstance(getattr(_native, n), type)])
def test_stub_class_members_exist(name):
    # Every method and property the stub declares on a native class exists
    # on it, as a method or a property alike.
    node = stub_classes()[name]
    cls = getattr(_native, name)
    members = [n for n in node.body if isinstance(n, ast.FunctionDef)]
    for member in members:
        assert hasattr(cls, member.name), f"{name}.{member.name}"
        runtime = inspect.getattr_static(cls, member.name)
        is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list)
        if is_property:
            assert not callable(runtime) or isinstance(runtime, property) or inspect.isdatadescriptor(runtime), (
                f"{name}.{member.name} is a property in the stub"
            )
    # And every public method or property of the class is in the stub.
    stubbed = {m.name for m in members}
    for attr, value in vars(cls).items():
        if attr.startswith("_"):
            continue
        assert attr in stubbed, f"{name}.{attr} is missing from the stub"


DOCS = {
    IncompatibleIndexError: "Stages or sources that cannot be composed: another representation, another score scale, "
    "or a corpus the reranker has no source for.",
    IncompatibleQueryError: "A query lacks a feature a stage needs, or supplies it from another encoder.",
    CommitNotDurableError: "A commit was published, and readers see it, but the store directory could not be flushed "
    "afterwards, so the commit may not survive a power loss. The writer already holds the commit: do not stage its "
    "changes again. Calling commit() again, or reopening the writer, flushes the directory and makes it durable.",
}
DOCS.update({
    Feature: "One query representation, materialized at most once.\n\n"
    "Pass ``value`` when it is already computed, or ``provider`` to defer the\n"
    "encoding until a stage asks for it.",
    Query: "Raw text plus the named features stages may consume.",
    Query.feature: "The value of feature ``name``, which must come from ``representation``.",
    Subset: "The documents a search is restricted to, by corpus: per corpus, either\n"
    "only some documents or every document but some.",
    Candidate: "One gathered document of ``corpus``.",
    Gathered: "What a gatherer found, and when the index it searched last committed:\n"
    "every write committed to that index before ``as_of`` is reflected in it.",
    Scored: "One score per candidate, or ``None`` for a document the reranker's index\n"
    "does not hold, and when that index last committed.",
    MaxSimReranker: "MaxSim between the query's token matrix and each candidate's document,\n"
    "read from the source of the candidate's corpus.\n\n"
    "Each source, one per corpus, is a ``VectorStore`` or any object\n"
    "implementing the ``MultiVectorSource`` protocol. Every rerank takes one\n"
    "view of each source; a document a view does not hold is unscored.",
    SearchPipeline: "Gather, optionally rerank, then deterministic top-k.\n\n"
    "Stages are Python objects implementing the ``CandidateGenerator`` and\n"
    "``Reranker`` protocols, or native stages such as ``MaxSimReranker``. A\n"
    "document is ranked only when every stage holds it.",
    SearchResult.scores: "``scores[i]`` scores ``candidates[i]``; ``None`` when the reranker's\n"
    "index does not hold it.",
    SearchResult.as_of: "Every write committed to every index the search read before this is\n"
    "reflected in the result.",
    VectorStore: "Reads a quillmark vector store, following what its writer commits.\n\n"
    "``view()`` rereads ``manifest.json`` and loads only what it has not seen;\n"
    "passed to ``MaxSimReranker`` the store hands every rerank its latest view.",
    StoreView: "One commit of a vector store. It stays readable after later commits.",
    StoreView.as_of: "When the writer committed this view.",
    StoreView.document_ids: "The IDs of every document present, sorted.",
    VectorStoreWriter.commit: "Publishes everything staged and returns the commit time readers\nreport for it.",
    VectorStoreWriter.compact: "Stages the present documents as one segment.",
})

# Docstrings whose first lines are the signature help() shows: their ends.
DOC_ENDS = {
    SearchPipeline.search: "``query`` is a ``Query`` or plain text; ``subset`` is a ``Subset``\n"
    "naming, per corpus, the documents the search is restricted to.",
    Subset.restriction: '``("only" | "except", ids)``, or ``None`` when the subset does not\n'
    "name ``corpus`` (which then contributes no documents).",
    Subset.excluding: "Every document of ``corpus`` but ``ids``; replaces any restriction\ngiven for it.",
    StoreView.fetch: "Packed float32 ``[tokens, dimension]`` vectors of ``document_ids``,\n"
    "which must be present, in order, plus their int64 lengths.",
    StoreView.document_lengths: "Token counts of the documents present among ``document_ids``.",
}

DOC_STARTS = {
    VectorStoreWriter: "Stages appends, deletes, and compactions of one vector store, and\n",
    VectorStoreWriter.merge: "Stages merges of small segments, tier by tier,",
    VectorStoreWriter.merge_at_commit: "Whether ``commit()`` runs ``merge()``",
}

# Documented without a pinned text.
DOCUMENTED = [
    StoreView.pool, StoreView.segment_document_ids, StoreView.locations, StoreView.present,
    StoreView.store_id, StoreView.segments,
]

SIGNATURES = {
    _native.ResourceBudget: "(*, max_batch_tokens=131072, max_documents_per_batch=256, threads=None)",
    _native.maxsim_scores_packed: "(query, documents, document_lengths, *, max_batch_tokens=None, threads=None)",
    _native._set_representation_type: "(cls, /)",
    Feature: "(representation, value=None, *, provider=None)",
    Query: "(text, **features)",
    Query.feature: "(self, /, name, representation)",
    Subset: "()",
    Candidate: "(corpus, document_id, gather_score, gather_rank, provenance)",
    Gathered: "(candidates, as_of)",
    Scored: "(scores, as_of)",
    Subset.including: "(self, /, corpus, ids)",
    Subset.excluding: "(self, /, corpus, ids)",
    Subset.allows: "(self, /, corpus, id)",
    Subset.restriction: "(self, /, corpus)",
    Subset.corpora: "(self, /)",
    MaxSimReranker: "(sources, *, feature=Ellipsis)",
    MaxSimReranker.rerank: "(self, /, query, candidates, *, budget)",
    SearchPipeline: "(gatherer, reranker=None)",
    SearchPipeline.search: "(self, /, query, *, gather_limit, limit, subset=None, budget=None)",
    VectorStore: "(path)",
    VectorStore.view: "(self, /)",
    VectorStore.segment_sources: "(self, /, segment_id)",
    StoreView.fetch: "(self, /, document_ids, *, threads=None)",
    StoreView.document_lengths: "(self, /, document_ids)",
    StoreView.pool: "(self, /, segment_id, *, threads=None)",
    StoreView.segment_document_ids: "(self, /, segment_id, rows=None)",
    StoreView.locations: "(self, /, document_ids)",
    StoreView.present: "(self, /, segment_ids, rows)",
    VectorStoreWriter.create: "(path, corpus, representation, *, encoding='float32')",
    VectorStoreWriter.append: "(self, /, document_ids, embeddings, document_lengths, *, threads=None)",
    VectorStoreWriter.delete: "(self, /, document_ids)",
    VectorStoreWriter.merge: "(self, /)",
}


def label(obj):
    return getattr(obj, "__qualname__", None) or repr(obj)


@pytest.mark.parametrize("obj, doc", DOCS.items(), ids=[label(o) for o in DOCS])
def test_docstring(obj, doc):
    assert obj.__doc__ == doc


@pytest.mark.parametrize("obj, end", DOC_ENDS.items(), ids=[label(o) for o in DOC_ENDS])
def test_docstring_ends(obj, end):
    assert obj.__doc__.endswith(end)


@pytest.mark.parametrize("obj, start", DOC_STARTS.items(), ids=[label(o) for o in DOC_STARTS])
def test_docstring_starts(obj, start):
    assert obj.__doc__.startswith(start)


@pytest.mark.parametrize("obj", DOCUMENTED, ids=[label(o) for o in DOCUMENTED])
def test_documented(obj):
    assert obj.__doc__ and obj.__doc__.strip()


@pytest.mark.parametrize("obj, signature", SIGNATURES.items(), ids=[label(o) for o in SIGNATURES])
def test_signature(obj, signature):
    assert str(inspect.signature(obj)) == signature


def test_writer_text_signature():
    assert VectorStoreWriter.__text_signature__ == "(path)"
