"""Rich values in JSON data: the forms, their errors, the command line that reads them,
and the demo letter that shows them."""

from __future__ import annotations

import base64
import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

import docx
import pytest
from helpers_docx import W, members, read, to_bytes
from lxml import etree
from test_cli import run
from test_values import check_package, office, pictures_listed, png

from tesserine import Fragment, Link, Markdown, Styled
from tesserine._json_values import JsonValueError, rich_values

Office = Callable[[list[Path]], list[tuple[str, str]]]
__all__ = ["office"]


@pytest.mark.parametrize("data, expected", [
    ({"a": {"@styled": "x", "bold": True}}, {"a": Styled("x", bold=True)}),
    ({"a": [{"@link": "https://e.example", "text": "e"}]}, {"a": [Link("https://e.example", "e")]}),
    ({"a": {"@styled": ["p ", {"@styled": "q", "color": "00f"}], "color": "f00"}},
     {"a": Styled("p ", color="f00") + Styled("q", color="00f")}),
    ({"a": {"@markdown": "*m*"}}, {"a": Markdown("*m*")}),
    ({"@id": 1, "a": {"@type": "x"}}, {"@id": 1, "a": {"@type": "x"}}),
])
def test_json_forms(data: Any, expected: Any) -> None:
    assert rich_values(data, None) == expected


@pytest.mark.parametrize("data, message", [
    ({"a": {"@picture": "../outside.png"}}, r"^a: picture path '\.\./outside\.png' leads outside"),
    ({"a": {"@picture": "/etc/hostname"}}, "must be relative"),
    ({"a": [{"@picture": "missing.png"}]}, r"^a\[0\]: cannot read the picture 'missing.png'"),
    ({"a": {"@picture": "folder"}}, "'folder' is not a file"),
    ({"a": {"@picture": "big.png"}}, "'big.png' is larger than the 1,000 bytes a picture may take"),
    ({"a": {"@picture": "data:image/png;base64," + "A" * 1400}}, "larger than the 1,000 bytes"),
    ({"a": {"@picture": "data:image/png;base64,@@@"}}, "damaged"),
    ({"a": {"@styled": "x", "bolt": True}}, "no option 'bolt'"),
    ({"a": {"@styled": "x", "@link": "https://e.example"}}, "not @styled and @link"),
    ({"a": {"@link": "ftp://e.example"}}, "only absolute"),
    ({"a": {"@markdown": 3}}, "takes a string"),
    ({"a": {"@fragment": "big.png"}}, "^a: .*not a .docx"),
    ({"a": {"@fragment": "big.png", "keep_styles": "yes"}}, "keep_styles takes true or false"),
    ({"a": {"@fragment": "big.png", "width": 3}}, "no option 'width'"),
])
def test_json_form_errors(data: Any, message: str, tmp_path: Path) -> None:
    (tmp_path / "folder").mkdir()
    (tmp_path / "big.png").write_bytes(png(400, 400, dpi=72))
    with pytest.raises(JsonValueError, match=message):
        rich_values(data, tmp_path, max_picture_size=1000)


def test_json_fragments_by_path(tmp_path: Path) -> None:
    (tmp_path / "c.docx").write_bytes(clause("Text."))
    values = rich_values({"a": {"@fragment": "c.docx", "keep_styles": True}, "b": {"@fragment": "c.docx"}}, tmp_path)
    assert [(type(value), value.keep_styles) for value in values.values()] == [(Fragment, True), (Fragment, False)]


def test_json_fragment_paths_need_a_data_file() -> None:
    with pytest.raises(JsonValueError, match="^a: fragment paths need a data file to be relative to$"):
        rich_values({"a": {"@fragment": "clause.docx"}}, None)


def test_json_pictures_by_path_and_data_uri(tmp_path: Path) -> None:
    (tmp_path / "pics").mkdir()
    (tmp_path / "pics" / "logo.png").write_bytes(png(40, 20))
    uri = "data:image/png;base64," + base64.b64encode(png(10, 10)).decode()
    values = rich_values({"p": {"@picture": "pics/logo.png", "width": "2cm", "alt": "Logo"}, "q": {"@picture": uri}},
                         tmp_path)
    assert (values["p"].size, values["p"].alt, values["q"].size) == ((720000, 360000), "Logo", (95250, 95250))


RECORD = {"logo": {"@picture": "logo.png", "width": "2cm"}, "status": {"@styled": "overdue", "bold": True},
          "site": {"@link": "https://e.example", "text": "site"}, "note": {"@markdown": "- one\n- two"},
          "first": {"@fragment": "clauses/a.docx"}, "second": {"@fragment": "clauses/b.docx", "keep_styles": True}}


