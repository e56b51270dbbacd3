"""The test-only extension `quillmark._native_testing`, or a stand-in that skips.

That module is built only in the test build (CMake option QUILLMARK_BUILD_TESTS,
which `make build` sets); an installed wheel does not ship it. Against a wheel,
each test that uses it skips with the reason below (conftest.py marks them
before they run), and the other tests of its file still run. Where the module
must be there (the build tree's test run sets QUILLMARK_REQUIRE_TEST_MODULE=1),
its absence is an error, not a skip.
"""

import dis
import importlib
import os
import types

import pytest

NAME = "quillmark._native_testing"
REASON = f"{NAME} is absent: it is built only in the test build (QUILLMARK_BUILD_TESTS=ON), not shipped in the wheel"


class Absent:
    """Stands in for the missing module. A use that the collection-time check
    missed still skips, on first use of a public attribute; private and special
    names raise AttributeError as usual, since pytest probes module-level
    objects for them while collecting."""

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        pytest.skip(REASON)


def load():
    try:
        return importlib.import_module(NAME)
    except ModuleNotFoundError as error:
        if error.name != NAME or os.environ.get("QUILLMARK_REQUIRE_TEST_MODULE") == "1":
            raise
        return Absent()


def _uses(function, name: str, seen: set) -> bool:
    """Whether `function`, code nested in it, or a function of its module it
    calls by global name, reads the global `name`."""
    function = getattr(function, "__func__", function)  # a bound method's function
    code = getattr(function, "__code__", None)
    if code is None or code in seen:
        return False
    seen.add(code)
    module_globals = getattr(function, "__globals__", {})
    pending = [code]
    while pending:
        current = pending.pop()
        for instruction in dis.get_instructions(current):
            if instruction.opname == "LOAD_GLOBAL":
                if instruction.argval == name:
                    return True
                callee = module_globals.get(instruction.argval)
                if isinstance(callee, types.FunctionType) and callee.__globals__ is module_globals:
                    if _uses(callee, name, seen):
                        return True
        pending.extend(const for const in current.co_consts if isinstance(const, types.CodeType))
    return False


def uses_module(item) -> bool:
    """Whether a collected test, or one of its fixtures, reads its module's
    global `testing` (this module's stand-in or the real module)."""
    functions = [item.function]
    fixture_info = getattr(item, "_fixtureinfo", None)
    for definitions in getattr(fixture_info, "name2fixturedefs", {}).values():
        functions.extend(definition.func for definition in definitions)
    seen: set = set()
    return any(_uses(function, "testing", seen) for function in functions)
