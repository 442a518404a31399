"""The `tesserine` command: render, list variables, batch-render, and show the demo."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from importlib import resources
from typing import TextIO

from . import __version__
from ._batch import (
    default_jobs,
    load_context,
    load_records,
    output_names,
    parse_context,
    render_batch,
)
from ._document import Scrivelle
from ._errors import TesserineError

DEMO_TEMPLATE = "invoice-letter.docx"
DEMO_DATA = "invoice-letter.json"
DEMO_OUTPUT = "tesserine-demo.docx"


class _Progress:
    """A bar redrawn in place on a terminal; elsewhere one closing count."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.live = stream.isatty()

    def update(self, done: int) -> None:
        if self.live:
            filled = self.WIDTH * done // max(1, self.total)
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self.stream.write(f"\r[{bar}] {done}/{self.total}")
            self.stream.flush()

    def finish(self, failed: int, directory: str) -> None:
        if self.live:
            self.stream.write("\n")
        written = self.total - failed
        self.stream.write(f"{written} of {self.total} documents written to {directory}\n")


def _render(args: argparse.Namespace) -> int:
    document = Scrivelle(args.template)
    document.render(load_context(args.data))
    document.save(args.output)
    return 0


def _vars(args: argparse.Namespace) -> int:
    for name in sorted(Scrivelle(args.template).undeclared_variables()):
        print(name)
    return 0


def _batch(args: argparse.Namespace) -> int:
    if args.jobs is not None and args.jobs < 1:
        raise TesserineError("--jobs must be at least 1")
    # Open and compile once here, so that a broken template fails before any worker starts.
    Scrivelle(args.template).undeclared_variables()
    records = load_records(args.records)
    names = output_names(records, args.name_field)
    os.makedirs(args.output, exist_ok=True)
    targets = [os.path.join(args.output, name) for name in names]
    jobs = default_jobs(len(records)) if args.jobs is None else args.jobs
    progress = _Progress(len(records), sys.stderr)
    failures = render_batch(args.template, records, targets, jobs, progress.update)
    progress.finish(len(failures), args.output)
    for message in failures:
        print(f"tesserine: {message}", file=sys.stderr)
    return 1 if failures else 0


def _demo(args: argparse.Namespace) -> int:
    examples = resources.files("tesserine") / "examples"
    document = Scrivelle(examples.joinpath(DEMO_TEMPLATE).read_bytes())
    document.render(parse_context(examples.joinpath(DEMO_DATA).read_text(encoding="utf-8"), DEMO_DATA))
    os.makedirs(args.output, exist_ok=True)
    target = os.path.join(args.output, DEMO_OUTPUT)
    document.save(target)
    print(f"wrote {os.path.abspath(target)}")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tesserine", description="Fill Jinja2 templates typed into .docx documents."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    render = commands.add_parser("render", help="render a template with data from a JSON file")
    render.add_argument("template", help="the .docx template")
    render.add_argument("data", help="a JSON object with the template's values ('-' for stdin)")
    render.add_argument("-o", "--output", required=True, help="the .docx file to write")
    render.set_defaults(handler=_render)

    names = commands.add_parser("vars", help="list the variables a template uses")
    names.add_argument("template", help="the .docx template")
    names.set_defaults(handler=_vars)

    batch = commands.add_parser("batch", help="render one document per line of a JSON Lines file")
    batch.add_argument("template", help="the .docx template")
    batch.add_argument("records", help="one JSON object per line ('-' for stdin)")
    batch.add_argument("-o", "--output", required=True, metavar="DIR", help="directory for the documents")
    batch.add_argument("--jobs", "-j", type=int, metavar="N", help="worker processes (default: one per core)")
    batch.add_argument("--name-field", metavar="FIELD", help="record field that names each document")
    batch.set_defaults(handler=_batch)

    demo = commands.add_parser("demo", help="render the built-in example letter")
    demo.add_argument("-o", "--output", default=".", metavar="DIR", help="directory to write to")
    demo.set_defaults(handler=_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        code: int = args.handler(args)
    except (TesserineError, OSError) as error:
        print(f"tesserine: {error}", file=sys.stderr)
        return 1
    return code
