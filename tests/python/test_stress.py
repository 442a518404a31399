"""Boundary stress of the native module: many calls with ordinary, empty, huge,
wrongly typed and unencodable arguments must leave memory and reference counts
where they were, and eight threads calling at once must get exactly the results
of a single thread.
"""

from __future__ import annotations

import gc
import os
import sys
import threading
import tracemalloc
from collections.abc import Callable
from pathlib import Path

import pytest
from tesserine import _native

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import docgen

FUNCTIONS = ("patch_xml", "pre_render", "post_render")
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Text(str):
    """A str subclass, accepted like its text."""


def call(
    function: Callable[[object], str | None], argument: object
) -> tuple[str, object]:
    try:
        return ("returned", function(argument))
    except (TypeError, UnicodeEncodeError) as error:
        return (
            "raised",
            (type(error).__name__, str(error), tuple(getattr(error, "__notes__", ()))),
        )


def arguments() -> list[object]:
    part = docgen.document_part(2000, seed=3)
    rendered = docgen.document_part(2000, control=True, seed=4).replace(
        "<w:p", "\n<w:p"
    )
    return [
        part,
        rendered,
        "",
        "<w:p>{_{ x }_}\a\t\n\f</w:p>",
        "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>{% colspan a\\b %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>",
        "caf\u00e9 {{ \u201cq\u201d }} \U0001f600",
        Text("<w:p><w:r><w:t>{%p if x %}</w:t></w:r></w:p>"),
        b"<w:p>bytes</w:p>",
        None,
        10**30,
        "\udc80",
        "<w:p>\udc80</w:p>",
    ]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_repeated_calls_keep_memory_and_references_flat(name: str) -> None:
    function = getattr(_native, name)
    args = arguments()
    expected = [call(function, argument) for argument in args]
    assert [kind for kind, _ in expected[-5:]] == ["raised"] * 5

    for _ in range(200):
        for argument in args:
            call(function, argument)
    gc.collect()
    counts = [sys.getrefcount(argument) for argument in args]
    resident = rss()
    tracemalloc.start()
    traced = tracemalloc.get_traced_memory()[0]

    rounds = 8000
    for _ in range(rounds):
        for argument, result in zip(args, expected):
            assert call(function, argument) == result
    gc.collect()

    traced_growth = tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    after = [sys.getrefcount(argument) for argument in args]
    # None is shared with the whole interpreter: one leaked reference per call
    # would still stand out by thousands.
    none_at = args.index(None)
    assert abs(after[none_at] - counts[none_at]) < rounds // 10
    del after[none_at], counts[none_at]
    assert after == counts
    assert traced_growth < 256 * 1024
    # A leak of even the smallest result per call would add megabytes here.
    assert rss() - resident < 4 * 1024 * 1024


def test_huge_texts_reach_a_plateau() -> None:
    part = docgen.document_part(3_000_000, control=True, seed=5)
    huge = [part, part.replace("<w:p", "\n<w:p"), "x" * 4_000_000]
    expected = {
        (name, i): getattr(_native, name)(text)
        for name in FUNCTIONS
        for i, text in enumerate(huge)
    }

    def round_trip() -> None:
        for (name, i), result in expected.items():
            assert getattr(_native, name)(huge[i]) == result

    for _ in range(3):
        round_trip()
    gc.collect()
    resident = rss()
    for _ in range(15):
        round_trip()
    gc.collect()
    # Each round allocates and frees well over 30 MB; only a leak keeps growing.
    assert rss() - resident < 16 * 1024 * 1024


def test_threads_get_the_single_threaded_results() -> None:
    shared = [
        docgen.document_part(20_000, seed=6),
        docgen.document_part(20_000, control=True, seed=7).replace("<w:p", "\n<w:p"),
        "",
        "caf\u00e9 {_{ \u00e9 }_} <w:p>\a\t",
        "\udc80",
        None,
    ]
    threads_count = 8

    def distinct(index: int) -> list[object]:
        # Fresh objects of each thread's own: equal texts and different ones.
        own = docgen.document_part(
            8_000, tags=True, control=index % 2 == 0, seed=100 + index
        )
        return ["".join(list(shared[0])), own, own.replace("<w:p", "\n<w:p")]

    work = [shared + distinct(index) for index in range(threads_count)]
    expected = [
        {
            (name, i): call(getattr(_native, name), text)
            for name in FUNCTIONS
            for i, text in enumerate(texts)
        }
        for texts in work
    ]

    barrier = threading.Barrier(threads_count)
    mismatches: list[tuple[int, str, int]] = []
    calls = [0] * threads_count

    def worker(index: int) -> None:
        texts, results = work[index], expected[index]
        barrier.wait()
        for round_number in range(60):
            # Threads start at different functions, so all three overlap.
            for offset in range(len(FUNCTIONS)):
                name = FUNCTIONS[(offset + index + round_number) % len(FUNCTIONS)]
                for i, text in enumerate(texts):
                    calls[index] += 1
                    if call(getattr(_native, name), text) != results[(name, i)]:
                        mismatches.append((index, name, i))

    threads = [
        threading.Thread(target=worker, args=(index,)) for index in range(threads_count)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sum(calls) == threads_count * 60 * len(FUNCTIONS) * len(work[0])
    assert mismatches == []
