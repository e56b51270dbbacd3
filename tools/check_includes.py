"""Fails when the includes of the core (src/) run against its layering.

The core is laid out in layers, one folder each; a file may include files of
its own layer and of the layers it rests on, nothing else:

    base            errors, texts, times, the representation: rests on nothing
    runtime         processor probe, thread pool, resource budget
    kernel          the MaxSim kernel and its BLAS and SIMD routines
    search          queries, stages, sources, the reranker, the pipeline
    storage/io      the operating-system layer: descriptors, mappings, the
                    file-system seam
    storage/format  the on-disk formats: npy, manifest, ids, int8 codes
    storage         the store: reader, writer, publication, snapshots

Three rules, over the quoted includes of src/**/*.h and src/**/*.cpp:
  1. every file lies in one of the layers' folders;
  2. no file includes a file of a layer its own layer does not rest on;
  3. the modules (a header and its source file, x.h with x.cpp) include one
     another without a cycle, a mutual include being the shortest.

An include resolves as the compiler resolves it here: beside the including
file first, then from src/ (the core's include directory). Includes that
resolve to no file of src/ (system and third-party headers) are ignored.

Usage: check_includes.py [SRC_DIR]   (default: the src/ beside tools/)
Prints each violation and exits 1, or exits 0 when there is none.
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
# Each layer and the layers it rests on (its own is always allowed).
LAYERS: dict[str, set[str]] = {
    "base": set(),
    "runtime": {"base"},
    "kernel": {"base", "runtime"},
    "search": {"base", "runtime", "kernel"},
    "storage/io": {"base"},
    "storage/format": {"base", "runtime", "storage/io"},
    "storage": {"base", "runtime", "kernel", "search", "storage/io", "storage/format"},
}
SUFFIXES = {".h", ".cpp"}


def source_files(src: Path) -> list[Path]:
    return sorted(p for p in src.rglob("*") if p.is_file() and p.suffix in SUFFIXES)


def resolve(src: Path, including: Path, name: str) -> Path | None:
    for base in (including.parent, src):
        candidate = (base / name).resolve()
        if candidate.is_file() and src.resolve() in candidate.parents:
            return candidate
    return None


def include_graph(src: Path) -> dict[Path, list[Path]]:
    graph = {}
    for path in source_files(src):
        names = INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace"))
        targets = (resolve(src, path, name) for name in names)
        graph[path.resolve()] = [t for t in targets if t is not None]
    return graph


def relative(src: Path, path: Path) -> str:
    return path.relative_to(src.resolve()).as_posix()


def layer_of(src: Path, path: Path) -> str | None:
    folder = path.parent.relative_to(src.resolve()).as_posix()
    return folder if folder in LAYERS else None


def module_of(src: Path, path: Path) -> str:
    return relative(src, path.with_suffix(""))


def module_cycles(src: Path, graph: dict[Path, list[Path]]) -> list[list[str]]:
    """One cycle per strongly connected group of modules (Tarjan)."""
    edges: dict[str, set[str]] = {}
    for path, targets in graph.items():
        module = module_of(src, path)
        edges.setdefault(module, set())
        for target in targets:
            if module_of(src, target) != module:
                edges[module].add(module_of(src, target))
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    groups: list[list[str]] = []

    def visit(module: str) -> None:
        index[module] = low[module] = len(index)
        stack.append(module)
        on_stack.add(module)
        for other in sorted(edges.get(module, ())):
            if other not in index:
                visit(other)
                low[module] = min(low[module], low[other])
            elif other in on_stack:
                low[module] = min(low[module], index[other])
        if low[module] == index[module]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == module:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    sys.setrecursionlimit(max(1000, 4 * len(edges)))
    for module in sorted(edges):
        if module not in index:
            visit(module)
    return sorted(groups)


def problems(src: Path) -> list[str]:
    graph = include_graph(src)
    found = []
    for path in sorted(graph):
        layer = layer_of(src, path)
        if layer is None:
            found.append(f"outside every layer: {relative(src, path)}")
            continue
        for target in graph[path]:
            other = layer_of(src, target)
            if other is not None and other != layer and other not in LAYERS[layer]:
                found.append(f"{layer} includes {other}: {relative(src, path)} -> {relative(src, target)}")
    for group in module_cycles(src, graph):
        found.append("include cycle between modules: " + ", ".join(group))
    return found


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    if not src.is_dir():
        print(f"not a directory: {src}", file=sys.stderr)
        return 2
    found = problems(src)
    for problem in found:
        print(problem)
    if found:
        return 1
    print(f"includes of {src}: layered, no cycles")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
