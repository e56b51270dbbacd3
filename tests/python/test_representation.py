import json
import subprocess
import sys
import types

import numpy as np
import pytest

import quillmark
from quillmark import _native
from quillmark.representation import Representation

import native_testing

testing = native_testing.load()

FIELDS = ["encoder", "encoder_revision", "dimension", "normalized", "query_template", "document_template"]


def duck(**overrides):
    fields = dict(encoder="enc", encoder_revision="r1", dimension=4, normalized=True,
                  query_template="", document_template="")
    fields.update(overrides)
    return types.SimpleNamespace(**fields)


def without(name):
    obj = duck()
    delattr(obj, name)
    return obj


def read_back(obj):
    """The representation the module reads from obj, as a package object."""
    return _native.Feature(obj, value=0).representation


def test_duck_typed_object_is_read_and_written_back_as_package_class():
    obj = duck(dimension=np.int64(7), normalized=np.bool_(False), query_template="q: {}",
               document_template="d\n")
    back = read_back(obj)
    assert type(back) is Representation
    assert back == Representation("enc", "r1", 7, False, "q: {}", "d\n")
    assert type(back.dimension) is int and type(back.normalized) is bool
    _native._check_representation(obj)
    _native._check_representation(representation=back)


def test_attributes_read_in_order_and_only_once():
    seen = []

    class Tracing:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(duck(), name)

    _native._check_representation(Tracing())
    assert seen == FIELDS


@pytest.mark.parametrize(
    "obj, error, text",
    [
        (duck(encoder="", encoder_revision="", dimension=0), ValueError, "representation encoder must not be empty"),
        (duck(encoder_revision="", dimension=0), ValueError, "representation encoder_revision must not be empty"),
        (duck(dimension=0), ValueError, "representation dimension must be positive"),
        (duck(dimension=-5), ValueError, "representation dimension must be positive"),
        (duck(dimension=-(2**62)), ValueError, "representation dimension must be positive"),
        # Type failures come from reading, before any check of new.
        (duck(encoder="", dimension=1.0), TypeError, None),
        (duck(encoder=b"enc"), TypeError, None),
        (duck(dimension="4"), TypeError, None),
        (duck(dimension=2**64), OverflowError, None),
        (duck(normalized=1), TypeError, None),
        (duck(normalized=None), TypeError, None),
        (duck(normalized=np.int64(1)), TypeError, None),
        (duck(query_template=None), TypeError, None),
        (duck(document_template=3), TypeError, None),
        (without("encoder"), AttributeError, None),
        (without("document_template"), AttributeError, None),
    ],
)
def test_invalid_representations(obj, error, text):
    with pytest.raises(error) as raised:
        _native._check_representation(obj)
    assert type(raised.value) is error
    if text is not None:
        assert str(raised.value) == text


def test_first_failing_attribute_wins():
    # Missing normalized comes after a bad dimension.
    obj = duck(dimension="x")
    del obj.normalized
    with pytest.raises(TypeError):
        _native._check_representation(obj)
    obj = duck(encoder=1)
    del obj.encoder_revision
    with pytest.raises(TypeError):
        _native._check_representation(obj)


def test_attribute_error_propagates_unchanged():
    failure = RuntimeError("broken property")

    class Broken:
        encoder = "enc"
        encoder_revision = "r1"

        @property
        def dimension(self):
            raise failure

    with pytest.raises(RuntimeError) as raised:
        _native._check_representation(Broken())
    assert raised.value is failure


@pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False)])
def test_normalized_accepts_bool_and_numpy_bool(flag):
    assert read_back(duck(normalized=flag)).normalized is bool(flag)


def test_dimension_through_index():
    class Index:
        def __index__(self):
            return 12

    assert read_back(duck(dimension=True)).dimension == 1
    assert read_back(duck(dimension=Index())).dimension == 12
    assert read_back(duck(dimension=2**63 - 1)).dimension == 2**63 - 1


def test_templates_may_be_empty_and_are_kept():
    assert read_back(duck()) == Representation("enc", "r1", 4, True)
    assert read_back(duck(query_template="query: ")).query_template == "query: "


def test_compatible_representations_pass():
    _native._assert_representations_compatible(duck(), Representation("enc", "r1", 4, True))
    _native._assert_representations_compatible(left=duck(), right=duck())


@pytest.mark.parametrize(
    "left, right, text",
    [
        (duck(dimension=128), duck(dimension=96), "representations differ (dimension: 128 != 96)"),
        (duck(encoder="a"), duck(encoder="b", normalized=False),
         'representations differ (encoder: "a" != "b"; normalized: true != false)'),
        (duck(query_template="q"), duck(),
         'representations differ (query_template: "q" != "")'),
        (duck(encoder='x"\\\n\t'), duck(encoder="é'"),
         'representations differ (encoder: "x\\"\\\\\\n\\t" != "é\'")'),
        (duck(encoder="a", encoder_revision="r", dimension=1, normalized=False, query_template="q",
              document_template="d"),
         duck(encoder="b", encoder_revision="s", dimension=2, normalized=True, query_template="p",
              document_template="e"),
         'representations differ (encoder: "a" != "b"; encoder_revision: "r" != "s"; dimension: 1 != 2; '
         'normalized: false != true; query_template: "q" != "p"; document_template: "d" != "e")'),
    ],
)
def test_incompatible_representations(left, right, text):
    with pytest.raises(quillmark.IncompatibleQueryError) as raised:
        _native._assert_representations_compatible(left, right)
    assert str(raised.value) == text
    assert isinstance(raised.value, ValueError)


