"""Render limits: output counted while it is produced, values that one expression would
build, the time of a render, the growth post-rendering can bring, and values that XML
cannot hold."""

from __future__ import annotations

import signal
import subprocess
import sys
import time
import tracemalloc
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor

import jinja2
import pytest
from helpers_docx import backend, child_env
from test_sandbox import document

import tesserine
from tesserine import _backend, _growth

__all__ = ["backend"]

SMALL = tesserine.Limits(max_output_size=1_000_000)
QUICK = tesserine.Limits(timeout=0.5)
PART = "word/document.xml"


def paragraph(template: str, properties: str = "") -> str:
    return f'<w:p>{properties}<w:r><w:t xml:space="preserve">{template}</w:t></w:r></w:p>'


AMPLIFIERS = [
    "{{ 'x' * 10**10 }}",
    "{{ [0] * 10**9 }}",
    "{{ 2 ** (10**9) }}",
    "{{ '%999999999s' % 1 }}",
    "{{ '%*d' % (10**9, 1) }}",
    "{{ 'x'|center(10**10) }}",
    "{{ 'x'.rjust(10**10) }}",
    "{{ '{:>999999999}'.format('x') }}",
    "{{ 'ab'|indent(10**9, true) }}",
    "{{ ('x' * 10**5)|replace('x', 'yy' * 10**4) }}",
    "{{ lipsum(10**6) }}",
    "{{ [1]|batch(10**9, 0)|list }}",
    "{{ [big, big]|join }}",
    "{{ [big, big] }}",
    "{{ big ~ big }}",
    "{% set ns = namespace(s='x') %}{% for i in range(64) %}{% set ns.s = ns.s ~ ns.s %}{% endfor %}",
    "{% set l = ['x' * 10**4] %}{% for i in range(64) %}{{ l.extend(l) }}{% endfor %}",
]


@pytest.mark.parametrize("tag", AMPLIFIERS)
def test_expressions_that_would_build_too_much_are_refused(tag: str) -> None:
    scrivelle = tesserine.Scrivelle(document("Intro", tag), limits=SMALL)
    with pytest.raises(tesserine.ExpressionLimitError) as refused:
        scrivelle.render({"big": "x" * 600_000})
    assert isinstance(refused.value, tesserine.LimitError)
    assert (refused.value.part, refused.value.paragraph) == (PART, 2)
    assert refused.value.tag is not None and refused.value.tag.split(" … ")[-1] in tag
    assert " would build " in refused.value.message


def test_a_loop_that_writes_stops_at_the_limit() -> None:
    scrivelle = tesserine.Scrivelle(document("{% for i in range(100000) %}{{ 'x' * 1000 }}{% endfor %}"),
                                    limits=SMALL)
    tracemalloc.start()
    try:
        with pytest.raises(tesserine.LimitError, match=f"^{PART}: the rendered part passed 1,000,000 characters"):
            scrivelle.render({})
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # Written out in full, the loop would hold a hundred million characters.
    assert peak < 20_000_000


def slow_items(taken: list[int]) -> Iterator[int]:
    while True:
        time.sleep(0.01)
        taken.append(1)
        yield len(taken)


def test_loops_that_write_nothing_run_out_of_time() -> None:
    # No alarm outside the main thread: the loops look at the deadline themselves.
    nested = "{% for a in outer %}{% for b in outer %}{% endfor %}{% endfor %}"
    with ThreadPoolExecutor(1) as pool:
        failure = pool.submit(tesserine.Scrivelle(document(nested), limits=QUICK).render, {"outer": "x" * 100_000})
    assert isinstance(failure.exception(), tesserine.RenderTimeoutError)


def test_the_alarm_stops_what_the_loops_cannot_see() -> None:
    taken: list[int] = []
    scrivelle = tesserine.Scrivelle(document("{% for x in items %}{% endfor %}"), limits=QUICK)
    with pytest.raises(tesserine.RenderTimeoutError):
        scrivelle.render({"items": slow_items(taken)})
    # The loop itself would look at the clock only after 1,024 items.
    assert len(taken) < 1024
    assert signal.getsignal(signal.SIGALRM) == signal.SIG_DFL
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)


