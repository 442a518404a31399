"""Throughput of the three native entry points against memcpy of the same bytes.

    python bench/bench.py [--size-mb 10] [--repeat 9] [--write-parts DIR]

For each input (a template part, a part without template tags, a rendered part
with tabs and line breaks in about 1% of its text elements, and the template
part as pre_render leaves it, for post_render) it prints the median time of each
entry point and its ratios to a memcpy of the input's UTF-8 bytes and to one of
the str's own bytes, measured in the same run, and the median number of minor
page faults in a call. Each call gets a str of its own, as a host's calls do, so
the times include reading the argument and building the result str. Then the
throughput of patch_xml + post_render in one thread and in two. Results are
checked against the pure-Python twin on a smaller part of the same shape, so a
fast wrong answer cannot pass unnoticed.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import resource
import statistics
import sys
import threading
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(__file__))

import docgen  # noqa: E402

from tesserine import _native  # noqa: E402


def median_time(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def fresh(text: str) -> str:
    """An equal str that is a new object, without the UTF-8 copy that an earlier
    call may have left cached on `text`: a host passes each part's text once."""
    return (text + " ")[:-1]


def median_call_time(fn: Callable[[str], object], text: str, repeat: int) -> tuple[float, float]:
    """Median time of a call, and median minor page faults during one: the
    faults show when the allocator hands a result fresh memory from the system."""
    times, faults = [], []
    for _ in range(repeat):
        arg = fresh(text)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        start = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - start)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        del arg
    return statistics.median(times), statistics.median(faults)


def str_width(text: str) -> int:
    """Bytes per character in the str's own storage."""
    top = max(map(ord, text), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def memcpy_time(nbytes: int, repeat: int) -> float:
    src = ctypes.create_string_buffer(nbytes)
    dst = ctypes.create_string_buffer(nbytes)
    return median_time(lambda: ctypes.memmove(dst, src, nbytes), repeat)


def check_against_twin() -> None:
    try:
        from tesserine import _pure
    except ImportError:
        print("(pure-Python twin unavailable: results not cross-checked)")
        return
    for kwargs in ({"tags": True}, {"tags": False}, {"tags": False, "control": True}):
        text = docgen.document_part(200_000, seed=3, **kwargs)
        for name in ("patch_xml", "pre_render", "post_render"):
            if getattr(_native, name)(text) != getattr(_pure, name)(text):
                raise SystemExit(f"native and twin disagree: {name} on {kwargs}")


def two_thread_throughput(text: str, calls: int, rounds: int) -> tuple[float, float, float]:
    """Parts per second through patch_xml and post_render in one thread and in
    two at once (medians), and the median ratio of two to one over adjacent
    rounds. Each call gets a str of its own. The two workers live for the whole
    measurement and rounds of one and of two alternate, so that neither thread
    start-up nor a slow drift of the machine's speed falls on one side only."""
    batches: list[list[str]] = [[], []]
    go = [threading.Semaphore(0), threading.Semaphore(0)]
    done = threading.Semaphore(0)
    stop = False

    def worker(k: int) -> None:
        while True:
            go[k].acquire()
            if stop:
                return
            args = batches[k]
            for i in range(0, len(args), 2):
                _native.patch_xml(args[i])
                _native.post_render(args[i + 1])
            done.release()

    workers = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
    for w in workers:
        w.start()

    def timed(threads: int) -> float:
        for k in range(threads):
            batches[k] = [fresh(text) for _ in range(2 * calls)]
        start = time.perf_counter()
        for k in range(threads):
            go[k].release()
        for _ in range(threads):
            done.acquire()
        elapsed = time.perf_counter() - start
        batches[0] = batches[1] = []
        return threads * calls / elapsed

    timed(2)  # warm-up
    ones, twos = [], []
    for _ in range(rounds):
        ones.append(timed(1))
        twos.append(timed(2))
    stop = True
    for k in range(2):
        go[k].release()
    for w in workers:
        w.join()
    ratio = statistics.median(two / one for one, two in zip(ones, twos, strict=True))
    return statistics.median(ones), statistics.median(twos), ratio


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--write-parts", metavar="DIR",
                        help="only write the three parts to DIR, for the core benchmark")
    args = parser.parse_args()
    size = int(args.size_mb * 1_000_000)

    inputs = {
        "template part": docgen.document_part(size, tags=True, seed=1),
        "part without tags": docgen.document_part(size, tags=False, seed=2),
        "rendered part, 1% control chars": docgen.document_part(size, tags=False, control=True, seed=3),
    }
    if args.write_parts:
        os.makedirs(args.write_parts, exist_ok=True)
        for name, text in zip(("template", "plain", "control"), inputs.values(), strict=True):
            with open(os.path.join(args.write_parts, f"{name}.xml"), "w", encoding="utf-8") as f:
                f.write(text)
        return
    check_against_twin()
    # A str keeps one, two or four bytes per character: next to the ratio to a
    # copy of the UTF-8 bytes stands the ratio to a copy of the str's own bytes,
    # which any function that reads its argument and returns a new str of
    # about the same size has to move at the least.
    print(f"{'input':34} {'entry point':12} {'median ms':>10} {'x memcpy':>9} {'x str copy':>10}"
          f" {'faults':>7}")

    def report(label: str, names: tuple[str, ...], text: str) -> None:
        nbytes = len(text.encode())
        str_bytes = len(text) * str_width(text)
        _native.pre_render(fresh(text))
        base = memcpy_time(nbytes, args.repeat)
        base_str = memcpy_time(str_bytes, args.repeat)
        for name in names:
            t, faults = median_call_time(getattr(_native, name), text, args.repeat)
            print(f"{label:34} {name:12} {t * 1e3:10.2f} {t / base:9.1f} {t / base_str:10.1f}"
                  f" {faults:7.0f}")
        print(f"{label:34} {'memcpy':12} {base * 1e3:10.2f} {1.0:9.1f} {base / base_str:10.1f}"
              f"   ({nbytes / 1e6:.1f} MB of UTF-8, {str_bytes / 1e6:.1f} MB of str)")

    for label, text in inputs.items():
        report(label, ("pre_render", "post_render", "patch_xml"), text)
    # What post_render gets in a render: a prepared part, an LF before every
    # paragraph, with the LF after the XML declaration as its only other control.
    report("prepared template part", ("post_render",), _native.pre_render(inputs["template part"]))
    one, two, ratio = two_thread_throughput(docgen.document_part(2_000_000, seed=4), 25, 15)
    print(f"patch_xml + post_render on 2 MB parts: one thread {one:.0f} parts/s, "
          f"two threads {two:.0f} parts/s: {ratio:.2f}x (median of adjacent rounds)")


if __name__ == "__main__":
    main()
