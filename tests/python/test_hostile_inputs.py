"""What a hostile data provider or fragment supplier can hand over: each refused with a
tesserine error that says what was wrong, or carried over without what is unsafe in it.
Inputs that could hang or exhaust the machine are read in a child process with 1 GiB of
address space and a time limit."""

from __future__ import annotations

import http.server
import io
import json
import os
import socketserver
import struct
import subprocess
import sys
import threading
import warnings
import zlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import docx
import jinja2
import pytest
from helpers_docx import W, child_env, members, office_tools, to_bytes, zip_with
from lxml import etree
from PIL import Image
from test_archive_attacks import ATTACKS, BASE_BYTES

import tesserine
from tesserine import Fragment, FragmentWarning, Scrivelle, Styled, _bytecode_cache, _check, _ooxml, _resources
from tesserine._ooxml import PackageXmlError
from tesserine.values.errors import PictureError, RichValueError

CHILD = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tesserine
outcomes = []
for expression in json.loads(sys.argv[1]):
    try:
        eval(expression, {"tesserine": tesserine})
        outcomes.append([None, ""])
    except Exception as error:
        outcomes.append([type(error).__name__, str(error)])
print(json.dumps(outcomes))
"""


def in_child(expressions: list[str], timeout: float = 60) -> list[tuple[str | None, str]]:
    """Each expression evaluated in one child process: the name and message of what it raised."""
    result = subprocess.run([sys.executable, "-c", CHILD, json.dumps(expressions)], capture_output=True,
                            text=True, env=child_env(), timeout=timeout)
    assert result.returncode == 0, result.stderr
    return [tuple(outcome) for outcome in json.loads(result.stdout)]


def _png_header(width: int, height: int) -> bytes:
    """A PNG that declares a size and holds one row of it."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(width + 1)))
            + chunk(b"IEND", b""))


def _jpeg() -> bytes:
    buffer = io.BytesIO()
    Image.new("RGB", (40, 40), "red").save(buffer, "JPEG")
    return buffer.getvalue()


def _svg(attributes: str) -> bytes:
    return f'<svg xmlns="http://www.w3.org/2000/svg" {attributes}></svg>'.encode()


def _fifo(folder: Path) -> str:
    os.mkfifo(folder / "pipe")
    return repr(str(folder / "pipe"))


# The picture source as Python source (given a folder to make files in), and what the
# message must say.
PICTURE_SOURCES: list[tuple[str, Callable[[Path], str], str]] = [
    ("FIFO with no writer", _fifo, "it is not a regular file"),
    ("/dev/zero", lambda folder: "'/dev/zero'", "it is not a regular file"),
    ("a folder", lambda folder: repr(str(folder)), "it is not a regular file"),
    ("NUL in the path", lambda folder: repr("logo\0.png"), "NUL character"),
    ("PNG declaring 40,000 by 40,000 pixels", lambda folder: repr(_png_header(40_000, 40_000)), "too many pixels"),
    ("JPEG cut short", lambda folder: repr(_jpeg()[:300]), "damaged"),
    ("SVG wider than a document holds", lambda folder: repr(_svg('width="1e308" height="1"')),
     "more than a document can hold"),
    ("SVG view box of infinite width", lambda folder: repr(_svg('viewBox="0 0 1e400 1"')),
     "more than a document can hold"),
    ("file object giving text", lambda folder: "__import__('io').StringIO('x')", "opened in binary mode"),
]


def test_hostile_picture_sources_are_refused(tmp_path: Path) -> None:
    expressions = [f"tesserine.Picture({build(tmp_path)})" for _, build, _ in PICTURE_SOURCES]
    for (label, _, expected), (error, message) in zip(PICTURE_SOURCES, in_child(expressions), strict=True):
        assert (error, expected in message) == ("PictureError", True), (label, error, message)


@pytest.mark.parametrize("call", ["tesserine.Scrivelle({})", "tesserine.Fragment({})",
                                  "list(tesserine.render_many({}, []))"])
