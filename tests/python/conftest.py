import numpy as np
import pytest

import native_testing


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def pytest_collection_modifyitems(items):
    # Against an installed wheel the test-only module is absent: the tests that
    # use it skip before they start (a skip raised inside pytest.raises would
    # be caught as the expected exception).
    skip = pytest.mark.skip(reason=native_testing.REASON)
    for item in items:
        module = getattr(item, "module", None)
        if isinstance(getattr(module, "testing", None), native_testing.Absent) and native_testing.uses_module(item):
            item.add_marker(skip)
