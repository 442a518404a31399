"""What users of many documents wait for, each figure a ratio of two measured in one run.

    python bench/scale.py [--records 3000] [--report-records 150] [--pdf-records 40]
                          [--memory-records 100000] [--rounds 3] [--skip dask,pdf,memory]

- First render of a 41-page report in a fresh process, with the compiled-template
  cache empty and then filled (target: cached at most a third of uncached).
- Documents per second for a one-page letter and for the 41-page report with
  1, 2 and all cores through `render_many` (target: scaling efficiency at least 0.8).
- `render_many` on a two-worker Dask `LocalCluster` against two local processes
  (target: under 1.5 times the time).
- PDF: letters per second through `render_many(pdf=True)` against one plain
  `soffice --headless --convert-to pdf` run over the same, already rendered .docx
  files (target: at least 0.8).
- Peak memory of `render_many` over a long iterator of records, against a tenth
  as many (target: flat, a ratio near 1).

The report is built from `docgen`'s paragraphs and tables, with a letter's fields,
conditions and a row loop among them, in the example letter's package. Pools are
started and given the template before timing, so that the rates are those of a
long run; the first-render figure is the one a single `tesserine render` pays.
Every document is checked: each result is a document (or a PDF) and none failed.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import zipfile
from concurrent.futures import Executor, ProcessPoolExecutor
from importlib import resources
from pathlib import Path
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import docgen  # noqa: E402

from tesserine import render_many  # noqa: E402

EXAMPLES = resources.files("tesserine") / "examples"
LETTER = EXAMPLES.joinpath("invoice-letter.docx").read_bytes()
CONTEXT: dict[str, Any] = {**json.loads(EXAMPLES.joinpath("invoice-letter.json").read_text(encoding="utf-8")),
                           "paid": False}
# Blocks of docgen text that lay out as 41 pages in LibreOffice.
REPORT_BLOCKS = 131


def _cell(text: str) -> str:
    return f'<w:tc><w:tcPr><w:tcW w:w="3000" w:type="dxa"/></w:tcPr><w:p><w:r><w:t>{text}</w:t></w:r></w:p></w:tc>'


def _paragraph(text: str) -> str:
    return f'<w:p><w:r><w:t xml:space="preserve">{text}</w:t></w:r></w:p>'


def report_part(blocks: int, seed: int = 0) -> str:
    """docgen's paragraphs and tables with a letter's tags among them."""
    rng = random.Random(seed)
    body = []
    for index in range(blocks):
        if index % 12 == 0:
            body.append(_paragraph("Dear {{ customer.name }}, invoice {{ invoice.number }} of {{ invoice.date }}."))
        if index % 12 == 6:
            body.append(_paragraph(
                "{% if paid %}Paid, thank you.{% else %}Due within {{ payment_terms_days }} days.{% endif %}"))
        if index % 25 == 10:
            body.append(
                _paragraph("{% for group in groups %}")
                + f'<w:tbl><w:tblPr/><w:tr>{_cell("Item")}{_cell("Quantity")}{_cell("Price")}</w:tr>'
                + f'<w:tr>{_cell("{%tr for line in group.lines %}")}</w:tr>'
                + f'<w:tr>{_cell("{{ line.description }}")}{_cell("{{ line.quantity }}")}'
                + f'{_cell("{{ line.unit_price }}")}</w:tr>'
                + f'<w:tr>{_cell("{%tr endfor %}")}</w:tr></w:tbl>'
                + _paragraph("{% endfor %}"))
        body.append(docgen.table(rng, False) if rng.random() < 0.15 else docgen.paragraph(rng, False))
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>'
            + "".join(body) + "<w:sectPr/></w:body></w:document>")


def report_template() -> bytes:
    """The example letter's package with the report as its main part."""
    output = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(LETTER)) as letter, zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as report:
        for info in letter.infolist():
            is_main = info.filename == "word/document.xml"
            report.writestr(info.filename, report_part(REPORT_BLOCKS).encode() if is_main else letter.read(info))
    return output.getvalue()


def pages(docx: bytes, work: Path) -> str:
    """The page count LibreOffice lays the document out in, if LibreOffice and poppler are here."""
    if not (shutil.which("soffice") and shutil.which("pdfinfo")):
        return "?"
    (work / "pages.docx").write_bytes(docx)
    subprocess.run(["soffice", "--headless", f"-env:UserInstallation={(work / 'profile').as_uri()}",
                    "--convert-to", "pdf", "--outdir", str(work), str(work / "pages.docx")],
                   capture_output=True, check=True)
    info = subprocess.run(["pdfinfo", str(work / "pages.pdf")], capture_output=True, text=True, check=True).stdout
    return next(line.split()[-1] for line in info.splitlines() if line.startswith("Pages:"))


