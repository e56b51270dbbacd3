import gc
import os
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import quillmark
from quillmark import Feature, Query
from quillmark.representation import Representation

import native_testing

testing = native_testing.load()

REP = Representation("enc", "r1", 2, True)
OTHER = Representation("enc", "r1", 3, True)


class Box:
    """A plain, weak-referenceable value."""


def run_threads(target, count=8, timeout=60):
    start = threading.Barrier(count)
    results = [None] * count
    errors = [None] * count

    def body(i):
        start.wait()
        try:
            results[i] = target()
        except BaseException as e:  # noqa: BLE001  (handed to the test)
            errors[i] = e

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "a thread hung"
    return results, errors


# --- Feature ---


def test_feature_value_is_the_given_object():
    obj = Box()
    feature = Feature(REP, obj)
    assert feature.value is obj
    assert Feature(REP, value=obj).value is obj
    assert feature.representation == REP
    assert feature.representation is not feature.representation


@pytest.mark.parametrize(
    "args, kwargs",
    [((REP,), {}), ((REP, None), {}), ((REP, 1), {"provider": lambda: 2}), ((REP,), {"value": 1, "provider": print})],
)
def test_feature_needs_exactly_one_of_value_or_provider(args, kwargs):
    with pytest.raises(ValueError) as raised:
        Feature(*args, **kwargs)
    assert str(raised.value) == "a feature needs exactly one of value or provider"


def test_feature_arguments():
    assert Feature(REP, None, provider=lambda: 5).value == 5
    with pytest.raises(TypeError):
        Feature(REP, 1, lambda: 2)  # provider is keyword-only
    with pytest.raises(TypeError):
        Feature()
    # The representation is converted first.
    with pytest.raises(AttributeError):
        Feature(object())
    with pytest.raises(ValueError, match="dimension must be positive"):
        Feature(Representation("e", "r", 0, True), 1, provider=print)


def test_provider_not_callable_fails_at_first_materialization():
    feature = Feature(REP, provider=42)
    with pytest.raises(TypeError):
        feature.value


def test_provider_called_once_and_released():
    calls = []
    produced = Box()

    def provider():
        calls.append(1)
        return produced

    watch = weakref.ref(provider)
    feature = Feature(REP, provider=provider)
    del provider
    assert watch() is not None
    assert calls == []
    assert feature.value is produced
    assert feature.value is produced
    assert len(calls) == 1
    assert watch() is None  # the provider is dropped once the value is stored


def test_provider_exception_is_the_same_object_and_retried():
    failure = KeyError("first call fails")
    calls = []

    def provider():
        calls.append(1)
        if len(calls) == 1:
            raise failure
        return "value"

    query = Query("q", f=Feature(REP, provider=provider))
    with pytest.raises(KeyError) as raised:
        query.feature("f", REP)
    assert raised.value is failure
    frames = [frame.name for frame in __import__("traceback").extract_tb(raised.value.__traceback__)]
    assert "provider" in frames
    assert query.feature("f", REP) == "value"
    assert query.features["f"].value == "value"
    assert len(calls) == 2


def test_provider_asking_for_its_own_feature_does_not_hang():
    holder = {}

    def provider():
        return holder["feature"].value

    holder["feature"] = Feature(REP, provider=provider)
    with pytest.raises(ValueError, match="a feature provider asked for the feature it is producing"):
        holder["feature"].value
    holder.clear()


@pytest.mark.parametrize("through_query", [False, True])
def test_concurrent_requests_call_provider_once(through_query):
    for _ in range(5):
        calls = []
        produced = Box()

        def provider():
            calls.append(1)
            time.sleep(0.02)  # lets the other threads run into the feature
            return produced

        feature = Feature(REP, provider=provider)
        query = Query("q", f=feature)
        target = (lambda: query.feature("f", REP)) if through_query else (lambda: feature.value)
        results, errors = run_threads(target)
        assert errors == [None] * 8
        assert len(calls) == 1
        assert all(r is produced for r in results)


def test_concurrent_requests_with_failing_provider():
    calls = []
    lock = threading.Lock()

    def provider():
        with lock:
            calls.append(1)
            n = len(calls)
        time.sleep(0.005)
        if n <= 3:
            raise RuntimeError(f"failure {n}")
        return "ok"

    feature = Feature(REP, provider=provider)
    results, errors = run_threads(lambda: feature.value)
    failures = [e for e in errors if e is not None]
    assert len(failures) == 3 and all(isinstance(e, RuntimeError) for e in failures)
    assert results.count("ok") == 5
    assert len(calls) == 4


def test_feature_module_and_name():
    assert Feature.__module__ == "quillmark._native"
    assert Feature.__name__ == "Feature"


