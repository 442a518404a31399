"""Data loading and many-document rendering for the command-line tool."""

from __future__ import annotations

import json
import os
import re
import sys
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from typing import Any

from ._document import Scrivelle
from ._errors import TesserineError


class DataError(TesserineError):
    """The data file cannot serve as a template context."""


@dataclass(frozen=True)
class Record:
    line: int
    context: dict[str, Any]


def _read_text(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except UnicodeDecodeError as error:
        raise DataError(f"{path}: not UTF-8 text (byte {error.start})") from None


def parse_context(text: str, where: str) -> dict[str, Any]:
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise DataError(f"{where}: invalid JSON: {error}") from None
    if not isinstance(value, dict):
        raise DataError(f"{where}: expected a JSON object, found {type(value).__name__}")
    return value


def load_context(path: str) -> dict[str, Any]:
    return parse_context(_read_text(path), path)


def load_records(path: str) -> list[Record]:
    """One JSON object per line; blank lines are skipped."""
    records = []
    for number, line in enumerate(_read_text(path).splitlines(), start=1):
        if line.strip():
            records.append(Record(number, parse_context(line, f"{path}, line {number}")))
    return records


_UNSAFE = re.compile(r'[\x00-\x1f/\\:*?"<>|]')


def output_names(records: Sequence[Record], name_field: str | None) -> list[str]:
    """File names for the records: from a field, or numbered in file order."""
    if name_field is None:
        width = len(str(len(records)))
        return [f"{index:0{width}d}.docx" for index in range(1, len(records) + 1)]
    names: list[str] = []
    first_line: dict[str, int] = {}
    for record in records:
        if name_field not in record.context:
            raise DataError(f"line {record.line}: no field {name_field!r} to name the document")
        stem = _UNSAFE.sub("_", str(record.context[name_field])).strip().lstrip(".")
        if not stem:
            raise DataError(f"line {record.line}: field {name_field!r} gives an empty file name")
        name = stem if stem.lower().endswith(".docx") else stem + ".docx"
        if name.lower() in first_line:
            raise DataError(
                f"lines {first_line[name.lower()]} and {record.line} both name their document {name!r}"
            )
        first_line[name.lower()] = record.line
        names.append(name)
    return names


_worker_template: Scrivelle | None = None


def _load_template(path: str) -> None:
    global _worker_template
    _worker_template = Scrivelle(path)


def _render_one(context: dict[str, Any], target: str) -> str | None:
    """Render one document in this process; the error message, or None on success."""
    assert _worker_template is not None
    try:
        _worker_template.render(context)
        _worker_template.save(target)
    except (TesserineError, OSError) as error:
        return str(error)
    return None


def render_batch(
    template: str,
    records: Sequence[Record],
    targets: Sequence[str],
    jobs: int,
    on_progress: Callable[[int], None],
) -> list[str]:
    """Render one document per record; returns a message for each record that failed."""
    failures: dict[int, str] = {}
    done = 0
    if jobs <= 1:
        _load_template(template)
        for index, (record, target) in enumerate(zip(records, targets, strict=True)):
            message = _render_one(record.context, target)
            if message is not None:
                failures[index] = message
            done += 1
            on_progress(done)
    else:
        with ProcessPoolExecutor(jobs, initializer=_load_template, initargs=(template,)) as pool:
            futures = {
                pool.submit(_render_one, record.context, target): index
                for index, (record, target) in enumerate(zip(records, targets, strict=True))
            }
            for future in as_completed(futures):
                message = future.result()
                if message is not None:
                    failures[futures[future]] = message
                done += 1
                on_progress(done)
    return [f"line {records[index].line}: {failures[index]}" for index in sorted(failures)]


def default_jobs(count: int) -> int:
    return max(1, min(os.cpu_count() or 1, count))
