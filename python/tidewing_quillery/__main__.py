"""Command line of the document store: ``python -m tidewing_quillery COMMAND ...``."""

import argparse
import json
import sys

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


def main(argv: "list[str] | None" = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tidewing_quillery", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    opener = commands.add_parser("open", help="print the payload of a Markdown document (without its text)")
    opener.add_argument("path", help="the document, absolute, relative or starting with ~")
    opener.set_defaults(run=_open)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