def test_feature_attributes_are_read_only():
    feature = Feature(REP, 1)
    with pytest.raises(AttributeError):
        feature.value = 2
    with pytest.raises(AttributeError):
        feature.representation = REP
    with pytest.raises(AttributeError):
        feature.other = 3


# --- Query ---


def test_query_features_in_name_order():
    b, a = Feature(REP, "b"), Feature(REP, "a")
    query = Query("text", b=b, a=a)
    assert query.text == "text"
    assert list(query.features) == ["a", "b"]
    assert query.features is not query.features
    assert query.features["a"].value == "a"
    assert repr(query) == 'Query("text", features=["a", "b"])'
    with pytest.raises(quillmark.IncompatibleQueryError) as raised:
        query.feature("missing", REP)
    assert str(raised.value) == "query has no 'missing' feature; available: ['a', 'b']"


def test_query_without_features():
    query = Query(text="plain")
    assert query.features == {}
    assert repr(query) == 'Query("plain", features=[])'
    with pytest.raises(quillmark.IncompatibleQueryError) as raised:
        query.feature("x", REP)
    assert str(raised.value).endswith("available: []")


def test_query_features_share_the_feature():
    calls = []

    def provider():
        calls.append(1)
        return Box()

    query = Query("q", f=Feature(REP, provider=provider))
    through_features = query.features["f"].value
    assert query.feature("f", REP) is through_features
    assert query.features["f"].value is through_features
    assert len(calls) == 1


def test_query_feature_checks_the_representation():
    query = Query("q", f=Feature(REP, 1))
    with pytest.raises(quillmark.IncompatibleQueryError) as raised:
        query.feature("f", OTHER)
    # The required representation is on the left.
    assert str(raised.value) == "representations differ (dimension: 3 != 2)"
    with pytest.raises(quillmark.IncompatibleQueryError):
        query.feature("f", Representation("enc", "r1", 2, True, query_template="q: "))
    assert query.feature(name="f", representation=REP) == 1


def test_query_repr_debug_forms():
    text = 'a"b\\c\td\re\nf\x00g\x01h\x7f é\'✓'
    query = Query(text, **{"x y": Feature(REP, 1), "é\n": Feature(REP, 2)})
    assert repr(query) == (
        'Query("a\\"b\\\\c\\td\\re\\nf\\0g\\u{1}h\\u{7f} é\'✓", features=["x y", "é\\n"])'
    )


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {}),
        ((b"bytes",), {}),
        (("a", "b"), {}),
        (("a",), {"text": "b"}),
        (("a",), {"f": 1}),
        (("a",), {"f": REP}),
    ],
)
def test_query_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        Query(*args, **kwargs)


def test_query_feature_argument_errors():
    query = Query("q", f=Feature(REP, 1))
    with pytest.raises(TypeError):
        query.feature(1, REP)
    with pytest.raises(AttributeError):
        query.feature("f", object())
    with pytest.raises(TypeError):
        query.feature("f")


def test_query_module():
    assert Query.__module__ == "quillmark._native"


def test_query_is_immutable():
    query = Query("q")
    with pytest.raises(AttributeError):
        query.text = "other"
    with pytest.raises(AttributeError):
        query.features = {}


# --- values read as token matrices ---


def reading(obj):
    first, second = testing.token_matrix(obj)
    assert first == second
    return first


@pytest.mark.native_testing
def test_token_matrix_layouts_read_alike():
    base = np.arange(12, dtype=np.float64).reshape(3, 4) / 7
    expected = (3, 4, [float(v) for v in base.astype(np.float32).ravel()])
    assert reading(np.ascontiguousarray(base, dtype=np.float32)) == expected
    assert reading(np.asfortranarray(base, dtype=np.float32)) == expected
    assert reading(base) == expected  # float64 converted
    assert reading(np.ascontiguousarray(base.T, dtype=np.float32).T) == expected  # transposed view
    assert reading(np.ascontiguousarray(base[::-1], dtype=np.float32)[::-1]) == expected  # negative stride
    assert reading(base.tolist()) == expected  # nested lists
    wide = np.zeros((3, 8), dtype=np.float32)
    wide[:, ::2] = base
    assert reading(wide[:, ::2]) == expected  # strided columns


@pytest.mark.native_testing
@pytest.mark.parametrize(
    "obj",
    [np.zeros((0, 128), np.float32), np.zeros((3, 0), np.float32), np.ones(4, np.float32),
     np.ones((2, 2, 2), np.float32), "text", [[1, 2], [3]], object(), None],
)
def test_token_matrix_absent(obj):
    assert reading(obj) is None


