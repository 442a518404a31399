"""Growth of the native entry points' cost with input size, on hostile and realistic inputs.

    python bench/scaling.py [--size-kib 256] [--repeat 15] [--calls 5] [--only REGEX]
                            [--no-check] [--callgrind]

Each shape builds a text of about n, 2n and 4n bytes; the script runs
`patch_xml`, `pre_render` and `post_render` on each and prints the growth
t(4n)/t(n). Work linear in the input gives about 4, work that grows with the
square of it about 16. The exit status is 1 when any growth exceeds the limit
(5 by default), so the script doubles as a check.

Times are the calling thread's CPU time, which a busy machine disturbs far less
than wall-clock time. Each round times a few calls at every size, each call after
the caches have been flushed and with the allocator keeping freed memory, so that
neither favours the small sizes; the growth is the median over the rounds of the
ratio within a round, so a busy spell slows all sizes alike. With --callgrind
every call is counted in instructions under valgrind instead, which is exact and
immune to load but slow (several minutes for all shapes).

Before timing, each shape's results are compared with the pure-Python twin on a
small instance, so a fast wrong answer cannot pass unnoticed.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import docgen  # noqa: E402

from tesserine import _native  # noqa: E402

ENTRY_POINTS = ("patch_xml", "pre_render", "post_render")


def repeat(unit: str, size: int, head: str = "", tail: str = "") -> str:
    """`head`, as many copies of `unit` as fit in `size` bytes, then `tail`."""
    room = size - len((head + tail).encode())
    return head + unit * max(1, room // len(unit.encode())) + tail


@dataclass(frozen=True)
class Shape:
    name: str
    what: str  # the pass or step the shape aims at
    build: Callable[[int], str]


def _padded_cell(keyword: str, element: str) -> Callable[[int], str]:
    """One cell whose properties hold many start-tag look-alikes of `element` and one
    "/" that closes none of them, with a `keyword` tag in its text."""
    tail = f"/x</w:tcPr><w:p><w:r><w:t>{{% {keyword} 2 %}}</w:t></w:r></w:p></w:tc>"
    return lambda n: repeat(element, n, "<w:tc><w:tcPr>", tail)


def _document(**kwargs: object) -> Callable[[int], str]:
    """A realistic part whose body is the body of a generated 64 KiB part, once
    per 64 KiB of the size asked for: every size then has exactly the same mix
    of content, which a longer generated part would only approximate."""
    part = docgen.document_part(64 * 1024, **kwargs)  # type: ignore[arg-type]
    start = part.index("<w:body>") + len("<w:body>")
    end = part.rindex("</w:body>")
    return lambda n: part[:start] + part[start:end] * max(1, n >> 16) + part[end:]


SHAPES: list[Shape] = [
    # Realistic parts.
    Shape("document", "all", _document(tags=True, seed=1)),
    Shape("document, no tags", "all", _document(tags=False, seed=2)),
    Shape("rendered, control chars", "render", _document(tags=False, control=True, seed=3)),
    # Delimiters and tag regions.
    Shape("'{<x' runs, one far '>'", "pass 0", lambda n: repeat("{<x", n, tail=">{")),
    Shape("'%<a>' then no delimiter", "pass 0", lambda n: repeat("%<a><b>", n)),
    Shape("'{{' without closer", "passes 1, 4, 17", lambda n: repeat("{{ a ", n)),
    Shape("'{%' without closer, text runs", "pass 1", lambda n: repeat("{% a</w:t><w:tab/>", n)),
    Shape("'{{ a</w:t><w:t ' without '>'", "pass 1",
          lambda n: repeat("{{ a</w:t><w:t x", n, tail="}}")),
    # Cell properties.
    Shape("'{% colspan x' without '%'", "pass 2", lambda n: repeat("{% colspan x ", n, "<w:tc>")),
    Shape("'{% colspan x %' not closed", "pass 2", lambda n: repeat("{% colspan x %x", n, "<w:tc>")),
    Shape("colspan tags outside cells", "pass 2",
          lambda n: repeat("{% colspan 2 %}", n, tail="</w:tc>")),
    Shape("colspan tags, no cell end", "pass 2", lambda n: repeat("<w:tc>{% colspan 2 %}", n)),
    Shape("colspan tags in one cell", "pass 2",
          lambda n: repeat("{% colspan 2 %}", n, "<w:tc><w:tcPr>", "</w:tcPr></w:tc>")),
    Shape("'<w:gridSpan' look-alikes in a cell", "pass 2", _padded_cell("colspan", "<w:gridSpan")),
    Shape("'<w:shd' look-alikes in a cell", "pass 3", _padded_cell("cellbg", "<w:shd")),
    Shape("colspan cells", "pass 2", lambda n: repeat(
        '<w:tc><w:tcPr><w:gridSpan w:val="1"/></w:tcPr>'
        "<w:p><w:r><w:t>{% colspan 2 %}</w:t></w:r></w:p></w:tc>", n)),
    # Text space.
    Shape("nested '{{' in one text element", "pass 4",
          lambda n: repeat("{{", n, "<w:t>", "}}</w:t>")),
    Shape("tags after the last '<w:t>'", "pass 4", lambda n: repeat("{{ a }}", n, "<w:t>")),
    Shape("'{%' closers far apart", "pass 4",
          lambda n: repeat("{% a {{ b ", n, "<w:t>", "%}}}")),
    # Run tags.
    Shape("'{{r x' without closer", "pass 5", lambda n: repeat("{{r x ", n)),
    Shape("'{%r x' without closer", "pass 5", lambda n: repeat("{%r x ", n)),
    Shape("run tags", "pass 5", lambda n: repeat("<w:r><w:t>a{{r x }}b</w:t></w:r>", n)),
    # Trim markers.
    Shape("'{%-' without '</w:t>' before", "pass 6", lambda n: repeat("{%- x ", n)),
    Shape("'{%-' after text", "pass 6", lambda n: repeat("b {%- x ", n, "<w:t>a</w:t>")),
    Shape("'{%-' inside an open tag", "pass 6", lambda n: repeat("{%- ", n, "</w:t><x ", ">")),
    Shape("'{%-' behind markup", "pass 6",
          lambda n: repeat("</w:t></w:r><w:r><w:t>{%- x %}", n)),
    Shape("'-%}' before text, far '>'", "pass 7", lambda n: repeat("-%}a<w:t ", n, tail=">")),
    Shape("'-%}' then a tag", "pass 7", lambda n: repeat("-%} ", n, tail="{{ a }}<w:t>")),
    Shape("'-%}' without anything after", "pass 7", lambda n: repeat("-%} x ", n)),
    Shape("'-%}' before markup", "pass 7",
          lambda n: repeat("{% x -%}</w:t></w:r><w:r><w:t>", n)),
    # Element-scoped tags.
    Shape("'{%tr ' without '}' or '%'", "passes 8-14", lambda n: repeat("{%tr ", n, "<w:tr>")),
    Shape("'{{tr ' then a far lone '}'", "passes 8-14",
          lambda n: repeat("{{tr a ", n, "<w:tr>", "}x</w:tr>")),
    Shape("nested '{{tr ' in one row", "passes 8-14",
          lambda n: repeat("{{tr a ", n, "<w:tr>", "}}</w:tr>")),
    Shape("nested '{{p ' in paragraphs", "passes 8-14",
          lambda n: repeat("{{p a ", n, "<w:p>", "}}</w:p><w:p>")),
    Shape("nested '{{r ' in one run", "passes 5, 11",
          lambda n: repeat("{{r a ", n, "<w:r>", "}}</w:r>")),
    Shape("'{#tr ' without '#}'", "passes 12-14",
          lambda n: repeat("{#tr a ", n, "<w:tr>", "}x</w:tr>")),
    Shape("row tags, no row end", "passes 8-14", lambda n: repeat("<w:tr>{%tr x %}", n)),
    Shape("row tags outside rows", "passes 8-14",
          lambda n: repeat("{%tr x %}", n, tail="</w:tr>")),
    Shape("row tags, one row start", "passes 8-14",
          lambda n: repeat("{%tr x %}</w:tr>", n, "<w:tr>")),
    Shape("row tags after the row end", "passes 8-14",
          lambda n: repeat("{%tr b %}", n, "<w:tr>{%tr a %}</w:tr>")),
    Shape("paragraph tags", "passes 8-14",
          lambda n: repeat("<w:p><w:r><w:t>{%p if x %}</w:t></w:r></w:p>", n)),
    # Merged cells.
    Shape("'{% vm %}' outside cells", "pass 15", lambda n: repeat("{% vm %}", n, tail="<w:tc>")),
    Shape("'{% hm %}' outside cells", "pass 16", lambda n: repeat("{% hm %}", n, tail="<w:tc>")),
    Shape("'{% vm %}' without cell end", "pass 15", lambda n: repeat("{% vm %}", n, "<w:tc>")),
    Shape("'{%' look-alikes of '{% vm %}'", "pass 15", lambda n: repeat("{%  v %}", n, "vm")),
    Shape("vm cells", "pass 15", lambda n: repeat(
        "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>a{% vm %}b</w:t></w:r></w:p></w:tc>", n)),
    Shape("hm cells with spans", "pass 16", lambda n: repeat(
        '<w:tc><w:tcPr><w:gridSpan w:val="2"/></w:tcPr><w:p><w:r><w:t>{% hm %}</w:t></w:r></w:p></w:tc>',
        n)),
    Shape("one hm cell, many spans", "pass 16", lambda n: repeat(
        '<w:gridSpan w:val="2"/>', n, "<w:tc><w:tcPr>",
        "</w:tcPr><w:p><w:r><w:t>{% hm %}</w:t></w:r></w:p></w:tc>")),
    Shape("one vm cell, many text elements", "pass 15", lambda n: repeat(
        "<w:t>{% vm %}</w:t>", n, "<w:tc><w:tcPr></w:tcPr><w:p><w:r>", "</w:r></w:p></w:tc>")),
    # Tag bodies.
    Shape("'{{ a %' without closer", "pass 17", lambda n: repeat("{{ a %", n)),
    Shape("'{{}}' empty bodies", "pass 17", lambda n: repeat("{{}}", n)),
    Shape("'{{ a' each ended by LF", "pass 17", lambda n: repeat("{{ a\n", n, tail="}}")),
    Shape("quotes in bodies", "pass 17", lambda n: repeat("{{ \u201ca\u201d &lt; b }}", n)),
    # Render steps.
    Shape("paragraph start tags", "pre/post", lambda n: repeat("\n<w:p>", n)),
    Shape("'<w:p' look-alikes", "pre/post", lambda n: repeat("<w:pPr>\n<w:p", n)),
    Shape("underscore delimiters", "post", lambda n: repeat("{_{_%_}_}", n)),
    Shape("tabs in one element", "listing", lambda n: repeat(
        "a" * 30 + "\t", n, "<w:p><w:pPr><w:jc/></w:pPr><w:r><w:rPr><w:b/></w:rPr><w:t>",
        "</w:t></w:r></w:p>")),
    Shape("control chars, no elements", "listing", lambda n: repeat("<w:p>\t</w:p>", n)),
    Shape("paragraphs, no closing '>'", "listing", lambda n: repeat("<w:p>\t<w:r ", n, tail="</w:p>")),
    Shape("'<w:pPr>' opens with LF", "listing", lambda n: repeat(
        "<w:pPr>\n", n, "<w:p>", "</w:pPr><w:r><w:t>a\tb</w:t></w:r></w:p>")),
    Shape("'<w:rPr>' opens with LF", "listing", lambda n: repeat(
        "<w:rPr>\n", n, "<w:p><w:r>", "</w:rPr><w:t>a\tb</w:t></w:r></w:p>")),
    Shape("large pPr, many LF elements", "listing", lambda n: repeat(
        "<w:r><w:t>a\nb</w:t></w:r>", n, "<w:p><w:pPr>" + "<w:jc/>" * (n // 14) + "</w:pPr>", "</w:p>")),
    Shape("large rPr, many LF elements", "listing", lambda n: repeat(
        "<w:t>a\nb</w:t>", n, "<w:p><w:r><w:rPr>" + "<w:b/>" * (n // 12) + "</w:rPr>", "</w:r></w:p>")),
]


# ---- measurement ------------------------------------------------------------


def steady_allocator() -> None:
    """Makes the C allocator keep freed memory for reuse. By default it hands
    blocks above a threshold that it adjusts on the fly straight back to the
    system, so the largest size of a measurement may pay fresh page faults on
    every call while the smaller ones reuse warm memory: a step that would
    read as super-linear growth."""
    try:
        libc = ctypes.CDLL(None)
        m_trim_threshold, m_mmap_threshold = -1, -3
        libc.mallopt(m_mmap_threshold, 32 << 20)
        libc.mallopt(m_trim_threshold, 1 << 30)
    except (OSError, AttributeError):
        pass


class CacheEvictor:
    """Overwrites a buffer larger than the processor's private caches, so that the
    next call finds neither its input nor its output buffers there. Each timed
    call starts alike whatever its size; otherwise a small input stays cached
    between calls while a large one does not, a step that would read as
    super-linear growth."""

    def __init__(self, nbytes: int) -> None:
        self.nbytes = nbytes
        self.buffer = ctypes.create_string_buffer(nbytes)
        self.fill = 0

    def __call__(self) -> None:
        self.fill = (self.fill + 1) & 0xFF
        ctypes.memset(self.buffer, self.fill, self.nbytes)


def scattered_copies(text: str, count: int, rng: random.Random) -> list[str]:
    """`count` copies of `text` at unrelated addresses. How fast a text is copied
    can hinge on where it lies relative to the output buffer (at some distances
    the processor mistakes loads for aliases of pending stores), so a size that
    lands on such a distance by chance would look slow; the median over copies
    spread out by random gaps is not fooled by one unlucky placement."""
    copies = []
    gaps = []
    for _ in range(count):
        gaps.append(bytearray(rng.randrange(64, 16384)))
        copies.append((text + " ")[:-1])
    return copies


def timed_costs(text_of: dict[int, str], name: str, rounds: int, calls: int, cap: float,
                evict: CacheEvictor) -> tuple[dict[int, float], dict[int, float]]:
    """Per-call CPU seconds of one entry point at each size and the growth at each
    size relative to the smallest. Each round times one call on each of `calls`
    scattered copies of the text at every size, each call after evicting the
    caches; the cost is the median over the rounds of
    the per-round medians, the growth the median of the ratios within a round,
    so that a busy spell of the machine slows every size alike (for calls that
    take seconds, a few rounds and their fastest call). Sizes after one whose
    single call took longer than `cap` seconds are skipped and get an infinite
    cost and growth."""
    fn_native = getattr(_native, name)
    sizes = sorted(text_of)
    single: dict[int, float] = {}
    for size in sizes:
        if single and max(single.values()) > cap:
            break
        # The first call also fills the str's UTF-8 cache.
        start = time.thread_time()
        fn_native(text_of[size])
        single[size] = time.thread_time() - start
    samples: dict[int, list[float]] = {size: [t] for size, t in single.items()}
    slow = sum(single.values()) > 0.2
    if len(single) == len(sizes):
        # Slow measurements (seconds per round) get fewer rounds and calls.
        if slow:
            rounds, calls = min(rounds, 3), 1
        rng = random.Random(len(text_of[sizes[0]]))
        copies = {size: scattered_copies(text_of[size], calls, rng) for size in sizes}
        for texts in copies.values():
            for text in texts:
                fn_native(text)  # fills the copy's UTF-8 cache
        samples = {size: [] for size in sizes}
        for _ in range(rounds):
            for size in sizes:
                times = []
                for text in copies[size]:
                    evict()
                    start = time.thread_time()
                    fn_native(text)
                    times.append(time.thread_time() - start)
                samples[size].append(statistics.median(times))
    inf = float("inf")
    if slow:
        # Few samples of calls that allocate much: the first ones may pay for
        # the allocator's growth, so the fastest is the fairest.
        cost = {size: min(samples[size]) if size in samples else inf for size in sizes}
        return cost, {size: cost[size] / max(cost[sizes[0]], 1e-12) for size in sizes}
    cost = {size: statistics.median(samples[size]) if size in samples else inf for size in sizes}
    base = samples[sizes[0]]
    growth = {
        size: statistics.median(t / max(b, 1e-12) for t, b in zip(samples[size], base, strict=True))
        if size in samples else inf
        for size in sizes
    }
    return cost, growth


# Under callgrind, a dump is written at each call of os.getpid (a static function
# of the interpreter, found through its symbol table), so each dump after the
# first holds exactly one entry-point call and a few thousand instructions of
# loop overhead.
CALLGRIND_CHILD = r"""
import os, sys
sys.path[:0] = {paths!r}
from tesserine import _native
texts = [open(p, encoding="utf-8").read() for p in sys.argv[1:]]
os.getpid()
for name in {names!r}:
    fn = getattr(_native, name)
    for t in texts:
        fn(t)
        os.getpid()
