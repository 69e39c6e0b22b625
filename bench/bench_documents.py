"""Document access against a pure-Python version of the same steps.

    python bench/bench_documents.py

Measures `contain` over a mix of inside, outside and symbolic-link paths, and
`read_document(path).as_payload()` of a 32 MiB ASCII document, each against
the same steps written plainly with pathlib (reference/documents.py), and the
peak memory growth (VmHWM of a fresh process) of the read for both. The tree
and the document are made in a temporary folder, removed at the end; the
goals missed are listed last, and the exit status is 1 when one was.
"""

import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the reference versions

from goals import Goal, Scorecard
from scratch import scratch_folder

from reference.documents import MAX_DOCUMENT_BYTES
from reference.documents import contain as py_contain
from reference.documents import read_document as py_read_document
from tidewing_quillery import pagecase

GOALS = {
    "contain": Goal("contain, speed-up over pure Python", ">=", 3),
    "read": Goal("read_document of 32 MiB, speed-up over pure Python", ">=", 2.5),
    "memory": Goal("peak memory growth of that read, native / pure Python", "<=", 0.7, unit=""),
}


# ------------------------------------------------------------------- fixtures


def make_tree(base):
    root = base / "docs"
    for sub in ("guides/setup", "img/2024/q1", "notes"):
        (root / sub).mkdir(parents=True)
    (root / "img" / "2024" / "q1" / "chart.png").write_bytes(b"png")
    (base / "outside").mkdir()
    (root / "linked").symlink_to(root / "img" / "2024")
    (root / "escape").symlink_to(base / "outside")
    raws = [
        "img/2024/q1/chart.png",
        "guides/setup/../../notes/a.md",
        "linked/q1/chart.png",
        "escape/secret.txt",
        "../outside/x",
        "/etc/passwd",
        "notes/missing/deep/path.md",
        str(root / "guides" / "setup" / "index.md"),
    ]
    return root, raws


def make_document(path):
    line = "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.\n"
    head = "## Overview\n\n## Contents\n\n## Notes\n\n# The Benchmark Document\n\n"
    body_size = MAX_DOCUMENT_BYTES - len(head)
    body = line * (body_size // len(line))
    body += "x" * (body_size - len(body))
    path.write_text(head + body, encoding="ascii")
    assert path.stat().st_size == MAX_DOCUMENT_BYTES


def best_of(runs, func):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def peak_growth(which, path):
    """VmHWM growth in KiB of a fresh process reading the document once."""
    out = subprocess.run(
        [sys.executable, __file__, "--memory", which, str(path)], capture_output=True, text=True, check=True
    )
    return int(out.stdout)


def vm_hwm_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM")


def memory_probe(which, path):
    read = pagecase.read_document if which == "native" else py_read_document
    path = Path(path)
    before = vm_hwm_kib()
    payload = read(path).as_payload()
    assert payload["title"] == "The Benchmark Document"
    print(vm_hwm_kib() - before)


def main():
    card = Scorecard(GOALS)
    with scratch_folder("tidewing-bench-documents-") as base:
        root, raws = make_tree(base)
        for raw in raws:
            assert pagecase.contain(root, raw) == py_contain(root, raw), raw
        rounds = 2000
        native = best_of(5, lambda: [pagecase.contain(root, raw) for raw in raws for _ in range(rounds // 8)])
        python = best_of(5, lambda: [py_contain(root, raw) for raw in raws for _ in range(rounds // 8)])
        calls = len(raws) * (rounds // 8)
        print(
            f"contain            native {native / calls * 1e6:7.2f} us/call   "
            f"pure Python {python / calls * 1e6:7.2f} us/call   speed-up {python / native:5.1f}x "
            + card.check("contain", python / native)
        )

        document = base / "big.md"
        make_document(document)
        assert pagecase.read_document(document).as_payload() == py_read_document(document).as_payload()
        native = best_of(5, lambda: pagecase.read_document(document).as_payload())
        python = best_of(5, lambda: py_read_document(document).as_payload())
        print(
            f"read 32 MiB        native {native * 1e3:7.2f} ms        "
            f"pure Python {python * 1e3:7.2f} ms        speed-up {python / native:5.1f}x "
            + card.check("read", python / native)
        )
        native_kib = peak_growth("native", document)
        python_kib = peak_growth("python", document)
        print(
            f"peak memory growth native {native_kib / 1024:7.1f} MiB       "
            f"pure Python {python_kib / 1024:7.1f} MiB       ratio {native_kib / python_kib:5.2f} "
            + card.check("memory", native_kib / python_kib)
        )
    return card.report()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--memory":
        memory_probe(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
