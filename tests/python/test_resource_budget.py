import sys

import numpy as np
import pytest

from quillmark import ResourceBudget


def test_defaults():
    budget = ResourceBudget()
    assert (budget.max_batch_tokens, budget.max_documents_per_batch, budget.threads) == (131072, 256, None)
    assert type(budget.max_batch_tokens) is int


def test_given_values_are_kept():
    budget = ResourceBudget(max_batch_tokens=1, max_documents_per_batch=2, threads=3)
    assert (budget.max_batch_tokens, budget.max_documents_per_batch, budget.threads) == (1, 2, 3)
    assert ResourceBudget(threads=None).threads is None
    assert ResourceBudget(max_batch_tokens=np.int64(7)).max_batch_tokens == 7
    # No upper bound here; the kernel refuses what exceeds its BLAS interface.
    assert ResourceBudget(max_batch_tokens=2**40).max_batch_tokens == 2**40


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(max_batch_tokens=0), "max_batch_tokens must be positive"),
        (dict(max_batch_tokens=0, threads=0), "max_batch_tokens must be positive"),
        (dict(max_batch_tokens=0, max_documents_per_batch=0), "max_batch_tokens must be positive"),
        (dict(max_documents_per_batch=0, threads=0), "max_documents_per_batch must be positive"),
        (dict(threads=0), "threads must be positive"),
    ],
)
def test_checks_in_order(kwargs, text):
    with pytest.raises(ValueError) as raised:
        ResourceBudget(**kwargs)
    assert str(raised.value) == text


@pytest.mark.parametrize(
    "kwargs, error, name",
    [
        (dict(max_batch_tokens=None), TypeError, "max_batch_tokens"),
        (dict(max_documents_per_batch=None), TypeError, "max_documents_per_batch"),
        (dict(max_batch_tokens=1.5), TypeError, "max_batch_tokens"),
        (dict(threads="2"), TypeError, "threads"),
        (dict(max_batch_tokens=-1), OverflowError, "max_batch_tokens"),
        (dict(max_documents_per_batch=-(2**70)), OverflowError, "max_documents_per_batch"),
        (dict(threads=-1), OverflowError, "threads"),
        (dict(threads=2**64), OverflowError, "threads"),
        # Conversion errors come before the positivity checks.
        (dict(max_batch_tokens=0, threads=-1), OverflowError, "threads"),
    ],
)
def test_conversion_errors_name_the_argument(kwargs, error, name):
    with pytest.raises(error) as raised:
        ResourceBudget(**kwargs)
    assert name in str(raised.value)


def test_arguments_are_keyword_only():
    with pytest.raises(TypeError):
        ResourceBudget(1)


def test_module():
    assert ResourceBudget.__module__ == "quillmark._native"


@pytest.mark.parametrize("name", ["max_batch_tokens", "max_documents_per_batch", "threads"])
def test_attributes_are_read_only(name):
    budget = ResourceBudget()
    with pytest.raises(AttributeError):
        setattr(budget, name, 5)
    with pytest.raises(AttributeError):
        delattr(budget, name)
    assert getattr(budget, name) == getattr(ResourceBudget(), name)


def test_no_custom_equality():
    first = ResourceBudget(max_batch_tokens=5, max_documents_per_batch=3, threads=2)
    second = ResourceBudget(max_batch_tokens=5, max_documents_per_batch=3, threads=2)
    assert first != second
    assert not first == second


def test_no_reference_leaks():
    tokens = 10**30  # a long int object, never cached
    before = sys.getrefcount(tokens)
    for _ in range(1000):
        with pytest.raises(OverflowError):
            ResourceBudget(max_batch_tokens=tokens)
        ResourceBudget(max_batch_tokens=5, threads=2)
    assert sys.getrefcount(tokens) == before
