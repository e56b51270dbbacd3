"""The test-only extension `quillmark._native_testing`, or a stand-in that skips.

That module is built only in the test build (CMake option QUILLMARK_BUILD_TESTS,
which `make build` sets); an installed wheel does not ship it. Against a wheel,
each test that uses it carries the marker `native_testing` and skips with the
reason below (conftest.py skips them before they run), and the other tests of
its file still run. Where the module must be there (the build tree's test run
sets QUILLMARK_REQUIRE_TEST_MODULE=1), its absence is an error, not a skip.
"""

import importlib
import os

import pytest

NAME = "quillmark._native_testing"
REASON = f"{NAME} is absent: it is built only in the test build (QUILLMARK_BUILD_TESTS=ON), not shipped in the wheel"


class Absent:
    """Stands in for the missing module. A use by a test that lacks the marker
    still skips, on first use of a public attribute; private and special
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
