#!/usr/bin/env bash
# Installs the repaired wheel for one interpreter into a fresh virtual
# environment, with no compiler on PATH and binaries only (pip cannot fall back
# to building anything), and runs the Python tests against the installed
# package from a scratch directory, so `quillmark` resolves to site-packages and
# never to the source or build tree.
#   tools/test_wheel.sh PYTHON WHEEL_DIR
set -euo pipefail
python=$1
wheels=$(cd "$2" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)

tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
shopt -s nullglob
found=("$wheels"/quillmark-*-"$tag"-"$tag"-manylinux*.whl)
if [ ${#found[@]} -ne 1 ]; then
  echo "expected one $tag manylinux wheel in $wheels, found ${#found[@]}" >&2
  exit 1
fi
wheel=${found[0]}

scratch=$(mktemp -d)
rm_path=$(command -v rm)
trap '"$rm_path" -rf "$scratch"' EXIT
"$python" -m venv "$scratch/venv"
export PATH="$scratch/venv/bin"
unset PYTHONPATH PYTHONHOME
for compiler in cc c++ gcc g++ clang clang++; do
  if command -v "$compiler" >/dev/null; then
    echo "a compiler is on PATH: $(command -v "$compiler")" >&2
    exit 1
  fi
done

cd "$scratch"
python -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel" "pytest>=8" "hypothesis>=6" "bm25s==0.3.16" \
  "starlette==1.10.0" "uvicorn==0.54.0" "httpx==0.28.1" "selenium==4.51.0" \
  "onnx==1.23.2" "onnxruntime==1.32.0" "safetensors==0.8.0"
# The tokenizers library without its model-hub client, as in make venv.
python -m pip install -q --disable-pip-version-check --only-binary :all: --no-deps "tokenizers==0.23.3"
python - <<'PY'
import importlib.util, sys, sysconfig
import quillmark
site = sysconfig.get_paths()["platlib"]
print(f"{sys.version.split()[0]}: quillmark from {quillmark.__file__}")
if not quillmark.__file__.startswith(site + "/"):
    sys.exit(f"quillmark was not imported from {site}")
if importlib.util.find_spec("quillmark._native_testing") is not None:
    sys.exit("the wheel ships the test-only module _native_testing")
PY
python -m pytest -p no:cacheprovider -rs "$repo/tests/python"
