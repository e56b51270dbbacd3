# The README's commands. Each installs what it needs: Debian packages with
# apt-get when missing, Python packages with pip into .venv.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
JOBS ?= 2
APT_PACKAGES := cmake g++ make nlohmann-json3-dev libgtest-dev
PY_PACKAGES := "scikit-build-core>=0.10" "numpy>=2" "scipy-openblas32>=0.3.28" "pytest>=8" "hypothesis>=6"
CMAKE_ARGS := -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DQUILLMARK_BUILD_TESTS=ON

.PHONY: test-python313 all demo test test-cpp test-python bench deps venv build sanitize tsan fuzz clean

all: build

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	touch $@

venv: deps $(VENV)/.ready

build: venv
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-python: build
	PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q tests/python

test: test-cpp test-python

# The main job: install the package into .venv with pip, then run it.
demo: venv
	$(PY) -m pip install -q .
	cd /tmp && $(CURDIR)/$(PY) $(CURDIR)/bench/demo.py

bench: build
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/kernel_bench.py

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# thread-sharing tests under ThreadSanitizer.
sanitize: venv
	cmake -S . -B build-asan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j$(JOBS) --target quillmark_tests
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ./build-asan/quillmark_tests

tsan: venv
	cmake -S . -B build-tsan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS) --target quillmark_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./build-tsan/quillmark_tests --gtest_filter='*Thread*:*Concurren*:Install*'

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

# The Python tests on CPython 3.13 as well (pyenv's interpreter), in their own
# virtual environment and build tree.
PY313 ?= $(HOME)/.pyenv/versions/3.13.0/bin/python3
test-python313: deps
	test -x $(PY313) || { echo "no CPython 3.13 at $(PY313)"; exit 1; }
	[ -x .venv313/bin/python ] || $(PY313) -m venv .venv313
	.venv313/bin/python -m pip install -q $(PY_PACKAGES)
	cmake -S . -B build-py313 -DPython_EXECUTABLE=$(CURDIR)/.venv313/bin/python -DQUILLMARK_BUILD_TESTS=ON >/dev/null
	cmake --build build-py313 -j$(JOBS) --target _native _native_testing
	PYTHONPATH=build-py313/pkg .venv313/bin/python -m pytest -q tests/python
