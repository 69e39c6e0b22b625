"""Command line of the document store: python -m tidewing_quillery COMMAND ...

The first line is also the description --help prints, as written: plain text.
"""

import argparse
import json
import os
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

from tidewing_quillery import pagecase

EXIT_OK = 0  # the command did what it was asked (a search may find nothing)
EXIT_NOT_FOUND = 1  # a document or folder named on the command line cannot be served
EXIT_USAGE = 2  # the command line itself is wrong (argparse's own status)

EXIT_CODES = f"""\
exit status:
  {EXIT_OK}  done (a search that finds nothing is done too)
  {EXIT_NOT_FOUND}  a document or folder named cannot be served (the reason is on stderr)
  {EXIT_USAGE}  the command line is wrong"""


def _open_fields() -> str:
    """The epilog of `open`: the payload's fields, and what the store refuses, in the words and
    limits of the module itself (Document.title's own description, MAX_DOCUMENT_BYTES)."""
    title = (pagecase.Document.title.__doc__ or "").strip().rstrip(".")
    title = textwrap.fill(
        title[:1].lower() + title[1:], width=79, initial_indent="  title  ", subsequent_indent=" " * 9
    )
    limit = f"{pagecase.MAX_DOCUMENT_BYTES / 2**20:g} MiB"
    return f"""\
fields of the JSON object printed on stdout:
  path   the document's resolved path (absolute, links followed)
  name   its file name
  dir    the folder that holds it
{title}
  mtime  its modification time, in seconds since the epoch (a float)
  size   its size in bytes

A document cannot be served when it does not exist, is not a file with a
Markdown suffix (.md, .markdown, ...), is larger than {limit} or cannot be read."""


def _fail(message: str) -> int:
    print(message, file=sys.stderr)
    return EXIT_NOT_FOUND


def _folder_problem(root: str) -> "str | None":
    """Why ROOT cannot be searched or listed, or None when it is a folder.
    os.path follows links, as the store does when it resolves a root."""
    if os.path.isdir(root):
        return None
    if os.path.lexists(root):
        return f"not a folder: {root}"
    return f"no such folder: {root}"


def _open(args: argparse.Namespace) -> int:
    path = pagecase.resolve_document(args.path)
    document = pagecase.read_document(path) if path is not None else None
    if document is None:
        return _fail(f"not a readable Markdown document: {args.path}")
    payload = document.as_payload()
    del payload["text"]
    print(json.dumps(payload, ensure_ascii=False, indent=2))
    return EXIT_OK


def _search(args: argparse.Namespace) -> int:
    # search_markdown passes over a root it cannot walk without a word, which
    # is right for a viewer's stale workspace but hides a mistyped argument.
    problems = [problem for problem in map(_folder_problem, args.roots) if problem is not None]
    if problems:
        return _fail("\n".join(problems))
    started = time.perf_counter()
    results = pagecase.search_markdown([Path(root) for root in args.roots], args.query, args.limit)
    elapsed = time.perf_counter() - started
    for result in results:
        print(result["path"])
    print(f"{len(results)} result(s) in {elapsed * 1000:.1f} ms", file=sys.stderr)
    return EXIT_OK


def _ls(args: argparse.Namespace) -> int:
    problem = _folder_problem(args.root)
    if problem is not None:
        return _fail(problem)
    listing = pagecase.list_folder(Path(args.root), args.subpath)
    if listing is None:
        if args.subpath:
            return _fail(f"not a folder that can be listed inside {args.root}: {args.subpath}")
        return _fail(f"not a folder that can be listed: {args.root}")
    for folder in listing["folders"]:
        print(folder["name"] + "/")
    for document in listing["files"]:
        print(document["name"])
    return EXIT_OK


def _parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter  # keeps the epilogs' tables as written
    parser = argparse.ArgumentParser(
        prog="python -m tidewing_quillery", description=__doc__.splitlines()[0], epilog=EXIT_CODES, formatter_class=raw
    )
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name: str, summary: str, epilog: str) -> argparse.ArgumentParser:
        return commands.add_parser(
            name,
            help=summary,
            description=summary[0].upper() + summary[1:] + ".",
            epilog=epilog + "\n\n" + EXIT_CODES,
            formatter_class=raw,
        )

    opener = command("open", "print the payload of a Markdown document (without its text) as JSON", _open_fields())
    opener.add_argument("path", help="the document, absolute, relative or starting with ~")
    opener.set_defaults(run=_open)
    searcher = command(
        "search",
        "quick open: Markdown files below the roots, best match first",
        "Prints one path per line on stdout, then the count and the time taken on stderr.",
    )
    searcher.add_argument("roots", nargs="+", metavar="ROOT", help="a folder to search")
    searcher.add_argument("-q", "--query", required=True, help="the letters to look for, in order")
    searcher.add_argument("-n", "--limit", type=int, default=40, help="at most this many results (default 40)")
    searcher.set_defaults(run=_search)
    lister = command(
        "ls",
        "one level of a folder: subfolders, then Markdown files",
        "Prints the subfolders, each with a trailing /, then the Markdown files,\n"
        "each group in order of name, ignoring case.",
    )
    lister.add_argument("root", help="the folder the listing is confined to")
    lister.add_argument("subpath", nargs="?", default="", help="the folder to list, inside ROOT (default: ROOT)")
    lister.set_defaults(run=_ls)
    return parser


def main(argv: "list[str] | None" = None) -> int:
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
