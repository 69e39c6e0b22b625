"""Command line of the document store: ``python -m tidewing_quillery COMMAND ...``."""

import argparse
import json
import sys
import time
from collections.abc import Callable
from pathlib import Path

from tidewing_quillery import pagecase


def _open(args: argparse.Namespace) -> int:
    path = pagecase.resolve_document(args.path)
    document = pagecase.read_document(path) if path is not None else None
    if document is None:
        print(f"not a readable Markdown document: {args.path}", file=sys.stderr)
        return 1
    payload = document.as_payload()
    del payload["text"]
    print(json.dumps(payload, ensure_ascii=False, indent=2))
    return 0


def _search(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    results = pagecase.search_markdown([Path(root) for root in args.roots], args.query, args.limit)
    elapsed = time.perf_counter() - started
    for result in results:
        print(result["path"])
    print(f"{len(results)} result(s) in {elapsed * 1000:.1f} ms", file=sys.stderr)
    return 0


def _ls(args: argparse.Namespace) -> int:
    listing = pagecase.list_folder(Path(args.root), args.subpath)
    if listing is None:
        print(f"not a folder that can be listed inside {args.root}: {args.subpath}", file=sys.stderr)
        return 1
    for folder in listing["folders"]:
        print(folder["name"] + "/")
    for document in listing["files"]:
        print(document["name"])
    return 0


def main(argv: "list[str] | None" = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tidewing_quillery", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    opener = commands.add_parser("open", help="print the payload of a Markdown document (without its text)")
    opener.add_argument("path", help="the document, absolute, relative or starting with ~")
    opener.set_defaults(run=_open)
    searcher = commands.add_parser("search", help="quick open: Markdown files below the roots, best match first")
    searcher.add_argument("roots", nargs="+", metavar="ROOT", help="a folder to search")
    searcher.add_argument("-q", "--query", required=True, help="the letters to look for, in order")
    searcher.add_argument("-n", "--limit", type=int, default=40, help="at most this many results (default 40)")
    searcher.set_defaults(run=_search)
    lister = commands.add_parser("ls", help="one level of a folder: subfolders, then Markdown files")
    lister.add_argument("root", help="the folder the listing is confined to")
    lister.add_argument("subpath", nargs="?", default="", help="the folder to list, inside ROOT (default: ROOT)")
    lister.set_defaults(run=_ls)
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
