"""The `tesserine` command: render, check, list variables, batch-render, clear the cache, show the demo."""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import sys
from collections.abc import Sequence
from importlib import resources
from typing import Any

from . import __version__
from ._batch import (
    Records,
    Setup,
    data_directory,
    default_jobs,
    describe_failure,
    existing,
    load_context,
    render_records,
    with_rich_values,
)
from ._bytecode_cache import cache_directory, clear_cache
from ._document import Scrivelle
from ._limits import DEFAULT_LIMITS, Limits
from .values.text import visible

DEMO_TEMPLATE = "invoice-letter.docx"
DEMO_DATA = "invoice-letter.json"
DEMO_OUTPUT = "tesserine-demo.docx"


def _say(message: str) -> None:
    # One line: line breaks and control characters from data are shown escaped.
    print(f"tesserine: {visible(message)}", file=sys.stderr)


def _limits(args: argparse.Namespace) -> Limits:
    return dataclasses.replace(DEFAULT_LIMITS, timeout=args.timeout)


def _pictures(args: argparse.Namespace, data: str) -> str | None:
    return None if args.plain_json else data_directory(data)


def _context(args: argparse.Namespace, limits: Limits) -> dict[str, Any]:
    """The values of the data file, with its rich values made."""
    return with_rich_values(load_context(args.data), _pictures(args, args.data), limits)


def _render(args: argparse.Namespace) -> int:
    limits = _limits(args)
    document = Scrivelle(args.template, limits=limits)
    document.render(_context(args, limits), trusted=args.trusted)
    if args.output.lower().endswith(".pdf"):
        document.save_pdf(args.output)
    else:
        document.save(args.output)
    return 0


def _check(args: argparse.Namespace) -> int:
    limits = _limits(args)
    document = Scrivelle(args.template, limits=limits)
    context = None if args.data is None else _context(args, limits)
    problems = document.check(context, trusted=args.trusted)
    for problem in problems:
        print(visible(str(problem)))
    if not problems:
        print(f"{args.template}: no problems found")
    return 1 if problems else 0


def _vars(args: argparse.Namespace) -> int:
    for name in sorted(Scrivelle(args.template).undeclared_variables()):
        print(name)
    return 0


def _batch(args: argparse.Namespace) -> int:
    setup = Setup(args.template, _limits(args), args.trusted, _pictures(args, args.records))
    # Read the template once here, so that a broken one fails, with all its problems,
    # before any worker starts.
    problems = Scrivelle(setup.template, limits=setup.limits).check(trusted=setup.trusted)
    for problem in problems:
        _say(str(problem))
    if problems:
        return 1
    records = Records(args.records, args.name_field, ".pdf" if args.pdf else ".docx")
    if not args.overwrite:
        present = existing(args.output, records.names)
        for target in present:
            _say(f"{target} exists already")
        if present:
            _say(f"nothing written: pass --overwrite to replace the {len(present)} existing files")
            return 1
    # Imported here, as no other command draws a bar.
    from tqdm import tqdm

    jobs = args.jobs or (None if args.dask else default_jobs(len(records)))
    # The bar, with documents per second and the time left, only on a terminal.
    with tqdm(total=len(records), unit="doc", file=sys.stderr, disable=not sys.stderr.isatty()) as bar:

        def advance(done: int, total: int | None) -> None:
            bar.update(done - bar.n)

        failures = render_records(setup, records, args.output, workers=jobs, dask=args.dask, pdf=args.pdf,
                                  progress=advance)
    print(f"{records.count - len(failures)} of {records.count} documents written to {args.output}", file=sys.stderr)
    for line, reason in failures.items():
        _say(f"line {line}: {reason}")
    return 1 if failures else 0


def _cache(args: argparse.Namespace) -> int:
    removed = clear_cache()
    print(f"removed {removed} compiled template part{'s' * (removed != 1)} from {cache_directory()}")
    return 0