FIRST_RENDER = textwrap.dedent("""
    import hashlib, io, json, sys, time
    from tesserine import Scrivelle
    context = json.loads(sys.argv[2])
    start = time.perf_counter()
    document = Scrivelle(sys.argv[1])
    document.render(context)
    output = io.BytesIO()
    document.save(output)
    print(time.perf_counter() - start, hashlib.sha256(output.getvalue()).hexdigest())
""")


def first_render(template: Path, work: Path, rounds: int) -> tuple[float, float]:
    """Median first render in a fresh process, with the cache emptied before and kept."""
    cache_home = work / "cache-home"
    env = {**os.environ, "XDG_CACHE_HOME": str(cache_home)}
    env.pop("TESSERINE_CACHE", None)

    def run() -> tuple[float, str]:
        result = subprocess.run([sys.executable, "-c", FIRST_RENDER, str(template), json.dumps(CONTEXT)],
                                env=env, capture_output=True, text=True, check=True)
        seconds, digest = result.stdout.split()
        return float(seconds), digest

    cold, cached, digests = [], [], set()
    for _ in range(rounds):
        shutil.rmtree(cache_home, ignore_errors=True)
        seconds, digest = run()
        cold.append(seconds)
        digests.add(digest)
        if not any((cache_home / "tesserine").glob("*.j2c")):
            sys.exit("the render path does not use the compiled-template cache: nothing was written to it")
        seconds, digest = run()
        cached.append(seconds)
        digests.add(digest)
    assert len(digests) == 1, "a cached template rendered another document"
    return statistics.median(cold), statistics.median(cached)


def records(count: int) -> list[dict[str, Any]]:
    """Records that differ, as a mail merge's do (Dask would compute identical chunks once)."""
    return [{**CONTEXT, "invoice": {"number": f"2024-{index:06d}", "date": "12 March 2024"}} for index in range(count)]


def timed_run(template: bytes, count: int, executor: Executor, **options: Any) -> float:
    data = records(count)
    start = time.perf_counter()
    outcomes = list(render_many(template, data, executor=executor, **options))
    elapsed = time.perf_counter() - start
    failures = [outcome for outcome in outcomes if not isinstance(outcome, (bytes, str))]
    assert len(outcomes) == count and not failures, failures[:3]
    magic = b"%PDF-" if options.get("pdf") else b"PK\x03\x04"
    assert all(isinstance(outcome, str) or outcome.startswith(magic) for outcome in outcomes)
    return elapsed


def warm(template: bytes, executor: Executor, workers: int, **options: Any) -> None:
    """Start every worker and let it open and compile the template (and start LibreOffice)."""
    timed_run(template, 2 * workers, executor, chunk_size=1, **options)


def throughput(template: bytes, count: int, cores: list[int], rounds: int) -> dict[int, float]:
    """Documents per second with each number of worker processes, median over alternating rounds."""
    pools = {n: ProcessPoolExecutor(n) for n in cores}
    rates: dict[int, list[float]] = {n: [] for n in cores}
    try:
        for n, pool in pools.items():
            warm(template, pool, n)
        for _ in range(rounds):
            for n, pool in pools.items():
                rates[n].append(count / timed_run(template, count, pool))
    finally:
        for pool in pools.values():
            pool.shutdown()
    return {n: statistics.median(values) for n, values in rates.items()}


def dask_against_local(count: int, rounds: int) -> tuple[float, float]:
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client, ProcessPoolExecutor(2) as local:
        remote = client.get_executor()
        warm(LETTER, remote, 2)
        warm(LETTER, local, 2)
        times: dict[str, list[float]] = {"local": [], "dask": []}
        for _ in range(rounds):
            times["local"].append(timed_run(LETTER, count, local))
            times["dask"].append(timed_run(LETTER, count, remote))
    return statistics.median(times["local"]), statistics.median(times["dask"])