"""


def callgrind_costs(text_of: dict[int, str]) -> dict[str, dict[int, float]]:
    """Instruction counts of every entry point at every size, from one valgrind run."""
    sizes = sorted(text_of)
    expected = len(ENTRY_POINTS) * len(sizes)
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for size in sizes:
            path = os.path.join(tmp, f"{size}.xml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text_of[size])
            paths.append(path)
        child = CALLGRIND_CHILD.format(paths=sys.path, names=ENTRY_POINTS)
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--dump-before=os_getpid",
               f"--callgrind-out-file={out}", sys.executable, "-c", child, *paths]
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        subprocess.run(cmd, check=True, capture_output=True, env=env)
        numbered = [f for f in os.listdir(tmp) if re.fullmatch(r"cg\.out\.\d+", f)]
        numbered.sort(key=lambda f: int(f.rsplit(".", 1)[1]))
        counts = []
        for dump in numbered[1:]:
            with open(os.path.join(tmp, dump)) as f:
                totals = [line for line in f if line.startswith("totals:")]
            counts.append(float(totals[-1].split()[1]))
    if len(counts) != expected:
        raise SystemExit(f"callgrind wrote {len(counts)} per-call dumps, expected {expected}")
    it = iter(counts)
    return {name: {size: next(it) for size in sizes} for name in ENTRY_POINTS}


# ---- checks and report --------------------------------------------------------


def check_against_twin(shapes: list[Shape], size: int) -> list[str]:
    """Names of the shapes on which native and twin disagree at `size` bytes."""
    try:
        from tesserine import _pure
    except ImportError:
        print("(pure-Python twin unavailable: results not cross-checked)")
        return []
    bad = []
    for shape in shapes:
        text = shape.build(size)
        for name in ENTRY_POINTS:
            if getattr(_native, name)(text) != getattr(_pure, name)(text):
                bad.append(f"{shape.name}: {name}")
    return bad


def fmt_cost(cost: float, unit: str) -> str:
    if cost == float("inf"):
        return "skipped"
    if unit == "s":
        return f"{cost * 1e3:.3f} ms"
    return f"{cost / 1e6:.2f} M"


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-kib", type=int, default=256, help="base size n in KiB")
    parser.add_argument("--repeat", type=int, default=15, help="rounds per measurement")
    parser.add_argument("--calls", type=int, default=5, help="timed calls per size and round")
    parser.add_argument("--evict-mib", type=int, default=8,
                        help="bytes overwritten before each timed call, beyond the private caches")
    parser.add_argument("--limit", type=float, default=5.0, help="largest acceptable t(4n)/t(n)")
    parser.add_argument("--cap", type=float, default=2.0,
                        help="seconds per call past which larger sizes are skipped")
    parser.add_argument("--only", help="run only the shapes whose name or target matches this regex")
    parser.add_argument("--no-check", action="store_true",
                        help="skip the comparison with the pure-Python twin")
    parser.add_argument("--callgrind", action="store_true", help="count instructions under valgrind")
    args = parser.parse_args()

    shapes = SHAPES
    if args.only:
        pattern = re.compile(args.only)
        shapes = [s for s in SHAPES if pattern.search(s.name) or pattern.search(s.what)]
    if not args.no_check:
        bad = check_against_twin(shapes, 3000)
        if bad:
            print("native and twin disagree on:", *bad, sep="\n  ")
            return 1

    evict = None if args.callgrind else CacheEvictor(args.evict_mib << 20)
    if evict is not None:
        steady_allocator()
    n = args.size_kib * 1024
    sizes = (n, 2 * n, 4 * n)
    unit = "instr" if args.callgrind else "s"
    how = "instructions" if args.callgrind else f"medians of {args.repeat} rounds of thread CPU time"
    print(f"n = {n // 1024} KiB; cost per call at n, and growth t(2n)/t(n) and t(4n)/t(n) ({how})")
    print(f"{'shape':38} {'aims at':16} {'entry point':12} {'cost at n':>11} {'x2n':>6} {'x4n':>6}")
    worst: list[tuple[float, str]] = []
    for shape in shapes:
        text_of = {size: shape.build(size) for size in sizes}
        if evict is None:
            by_name = {}
            for name, costs in callgrind_costs(text_of).items():
                by_name[name] = (costs, {size: costs[size] / max(costs[n], 1.0) for size in sizes})
        else:
            by_name = {name: timed_costs(text_of, name, args.repeat, args.calls, args.cap, evict)
                       for name in ENTRY_POINTS}
        for name in ENTRY_POINTS:
            costs, growth = by_name[name]
            g2, g4 = growth[2 * n], growth[4 * n]
            flag = "  <-- too steep" if g4 > args.limit else ""
            print(f"{shape.name:38} {shape.what:16} {name:12} {fmt_cost(costs[n], unit):>11} "
                  f"{g2:6.2f} {g4:6.2f}{flag}", flush=True)
            worst.append((g4, f"{shape.name} / {name}"))
    steep = [(g, what) for g, what in worst if g > args.limit]
    if steep:
        print(f"\n{len(steep)} measurement(s) grow faster than {args.limit}x for 4x the input:")
        for g, what in sorted(steep, reverse=True):
            print(f"  {g:8.2f}  {what}")
        return 1
    top = max(worst)
    print(f"\nall {len(worst)} measurements within {args.limit}x (steepest {top[0]:.2f}: {top[1]})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