def test_left_is_read_before_right():
    with pytest.raises(ValueError, match="encoder must not be empty"):
        _native._assert_representations_compatible(duck(encoder=""), object())
    with pytest.raises(AttributeError):
        _native._assert_representations_compatible(duck(), object())


def test_module_function_signatures():
    import inspect

    assert str(inspect.signature(_native._check_representation)) == "(representation)"
    assert str(inspect.signature(_native._assert_representations_compatible)) == "(left, right)"
    with pytest.raises(TypeError):
        _native._check_representation()
    with pytest.raises(TypeError):
        _native._assert_representations_compatible(duck())


def test_writing_back_calls_package_class_with_keywords():
    seen = run_alone(r"""
calls = []
failure = KeyError("no")

class Recording:
    fail = False

    def __init__(self, *args, **kwargs):
        calls.append([list(args), list(kwargs.items())])
        if Recording.fail:
            raise failure

native._set_representation_type(Recording)
seen["built"] = type(native.Feature(duck(query_template="q"), value=0).representation).__name__
seen["calls"] = calls
Recording.fail = True
try:
    native.Feature(duck(), value=0).representation
except KeyError as e:
    seen["raised unchanged"] = e is failure
""")
    assert seen["built"] == "Recording"
    assert seen["calls"] == [[[], [["encoder", "enc"], ["encoder_revision", "r1"], ["dimension", 4],
                                   ["normalized", True], ["query_template", "q"], ["document_template", ""]]],
                             [[], [["encoder", "enc"], ["encoder_revision", "r1"], ["dimension", 4],
                                   ["normalized", True], ["query_template", ""], ["document_template", ""]]]]
    assert [name for name, _ in seen["calls"][0][1]] == FIELDS
    assert seen["raised unchanged"] is True


@pytest.mark.native_testing
def test_requirements_in_name_order():
    items = {"b": duck(dimension=2), "a": duck(), "A": duck(encoder="x")}.items()
    converted = testing.requirements(list(items))
    assert [name for name, _ in converted] == ["A", "a", "b"]
    assert converted[2][1] == Representation("enc", "r1", 2, True)
    assert testing.requirements([]) == []


@pytest.mark.native_testing
@pytest.mark.parametrize(
    "items, error",
    [
        ([(1, duck())], TypeError),
        ([("a", duck()), ("b", object())], AttributeError),
        ([("a", duck(dimension=0)), (2, duck())], ValueError),  # first failure ends it
        ([("a", duck()), ("a", duck())], ValueError),
        (["ab"], TypeError),
        ([("a", duck(), 3)], TypeError),
        (None, TypeError),
    ],
)
def test_requirements_errors(items, error):
    with pytest.raises(error):
        testing.requirements(items)


# The extension alone in a fresh interpreter, without the package around it:
# in this interpreter the package has already handed its class over, for good.
# A script run after this prelude records its outcomes in `seen`.
ALONE = r"""
import dataclasses, importlib.util, json, sys, types

location = importlib.util.spec_from_file_location("quillmark._native", sys.argv[1])
native = importlib.util.module_from_spec(location)
location.loader.exec_module(native)
FIELDS = dict(encoder="enc", encoder_revision="r1", dimension=4, normalized=True, query_template="",
              document_template="")

def duck(**overrides):
    return types.SimpleNamespace(**{**FIELDS, **overrides})

seen = {}
"""


def run_alone(script):
    run = subprocess.run([sys.executable, "-c", ALONE + script + "\nprint(json.dumps(seen))", _native.__file__],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def test_native_module_builds_representations_of_the_class_handed_to_it_and_never_imports_the_package():
    seen = run_alone(r"""
feature = native.Feature(duck(), value=0)

def outcome(name, call):
    try:
        value = call()
        seen[name] = ["returned", type(value).__name__, repr(value)]
    except Exception as e:
        seen[name] = [type(e).__name__, str(e)]

@dataclasses.dataclass(frozen=True)
class Mine:
    encoder: str
    encoder_revision: str
    dimension: int
    normalized: bool
    query_template: str = ""
    document_template: str = ""

class Other(Mine):
    pass

outcome("before", lambda: feature.representation)
outcome("not a class", lambda: native._set_representation_type(Mine(**FIELDS)))
outcome("set", lambda: native._set_representation_type(Mine))
outcome("same again", lambda: native._set_representation_type(Mine))
outcome("another", lambda: native._set_representation_type(Other))
outcome("after", lambda: feature.representation)
seen["package imported"] = "quillmark" in sys.modules or "quillmark.representation" in sys.modules
""")
    mine = "Mine(encoder='enc', encoder_revision='r1', dimension=4, normalized=True, query_template='', " \
           "document_template='')"
    assert seen == {
        "before": ["RuntimeError", "quillmark._native: Representation type is not set (import quillmark, which sets it)"],
        "not a class": ["TypeError", "_set_representation_type expects a class, not Mine"],
        "set": ["returned", "NoneType", "None"],
        "same again": ["returned", "NoneType", "None"],
        "another": ["TypeError", "quillmark._native: the Representation type is already set to "
                    "<class '__main__.Mine'>, not <class '__main__.Other'>"],
        "after": ["returned", "Mine", mine],
        "package imported": False,
    }
    # And in this interpreter, the package's class was handed over and stays.
    with pytest.raises(TypeError, match="already set"):
        _native._set_representation_type(type("Elsewhere", (), {}))
    _native._set_representation_type(Representation)