def test_templates_and_fragments_are_read_only_from_files(tmp_path: Path, call: str) -> None:
    sources = [_fifo(tmp_path), "'/dev/zero'", "'/'"]
    for error, message in in_child([call.format(source) for source in sources]):
        assert error in ("NotADocxError", "TesserineError") and "it is not a regular file" in message, message


def test_every_hostile_archive_is_refused_as_a_fragment(tmp_path: Path) -> None:
    paths = []
    for index, (_, build, _, _) in enumerate(ATTACKS):
        path = tmp_path / f"{index}.docx"
        path.write_bytes(build())
        paths.append(path)
    outcomes = in_child([f"tesserine.Fragment({str(path)!r})" for path in paths], timeout=120)
    for (label, _, error, fragments), (raised, message) in zip(ATTACKS, outcomes, strict=True):
        assert raised == error, (label, message)
        # Members are named in the archive's errors; the part in those of its parts.
        assert fragments[0].strip("'") in message, (label, message)


@pytest.mark.parametrize("width", ["9" * 400 + "cm", "1e308cm", "-3cm", "nan cm", 10**100, 0])
def test_absurd_picture_widths_are_refused(width: Any) -> None:
    with pytest.raises(PictureError, match=r"^width=.*: (a picture's size must be|give a number)"):
        tesserine.Picture(_png_header(4, 4), width=width)


@pytest.mark.parametrize("given", [
    {"bold": "no"}, {"underline": 5}, {"superscript": None},
])
def test_styled_switches_take_only_booleans(given: dict[str, Any]) -> None:
    [(name, value)] = given.items()
    with pytest.raises(RichValueError, match=f"^{name}={value!r}: give True or False"):
        Styled("overdue", **given)


def test_styled_values_cannot_write_markup() -> None:
    template = docx.Document()
    template.add_paragraph("Status: {{ x }}")
    document = Scrivelle(to_bytes(template))
    document.render({"x": Styled("paid", font='Arial"/><w:b/><w:rFonts w:ascii="x')})
    xml = document.rendered_xml("word/document.xml")
    assert "<w:b/>" not in xml and "&quot;/&gt;&lt;w:b/&gt;" in xml


R = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
def _drawing(attribute: str) -> str:
    return (f'<w:r><w:drawing><wp:inline xmlns:wp="http://schemas.openxmlformats.org/drawingml/2006/'
            f'wordprocessingDrawing"><wp:extent cx="9525" cy="9525"/><wp:docPr id="1" name="p"/><a:graphic'
            f' xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main"><a:graphicData uri="http://schemas.'
            f'openxmlformats.org/drawingml/2006/picture"><pic:pic xmlns:pic="http://schemas.openxmlformats.org/'
            f'drawingml/2006/picture"><pic:blipFill><a:blip xmlns:r="{R}" {attribute}="rIdX"/></pic:blipFill>'
            f"</pic:pic></a:graphicData></a:graphic></wp:inline></w:drawing></w:r>")


DRAWING = _drawing("r:embed")
LINK = f'<w:hyperlink xmlns:r="{R}" r:id="rIdX"><w:r><w:t>click here</w:t></w:r></w:hyperlink>'


def _fragment_with(kind: str, target: str, run: str) -> bytes:
    """The base document with one paragraph holding `run`, related to `target` outside the package."""
    files = members(BASE_BYTES)
    relationship = (f'<Relationship Id="rIdX" Type="{R}/{kind}" Target="{target}" TargetMode="External"/>'
                    "</Relationships>")
    files["word/_rels/document.xml.rels"] = files["word/_rels/document.xml.rels"].replace(
        b"</Relationships>", relationship.encode())
    files["word/document.xml"] = files["word/document.xml"].replace(b"<w:body>", f"<w:body><w:p>{run}</w:p>".encode())
    return zip_with(files)