def pdf_against_soffice(count: int, work: Path) -> tuple[float, float]:
    """Letters per second: render_many to PDF on every core, and plain soffice over ready .docx files."""
    folder = work / "docx"
    with ProcessPoolExecutor(os.cpu_count()) as pool:
        names = list(render_many(LETTER, records(count), executor=pool, output=folder))
        soffice = shutil.which("soffice")
        assert soffice is not None and all(isinstance(name, str) for name in names)
        profile = (work / "plain-profile").as_uri()

        def plain(outdir: Path, inputs: list[Any]) -> float:
            start = time.perf_counter()
            subprocess.run([soffice, "--headless", f"-env:UserInstallation={profile}", "--convert-to", "pdf",
                            "--outdir", str(outdir), *inputs], capture_output=True, check=True)
            return time.perf_counter() - start

        plain(work / "warm", names[:1])
        plain_seconds = plain(work / "pdf", names)
        assert len(list((work / "pdf").glob("*.pdf"))) == count
        warm(LETTER, pool, os.cpu_count() or 1, pdf=True)
        ours = timed_run(LETTER, count, pool, pdf=True)
    return count / ours, count / plain_seconds


MEMORY = textwrap.dedent("""
    import json, resource, sys
    from tesserine import render_many
    template, count = open(sys.argv[1], "rb").read(), int(sys.argv[2])
    context = json.loads(sys.argv[3])
    letters = ({**context, "invoice": {"number": str(index), "date": "today"}} for index in range(count))
    failed = sum(not isinstance(outcome, bytes) for outcome in render_many(template, letters))
    assert failed == 0, failed
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
""")


def peak_memory(template: Path, count: int) -> tuple[int, int]:
    """Peak resident KiB of the calling process and of its busiest worker."""
    result = subprocess.run([sys.executable, "-c", MEMORY, str(template), str(count), json.dumps(CONTEXT)],
                            capture_output=True, text=True, check=True)
    parent, child = result.stdout.split()
    return int(parent), int(child)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=3000, help="letters per throughput run")
    parser.add_argument("--report-records", type=int, default=150, help="reports per throughput run")
    parser.add_argument("--pdf-records", type=int, default=40)
    parser.add_argument("--memory-records", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip", default="", help="comma-separated: dask, pdf, memory")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    cores = sorted({1, 2, os.cpu_count() or 1})

    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        report = report_template()
        (work / "report.docx").write_bytes(report)
        (work / "letter.docx").write_bytes(LETTER)
        print(f"machine: {os.cpu_count()} cores; Python {sys.version.split()[0]}")
        print(f"report: {len(report_part(REPORT_BLOCKS)):,} bytes of main part, {pages(render(report), work)} pages")

        cold, cached = first_render(work / "report.docx", work, args.rounds)
        print(f"first render of the report in a fresh process: uncached {cold * 1e3:.1f} ms, cached"
              f" {cached * 1e3:.1f} ms, ratio {cached / cold:.2f} (target <= 0.33)")

        for name, template, count in (("letter", LETTER, args.records), ("report", report, args.report_records)):
            rates = throughput(template, count, cores, args.rounds)
            figures = ", ".join(f"{n} core{'s' * (n > 1)} {rate:.0f}/s" for n, rate in rates.items())
            efficiency = ", ".join(f"{rates[n] / (n * rates[1]):.2f} on {n}" for n in cores if n > 1)
            print(f"{name}s per second ({count} a run): {figures}; scaling efficiency {efficiency} (target >= 0.8)")

        if "dask" not in skip:
            local, dask = dask_against_local(args.records, args.rounds)
            print(f"{args.records} letters on 2 workers: local processes {local:.2f} s, Dask LocalCluster"
                  f" {dask:.2f} s, ratio {dask / local:.2f} (target < 1.5)")

        if "pdf" not in skip:
            ours, plain = pdf_against_soffice(args.pdf_records, work)
            print(f"{args.pdf_records} letters to PDF: render_many {ours:.1f}/s, plain soffice over ready .docx"
                  f" {plain:.1f}/s, ratio {ours / plain:.2f} (target >= 0.8)")

        if "memory" not in skip:
            small = max(1, args.memory_records // 10)
            (p_small, c_small), (p_large, c_large) = (peak_memory(work / "letter.docx", n)
                                                      for n in (small, args.memory_records))
            print(f"peak memory of render_many over {small:,} and {args.memory_records:,} letters: caller"
                  f" {p_small / 1024:.0f} and {p_large / 1024:.0f} MiB (ratio {p_large / p_small:.2f}), busiest"
                  f" worker {c_small / 1024:.0f} and {c_large / 1024:.0f} MiB (ratio {c_large / c_small:.2f})")


def render(template: bytes) -> bytes:
    [document] = render_many(template, [CONTEXT])
    assert isinstance(document, bytes), document
    return document


if __name__ == "__main__":
    main()