def _demo(args: argparse.Namespace) -> int:
    # The data names its logo by a path relative to itself, so the folder must be a real one.
    with resources.as_file(resources.files("tesserine") / "examples") as examples:
        document = Scrivelle(examples / DEMO_TEMPLATE)
        data = os.fspath(examples / DEMO_DATA)
        document.render(with_rich_values(load_context(data), data_directory(data), DEFAULT_LIMITS))
    os.makedirs(args.output, exist_ok=True)
    target = os.path.join(args.output, DEMO_OUTPUT)
    document.save(target)
    print(f"wrote {os.path.abspath(target)}")
    return 0


def _seconds(text: str) -> float | None:
    """A --timeout value: seconds, where 0 means no limit."""
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(seconds) or seconds < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more seconds, got {text!r}")
    return seconds or None


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number, 1 or more, got {text!r}")
    return number


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tesserine", description="Fill Jinja2 templates typed into .docx documents."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    rendering = argparse.ArgumentParser(add_help=False)
    rendering.add_argument("--trusted", action="store_true",
                           help="render without the sandbox: only for templates you trust, as they can run code")
    rendering.add_argument("--timeout", type=_seconds, default=DEFAULT_LIMITS.timeout, metavar="SECONDS",
                           help="stop a document that takes longer to render (default: %(default)s; 0: no limit)")
    rendering.add_argument("--plain-json", action="store_true",
                           help='keep objects with "@picture", "@styled", "@link" or "@markdown" keys as plain JSON')

    render = commands.add_parser("render", parents=[rendering],
                                 help="render a template with data from a JSON file")
    render.add_argument("template", help="the .docx template")
    render.add_argument("data", help="a JSON object with the template's values ('-' for stdin)")
    render.add_argument("-o", "--output", required=True,
                        help="the .docx file to write; a name ending in .pdf writes PDF, converted by LibreOffice")
    render.set_defaults(handler=_render, doing="rendering {template}")

    check = commands.add_parser("check", parents=[rendering],
                                help="list every problem of a template, and with --data, of rendering it")
    check.add_argument("template", help="the .docx template")
    check.add_argument("--data", metavar="FILE", help="a JSON object to render with ('-' for stdin)")
    check.set_defaults(handler=_check, doing="checking {template}")

    names = commands.add_parser("vars", help="list the variables a template uses")
    names.add_argument("template", help="the .docx template")
    names.set_defaults(handler=_vars, doing="reading {template}")

    batch = commands.add_parser("batch", parents=[rendering],
                                help="render one document per line of a JSON Lines file")
    batch.add_argument("template", help="the .docx template")
    batch.add_argument("records", help="one JSON object per line ('-' for stdin)")
    batch.add_argument("-o", "--output", required=True, metavar="DIR",
                       help="folder for the documents, or an fsspec URL such as s3://bucket/letters")
    workers = batch.add_mutually_exclusive_group()
    workers.add_argument("--jobs", "-j", type=_positive, metavar="N", help="worker processes (default: one per core)")
    workers.add_argument("--dask", metavar="SCHEDULER_ADDRESS",
                         help="render on the Dask cluster of this scheduler, such as tcp://10.0.0.5:8786"
                              " (needs the dask extra)")
    batch.add_argument("--pdf", action="store_true", help="write PDF documents, converted by LibreOffice")
    batch.add_argument("--name-field", metavar="FIELD", help="record field that names each document")
    batch.add_argument("--overwrite", action="store_true", help="replace documents that exist already")
    batch.set_defaults(handler=_batch, doing="rendering {records} with {template}")

    cache = commands.add_parser("cache", help="the cache of compiled templates")
    cache.add_argument("action", choices=["clear"], help="clear: delete every compiled template kept")
    cache.set_defaults(handler=_cache, doing="clearing the cache")

    demo = commands.add_parser("demo", help="render the built-in example letter")
    demo.add_argument("-o", "--output", default=".", metavar="DIR", help="directory to write to")
    demo.set_defaults(handler=_demo, doing="rendering the demo")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "render" and (os.path.isdir(args.output) or args.output.endswith(("/", os.sep))):
        parser.error(f"-o {args.output} names a folder: give the file to write, such as"
                     f" -o {os.path.join(args.output, 'out.docx')}")
    try:
        code: int = args.handler(args)
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except Exception as error:
        # Bad templates, archives and data are TesserineErrors; anything else still gets one line.
        _say(describe_failure(error, args.doing.format_map(vars(args))))
        return 1
    return code