@pytest.mark.parametrize("kind, target, run, warning", [
    ("hyperlink", "javascript:alert(1)", LINK, "not an absolute http, https or mailto address"),
    ("image", "http://tracker.example/pixel.png", DRAWING, "a picture linked from outside the document"),
])
def test_fragment_links_out_of_bounds_are_left_out(kind: str, target: str, run: str, warning: str) -> None:
    template = docx.Document()
    template.add_paragraph("{{p x }}")
    document = Scrivelle(to_bytes(template))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        document.render({"x": Fragment(_fragment_with(kind, target, run))})
    assert any(issubclass(each.category, FragmentWarning) and warning in str(each.message)
               and target in str(each.message) for each in caught), [str(each.message) for each in caught]
    output = io.BytesIO()
    document.save(output)
    saved = members(output.getvalue())
    assert target.encode() not in b"".join(saved.values())
    if run == LINK:
        # The link goes; its text stays.
        assert b"click here" in saved["word/document.xml"]


@pytest.mark.parametrize("tag, context", [
    ("{{{{ value | unknown{} }}}}", None),
    ("{{{{ {} / value }}}}", {"value": 0}),
])
def test_check_stops_looking_when_its_time_is_up(monkeypatch: pytest.MonkeyPatch, tag: str,
                                                 context: dict[str, Any] | None) -> None:
    # Each problem costs a reading or a render of the whole part: thousands would take minutes.
    monkeypatch.setattr(_check, "PART_SECONDS", 0.0)
    template = docx.Document()
    for index in range(3):
        template.add_paragraph(tag.format(index))
    problems = Scrivelle(to_bytes(template)).check(context)
    assert [problem.tag for problem in problems] == [tag.format(0), ""]
    assert problems[-1].message.startswith("stopped looking for problems after 0 seconds")


def test_fragment_list_through_a_style_to_an_empty_definition() -> None:
    files = members(BASE_BYTES)
    w = f'xmlns:w="{W[1:-1]}"'
    files["word/numbering.xml"] = (
        f'<w:numbering {w}><w:abstractNum w:abstractNumId="1"><w:numStyleLink w:val="Linked"/></w:abstractNum>'
        '<w:abstractNum w:abstractNumId="2"/><w:num w:numId="1"><w:abstractNumId w:val="1"/></w:num>'
        '<w:num w:numId="2"><w:abstractNumId w:val="2"/></w:num></w:numbering>').encode()
    files["word/styles.xml"] = files["word/styles.xml"].replace(b"</w:styles>", (
        b'<w:style w:type="numbering" w:styleId="Linked"><w:name w:val="Linked"/><w:pPr><w:numPr>'
        b'<w:numId w:val="2"/></w:numPr></w:pPr></w:style></w:styles>'))
    files["word/document.xml"] = files["word/document.xml"].replace(
        b"<w:body>", b'<w:body><w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr>'
                     b"<w:r><w:t>item</w:t></w:r></w:p>")
    with warnings.catch_warnings():
        # lxml warns when an element is tested for truth: an empty one is false.
        warnings.simplefilter("error", FutureWarning)
        fragment = Fragment(zip_with(files))
    item = next(paragraph for paragraph in fragment.source.body.content.iter(f"{W}p")
                if "item" in "".join(paragraph.itertext()))
    assert item.find(f"{W}pPr/{W}numPr/{W}numId") is not None


@pytest.mark.parametrize("name, written, failure", [
    (lambda index, record: record["id"], ["b.docx"], "naming the document failed: KeyError: 'id'"),
    (lambda index, record: "../" + record.get("id", "up"), ["_up.docx", "_b.docx"], None),
    (lambda index, record: "/etc/" + record.get("id", "x"), ["_etc_x.docx", "_etc_b.docx"], None),
])
def test_render_many_names_stay_in_the_folder(tmp_path: Path, name: Callable[[int, Any], str],
                                              written: list[str], failure: str | None) -> None:
    template = docx.Document()
    template.add_paragraph("Dear {{ id }}")
    outcomes = list(tesserine.render_many(to_bytes(template), [{}, {"id": "b"}], workers=1,
                                          output=tmp_path / "out", name=name))
    if failure is not None:
        assert isinstance(outcomes[0], tesserine.TesserineError) and str(outcomes[0]) == failure
        outcomes = outcomes[1:]
    assert [os.path.basename(str(outcome)) for outcome in outcomes] == written
    assert sorted(os.listdir(tmp_path)) == ["out"] and sorted(os.listdir(tmp_path / "out")) == sorted(written)