@pytest.fixture
def rich_template(tmp_path: Path) -> Path:
    document = docx.Document()
    document.add_paragraph("{{ logo }} {{ status }} at {{ site }}")
    document.add_paragraph("{{p note }}")
    document.add_paragraph("{{p first }}")
    document.add_paragraph("{{p second }}")
    path = tmp_path / "template.docx"
    path.write_bytes(to_bytes(document))
    (tmp_path / "data" / "clauses").mkdir(parents=True)
    (tmp_path / "data" / "logo.png").write_bytes(png(40, 20))
    (tmp_path / "data" / "clauses" / "a.docx").write_bytes(clause("We answer for nothing."))
    (tmp_path / "data" / "clauses" / "b.docx").write_bytes(clause("You answer for all."))
    return path


def check_rich(data: bytes) -> None:
    document = read(data)
    check_package(members(data))
    assert [p.text for p in document.paragraphs] == [" overdue at site", "one", "two", "Liability",
                                                     "We answer for nothing.", "Liability", "You answer for all."]
    assert [p.style.name for p in document.paragraphs[3:5]] == ["Heading 1", "List Number"]
    assert [run.bold for run in document.paragraphs[0].runs if run.text == "overdue"] == [True]
    assert [link.address for link in document.paragraphs[0].hyperlinks] == ["https://e.example"]
    assert [shape.width for shape in document.inline_shapes] == [720000]


@pytest.mark.parametrize("command", ["render", "batch"])
def test_the_command_line_reads_json_forms(rich_template: Path, tmp_path: Path, command: str) -> None:
    data = tmp_path / "data" / ("record.json" if command == "render" else "records.jsonl")
    data.write_text(json.dumps(RECORD) + "\n")
    result = run(command, rich_template, data, "-o", tmp_path / "one.docx" if command == "render" else tmp_path)
    assert result.returncode == 0, result.stderr
    check_rich((tmp_path / ("one.docx" if command == "render" else "1.docx")).read_bytes())


@pytest.mark.parametrize("command", ["render", "batch"])
def test_plain_json_keeps_the_objects(rich_template: Path, tmp_path: Path, command: str) -> None:
    data = tmp_path / "data" / "records.jsonl"
    data.write_text(json.dumps({**RECORD, "logo": "", "note": ""}) + "\n")
    result = run(command, rich_template, data, "-o", tmp_path / "out.docx" if command == "render" else tmp_path,
                 "--plain-json")
    assert result.returncode == 0, result.stderr
    written = tmp_path / ("out.docx" if command == "render" else "1.docx")
    assert "{'@styled': 'overdue', 'bold': True}" in read(written.read_bytes()).paragraphs[0].text


@pytest.mark.parametrize("command", ["render", "batch"])
def test_a_bad_json_form_is_one_line(rich_template: Path, tmp_path: Path, command: str) -> None:
    data = tmp_path / "data" / "records.jsonl"
    data.write_text(json.dumps({**RECORD, "logo": {"@picture": "../template.docx"}}) + "\n")
    result = run(command, rich_template, data, "-o", tmp_path / "out.docx" if command == "render" else tmp_path / "o")
    assert result.returncode == 1
    line = "line 1: " if command == "batch" else ""
    assert f"tesserine: {line}logo: picture path '../template.docx' leads outside" in result.stderr
    assert "Traceback" not in result.stderr


def clause(text: str) -> bytes:
    document = docx.Document()
    document.add_heading("Liability", level=1)
    document.add_paragraph(text, style="List Number")
    return to_bytes(document)


def test_the_demo_shows_rich_values(office: Office, tmp_path: Path) -> None:
    assert run("demo", "-o", tmp_path).returncode == 0
    data = (tmp_path / "tesserine-demo.docx").read_bytes()
    check_package(members(data))
    document = read(data)
    [logo] = document.inline_shapes
    assert logo.width == 900000
    status = next(p for p in document.paragraphs if p.text.startswith("Status: "))
    assert [(run.text, run.bold, run.italic, str(run.font.color.rgb)) for run in status.runs[1:]] == [
        ("overdue", True, True, "C00000")]
    links = [(link.text, link.address) for p in document.paragraphs for link in p.hyperlinks]
    assert links == [("pay.quillmark.example", "https://pay.quillmark.example/invoice/2024-0117?ref=GB29"),
                     ("accounts@quillmark.example", "mailto:accounts@quillmark.example")]
    texts = [p.text for p in document.paragraphs]
    start = texts.index("Note: since our move to Mill Lane, deliveries leave on:")
    assert texts[start + 1:start + 3] == ["Mondays and Thursdays, before noon", "Fridays, for orders over 100.00 EUR"]
    assert len(etree.fromstring(members(data)["word/document.xml"]).findall(f".//{W}numPr")) == 2
    [(text, images)] = office([tmp_path / "tesserine-demo.docx"])
    assert "Status: overdue" in text and "or pay online at pay.quillmark.example." in text
    assert "• Mondays and Thursdays, before noon • Fridays, for orders over 100.00 EUR" in text
    assert pictures_listed(images) == 1
