import numpy as np
import pytest

import native_testing


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "native_testing: the test uses the test-only module quillmark._native_testing "
        "(skipped when it is absent, an error under QUILLMARK_REQUIRE_TEST_MODULE=1)",
    )


def pytest_collection_modifyitems(items):
    # Against an installed wheel the test-only module is absent: the tests that
    # use it skip before they start (a skip raised inside pytest.raises would
    # be caught as the expected exception).
    skip = pytest.mark.skip(reason=native_testing.REASON)
    for item in items:
        module = getattr(item, "module", None)
        if isinstance(getattr(module, "testing", None), native_testing.Absent) and item.get_closest_marker("native_testing"):
            item.add_marker(skip)