def test_pdf_conversion_fetches_nothing_a_document_links_to(tmp_path: Path) -> None:
    office_tools("soffice")
    requested: list[str] = []

    class Recorder(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            requested.append(self.path)
            self.send_response(404)
            self.end_headers()

        def log_message(self, *args: Any) -> None:
            pass

    with socketserver.TCPServer(("127.0.0.1", 0), Recorder) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        address = f"http://127.0.0.1:{server.server_address[1]}/internal.png"
        document = Scrivelle(_fragment_with("image", address, _drawing("r:link")))
        document.render({})
        try:
            document.save_pdf(tmp_path / "out.pdf")
        finally:
            server.shutdown()
    assert (tmp_path / "out.pdf").read_bytes().startswith(b"%PDF")
    assert requested == []


@pytest.mark.parametrize("existing", [
    "", '<w:abstractNum w:abstractNumId="4"/><w:num w:numId="2"><w:abstractNumId w:val="4"/></w:num>'
        '<w:numIdMacAtCleanup w:val="1"/>',
])
def test_many_lists_keep_the_numbering_part_in_schema_order(existing: str) -> None:
    # Markdown with thousands of lists adds them one by one, each where the schema wants it.
    part = f'<w:numbering xmlns:w="{W[1:-1]}">{existing}</w:numbering>'
    numbering = _resources._Numbering("word/numbering.xml", part)
    added = [numbering.new_list(ordered=index % 2 == 0, start=1) for index in range(3)]
    tags = [etree.QName(child).localname for child in numbering.root]
    cleanup = ["numIdMacAtCleanup"] if existing else []
    lists = len(added) + bool(existing)
    assert tags == ["abstractNum"] * lists + ["num"] * lists + cleanup
    assert added == (["3", "4", "5"] if existing else ["1", "2", "3"])


@pytest.mark.parametrize("part, expected", [
    (f'<w:styles xmlns:w="{W[1:-1]}"><w:docDefaults/>' + "".join(
        f'<w:style w:styleId="S{index}"><w:name w:val="Style {index}"/></w:style>' for index in range(3))
     + "</w:styles>", [("S0", "Style 0"), ("S1", "Style 1"), ("S2", "Style 2")]),
    ('<!DOCTYPE w [<!ENTITY e "x">]><w:styles/>', PackageXmlError),
    (f'<w:styles xmlns:w="{W[1:-1]}"><w:style>', PackageXmlError),
])
def test_streamed_elements_are_whole_and_checked(part: str, expected: Any) -> None:
    def read() -> list[tuple[str | None, str | None]]:
        return [(style.get(f"{W}styleId"), style[0].get(f"{W}val"))
                for style in _ooxml.elements(part, "word/styles.xml", f"{W}style")]

    if isinstance(expected, list):
        assert read() == expected
    else:
        with pytest.raises(expected, match="word/styles.xml"):
            read()


def test_a_cache_folder_that_is_a_link_is_not_used(tmp_path: Path) -> None:
    # Entries are code this process runs: a link may lead where others can write.
    target = tmp_path / "elsewhere"
    target.mkdir(mode=0o700)
    (tmp_path / "cache").symlink_to(target)
    environment = jinja2.Environment(bytecode_cache=_bytecode_cache.DiskBytecodeCache(str(tmp_path / "cache")))
    for _ in range(2):
        assert _bytecode_cache.compile_part(environment, "word/document.xml", "{{ 6 * 7 }}").render() == "42"
    assert list(target.iterdir()) == []