def test_a_callers_alarm_is_left_alone() -> None:
    def handler(signum: int, frame: object) -> None:
        raise AssertionError("the caller's alarm went off")

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 100.0)
    try:
        scrivelle = tesserine.Scrivelle(document("{% for a in range(100000) %}{% for b in range(100000) %}"
                                                 "{% endfor %}{% endfor %}"), limits=QUICK)
        with pytest.raises(tesserine.RenderTimeoutError, match=f"^{PART}: ran out of time after 0.5 seconds"):
            scrivelle.render({})
        assert signal.getsignal(signal.SIGALRM) is handler
        assert 90.0 < signal.getitimer(signal.ITIMER_REAL)[0] <= 100.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_twenty_million_line_feeds_are_refused_within_two_gib() -> None:
    script = (
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
        "import tesserine\n"
        "try:\n"
        "    tesserine.render_xml_part('<w:p><w:r><w:t>{{ v }}</w:t></w:r></w:p>', {'v': '\\n' * 20_000_000})\n"
        "except tesserine.LimitError as error:\n"
        "    print(type(error).__name__, error)\n"
    )
    child = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True, text=True)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout.startswith("LimitError <part>: the rendered part holds so many tabs and line")


def test_properties_copied_for_each_tab_count_towards_the_limit() -> None:
    properties = '<w:rPr><w:rFonts w:ascii="' + "F" * 5000 + '"/></w:rPr>'
    xml = f'<w:p><w:r>{properties}<w:t xml:space="preserve">{{{{ v }}}}</w:t></w:r></w:p>'
    with pytest.raises(tesserine.LimitError, match="max_output_size"):
        tesserine.render_xml_part(xml, {"v": "\t" * 200}, limits=SMALL)
    assert tesserine.render_xml_part(xml, {"v": "a\tb"}, limits=SMALL).count("<w:tab/>") == 1


# Properties holding paragraph breaks are copied into markup whose breaks are replaced in
# turn; the bound must hold all the same.
GROWTH = {
    "each kind": paragraph("a\tb\nc\ad\fe"),
    "breaks in run properties": paragraph("\t" * 20, '<w:pPr><w:jc w:val="left"/></w:pPr>').replace(
        "<w:r>", "<w:r><w:rPr>" + "\a" * 20 + "</w:rPr>"),
    "breaks in both": paragraph("\t\a\f", "<w:pPr>\a\a\f</w:pPr>").replace("<w:r>", "<w:r><w:rPr>\a\a<w:b/></w:rPr>"),
    "line feeds": paragraph("\n" * 1000) * 3,
}


@pytest.mark.parametrize("rendered", GROWTH.values(), ids=GROWTH.keys())
def test_growth_past_the_limit_is_foreseen(backend: str, rendered: str) -> None:
    finished = _backend.active.post_render(rendered) or rendered
    assert not _growth.stays_within(rendered, len(finished) - 1)


VALUES = [("ab\udc80cd", "\\udc80", 3), ("ab\x01cd", "\\x01", 3), ("x" * 40 + "\x1f", "\\x1f", 41)]


@pytest.mark.parametrize("value, shown, position", VALUES)
def test_values_xml_cannot_hold(value: str, shown: str, position: int) -> None:
    scrivelle = tesserine.Scrivelle(document("Name: {{ v }}"))
    with pytest.raises(tesserine.InvalidCharacterError) as refused:
        scrivelle.render({"v": value})
    assert (refused.value.part, refused.value.tag) == (PART, "{{ v }}")
    assert f"holds {shown} at character {position}," in refused.value.message
    assert f"{shown}cd'" in refused.value.message or refused.value.message.endswith(f"{shown}'")
    # A part rendered alone with an environment as given lets the value through;
    # post-rendering still names the part.
    if "\udc80" in value:
        with pytest.raises(tesserine.InvalidCharacterError, match="^<part>: the rendered part holds \\\\udc80"):
            tesserine.render_xml_part(paragraph("{{ v }}"), {"v": value}, environment=jinja2.Environment())


@pytest.mark.parametrize("template, error", [
    ("{{ " + "(" * 100 + "1" + ")" * 100 + " }}", tesserine.TemplateSyntaxError),
    ("{% for a in b %}" * 25 + "{% endfor %}" * 25, tesserine.TemplateSyntaxError),
    ("{% macro m() %}{{ m() }}{% endmacro %}{{ m() }}", tesserine.TemplateRenderError),
])
def test_nesting_and_recursion_are_template_errors(template: str, error: type[Exception]) -> None:
    with pytest.raises(error, match=r"^<part>: .*(nested too deeply|RecursionError)"):
        tesserine.render_xml_part(paragraph(template), {"b": [1]})