@pytest.mark.native_testing
def test_token_matrix_computed_once():
    values = np.ones((2, 2), np.float32)

    def mutate():
        values[:] = 5

    first, second = testing.token_matrix(values, mutate)
    assert first == second == (2, 2, [1.0] * 4)


@pytest.mark.native_testing
def test_token_matrix_from_many_threads():
    assert testing.token_matrix_threads(np.ones((4, 3)), 8)


@pytest.mark.native_testing
def test_native_values_to_python():
    array = testing.native_value_to_py([1, 2, 3, 4, 5, 6], 3)
    assert array.dtype == np.float32 and array.shape == (2, 3)
    np.testing.assert_array_equal(array, [[1, 2, 3], [4, 5, 6]])
    with pytest.raises(TypeError, match="produced natively"):
        testing.native_value_to_py()


# --- lifetimes ---


def test_no_reference_leaks():
    value, provider_result = Box(), Box()

    def provider():
        return provider_result

    rep_before = sys.getrefcount(REP)
    counts = (sys.getrefcount(value), sys.getrefcount(provider), sys.getrefcount(provider_result))
    for _ in range(2000):
        eager = Feature(REP, value)
        lazy = Feature(REP, provider=provider)
        query = Query("text", a=eager, b=lazy)
        query.feature("a", REP)
        query.feature("b", REP)
        query.features
        repr(query)
        eager.representation
        try:
            query.feature("missing", REP)
        except quillmark.IncompatibleQueryError:
            pass
        del eager, lazy, query
    gc.collect()
    assert (sys.getrefcount(value), sys.getrefcount(provider), sys.getrefcount(provider_result)) == counts
    assert sys.getrefcount(REP) == rep_before


def test_failed_provider_exceptions_do_not_leak():
    failure = RuntimeError("boom")

    def provider():
        raise failure

    feature = Feature(REP, provider=provider)
    before = sys.getrefcount(failure)
    for _ in range(500):
        try:
            feature.value
        except RuntimeError as e:
            assert e is failure
    failure.__traceback__ = None
    assert sys.getrefcount(failure) == before


def test_values_released_with_the_query():
    value = Box()
    watch = weakref.ref(value)
    query = Query("q", f=Feature(REP, value))
    del value
    assert watch() is not None
    del query
    assert watch() is None


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer keeps freed memory")
def test_memory_flat_when_building_and_dropping():
    matrix = np.ones((32, 2), np.float32)

    def cycle(n):
        for _ in range(n):
            query = Query("t" * 100, a=Feature(REP, matrix), b=Feature(REP, provider=lambda: matrix))
            query.feature("b", REP)
            quillmark.ResourceBudget(max_batch_tokens=5, threads=2)
            del query

    cycle(20000)
    before = rss_kib()
    cycle(100000)
    assert rss_kib() - before < 4096


class Encoder:
    """Keeps what it builds: a provider `self.encode`, or a value pointing
    back at it, makes a reference cycle through the native objects."""

    def __init__(self, shape):
        self.matrix = np.ones((2, 2), np.float32)
        if shape == "feature-provider":
            self.kept = Feature(REP, provider=self.encode)
        elif shape == "feature-value":
            self.kept = Feature(REP, self.encode())
        elif shape == "query-provider":
            self.kept = Query("q", e=Feature(REP, provider=self.encode))
        elif shape == "query-materialized":
            self.kept = Query("q", e=Feature(REP, provider=self.encode))
            assert isinstance(self.kept.feature("e", REP), Box)
        elif shape == "feature-materialized":
            self.kept = Feature(REP, provider=self.encode)
            assert isinstance(self.kept.value, Box)

    def encode(self):
        value = Box()
        value.owner = self  # the value keeps its encoder too
        return value


SHAPES = ["feature-provider", "feature-value", "feature-materialized", "query-provider", "query-materialized"]


@pytest.mark.parametrize("shape", SHAPES)
def test_cycles_through_features_and_queries_are_collected(shape):
    encoder = Encoder(shape)
    watch = weakref.ref(encoder)
    del encoder
    gc.collect()
    assert watch() is None


def test_collector_leaves_shared_features_alive():
    # A feature held by two queries and a Feature object is owned by none of
    # them alone: a collection must neither free it nor its provider.
    encoder = Encoder("feature-provider")
    first, second = Query("a", e=encoder.kept), Query("b", e=encoder.kept)
    watch = weakref.ref(encoder)
    del encoder
    gc.collect()
    assert watch() is not None
    assert first.feature("e", REP).owner is watch()
    assert second.features["e"].value is first.feature("e", REP)
    assert gc.is_tracked(first) and gc.is_tracked(first.features["e"])
