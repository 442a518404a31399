"""Scrivelle end to end on .docx files built as a word processor writes them."""

from __future__ import annotations

import io
import json
import os
import stat
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

import docx
import jinja2
import pytest
from helpers_docx import W, backend, child_env, members, read, split_runs, table_texts, texts, to_bytes, zip_with
from test_sandbox import document

import tesserine
from tesserine import _backend, _pure

__all__ = ["backend"]

DEMO = Path(tesserine.__file__).parent / "examples" / "invoice-letter.docx"
CONTEXT = {
    "customer": "Tom & Jerry <b>", "address": "1 Long Road\nSpringfield", "columns": "a\tb", "two": "first\asecond",
    "pages": "before\fafter", "ref": "R-7", "kind": "Tools", "total": "7.50",
    "lines": [{"name": "hammer", "qty": 2}, {"name": "saw", "qty": 1}, {"name": "nails", "qty": 100}],
}


def letter() -> bytes:
    document = docx.Document()
    split_runs(document.add_paragraph(), "Dear {", "{ cust", "omer", " }},")
    for text in ["{{ address }}", "{{ columns }}", "{{ two }}", "{{ pages }}", "Intro.",
                 "{%- if overdue %}", "Please pay.", "{%- endif %}", "Closing."]:
        document.add_paragraph(text)
    table = document.add_table(rows=5, cols=3)
    rows = [["{% cellbg \u201cD9E2F3\u201d %}Item", "Qty", "Price"], ["{%tr for line in lines %}", "", ""],
            ["{% vm %}{{ kind }}", "{{ line.name }}", "{{ line.qty }}"], ["{%tr endfor %}", "", ""],
            ["{% colspan 2 %}Total", "{{ total }}", ""]]
    for row, values in zip(table.rows, rows, strict=True):
        for cell, value in zip(row.cells, values, strict=True):
            cell.text = value
    total_row = table.rows[4]._tr
    total_row.remove(total_row.tc_lst[-1])
    document.sections[0].header.paragraphs[0].text = "Ref {{ ref }}"
    return to_bytes(document)


@pytest.mark.parametrize("overdue", [False, True])
def test_letter_renders_breaks_conditions_and_tables(backend: str, overdue: bool) -> None:
    scrivelle = tesserine.Scrivelle(letter())
    assert scrivelle.undeclared_variables() == {"customer", "address", "columns", "two", "pages", "overdue",
                                                "lines", "kind", "total", "ref"}
    scrivelle.render({**CONTEXT, "overdue": overdue})
    result = read(to_bytes(scrivelle))
    assert texts(result)[:10] == ["Dear Tom & Jerry <b>,", "1 Long Road\nSpringfield", "a\tb", "first", "second",
                                  "before", "", "after", "Intro.", "Please pay." if overdue else "Closing."]
    assert result.paragraphs[6]._p.xpath("count(.//w:br[@w:type='page'])") == 1
    assert result.sections[0].header.paragraphs[0].text == "Ref R-7"
    assert table_texts(result) == [["Item", "Qty", "Price"], ["Tools", "hammer", "2"], ["", "saw", "1"],
                                   ["", "nails", "100"], ["Total", "7.50"]]
    table = result.tables[0]._tbl
    merges = [tc.xpath("string(w:tcPr/w:vMerge/@w:val)") for tc in table.xpath("w:tr/w:tc[1]")[1:4]]
    assert merges == ["restart", "continue", "continue"]
    assert table.xpath("string(w:tr[1]/w:tc[1]/w:tcPr/w:shd/@w:fill)") == "D9E2F3"
    assert table.xpath("string(w:tr[5]/w:tc[1]/w:tcPr/w:gridSpan/@w:val)") == "2"


def test_parts_found_by_content_type(backend: str) -> None:
    main = docx.Document()
    main.add_paragraph("{{ a }}")
    files = members(to_bytes(main))
    note = f'<w:footnotes xmlns:w="{W[1:-1]}"><w:footnote w:id="1"><w:p><w:r><w:t>{{{{ b }}}}</w:t></w:r></w:p>' \
           "</w:footnote></w:footnotes>"
    files["word/notes.xml"] = note.encode()
    files["word/header7.xml"] = b"{{ not_a_part }}"
    kind = "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml"
    files["[Content_Types].xml"] = files["[Content_Types].xml"].replace(
        b"</Types>", f'<Override PartName="/word/notes.xml" ContentType="{kind}"/></Types>'.encode())
    scrivelle = tesserine.Scrivelle(zip_with(files))
    assert scrivelle.parts == ("word/document.xml", "word/notes.xml")
    scrivelle.render({"a": 1, "b": "x&y"})
    assert ">x&amp;y</w:t>" in scrivelle.rendered_xml("word/notes.xml")


def test_save_copies_untouched_members_as_stored(backend: str, tmp_path: Path) -> None:
    files = members(DEMO.read_bytes())
    source = zip_with(files, stored=frozenset({"word/styles.xml", "word/document.xml"}))
    scrivelle = tesserine.Scrivelle(io.BytesIO(source))
    scrivelle.render(json.loads(DEMO.with_suffix(".json").read_text(encoding="utf-8")))
    scrivelle.save(tmp_path / "out.docx")
    with zipfile.ZipFile(io.BytesIO(source)) as old, zipfile.ZipFile(tmp_path / "out.docx") as new:
        assert new.namelist() == old.namelist()
        for before, after in zip(old.infolist(), new.infolist(), strict=True):
            assert (after.compress_type, after.date_time) == (before.compress_type, before.date_time)
            if before.filename not in scrivelle.parts:
                assert (after.CRC, after.compress_size) == (before.CRC, before.compress_size)
    assert read((tmp_path / "out.docx").read_bytes()).tables[0].rows[0].cells[1].text == "Description"


def test_patch_xml_falls_back_to_the_sound_reference(monkeypatch: pytest.MonkeyPatch) -> None:
    native = _backend.native_backend()
    if native is None:
        pytest.skip("native module not built")
    monkeypatch.setattr(sys.modules["tesserine._native"], "patch_xml", lambda src: None)
    monkeypatch.setattr(_pure, "patch_xml_sound", lambda src: "sound:" + src)
    monkeypatch.setattr(_backend, "active", native)
    assert tesserine.patch_xml("<w:t/>") == "sound:<w:t/>"


@pytest.mark.parametrize("value, expected", [(None, "pure"), ("1", "pure")])
def test_environment_variable_forces_the_twin(value: str | None, expected: str) -> None:
    env = child_env()
    env.pop(_backend.FORCE_PURE_VARIABLE, None)
    if value is not None:
        env[_backend.FORCE_PURE_VARIABLE] = value
    elif _backend.native_backend() is not None:
        expected = "native"
    result = subprocess.run([sys.executable, "-c", "import tesserine; print(tesserine.BACKEND)"],
                            env=env, capture_output=True, text=True, check=True)
    assert result.stdout.strip() == expected


def test_a_zip_without_the_main_part_is_not_a_docx() -> None:
    with pytest.raises(tesserine.NotADocxError, match="no word/document.xml"):
        tesserine.Scrivelle(zip_with({"word/other.xml": b"<x/>"}))


def test_template_errors_name_the_part(backend: str) -> None:
    with pytest.raises(tesserine.TemplateSyntaxError) as caught:
        tesserine.Scrivelle(document("Hello {% for x in %} there")).render({})
    assert (caught.value.part, caught.value.excerpt) == ("word/document.xml", "Hello {% for x in %} there")
    assert "<w:" not in str(caught.value)
    with pytest.raises(tesserine.TemplateRenderError) as failed:
        tesserine.Scrivelle(document("{{ 1 / n }}")).render({"n": 0})
    assert str(failed.value) == "word/document.xml: paragraph 1: ZeroDivisionError: division by zero (in: {{ 1 / n }})"


# Without escaping, a caller's own environment lets any markup through; saving catches it.
def test_malformed_output_is_not_written(backend: str, tmp_path: Path) -> None:
    target = tmp_path / "out.docx"
    target.write_bytes(b"previous")
    scrivelle = tesserine.Scrivelle(document("x {{ v }} y"))
    scrivelle.render({"v": "a<b"}, environment=jinja2.Environment(), autoescape=False)
    with pytest.raises(tesserine.MalformedPartError) as caught:
        scrivelle.save(target)
    assert caught.value.part == "word/document.xml" and caught.value.line >= 1 and caught.value.column > 1
    assert "x a" in caught.value.excerpt
    assert os.listdir(tmp_path) == ["out.docx"] and target.read_bytes() == b"previous"


def test_render_xml_part_runs_pre_and_post_steps(backend: str) -> None:
    xml = "<w:body><w:p><w:r><w:t>{{ v }}</w:t></w:r></w:p></w:body>"
    assert tesserine.render_xml_part(xml, {"v": "a\nb"}) == \
        '<w:body><w:p><w:r><w:t>a</w:t><w:br/><w:t xml:space="preserve">b</w:t></w:r></w:p></w:body>'


def test_save_refuses_after_a_failed_render(tmp_path: Path) -> None:
    target = tmp_path / "out.docx"
    scrivelle = tesserine.Scrivelle(document("{{ 10 / n }}"))
    with pytest.raises(tesserine.TesserineError, match="call render\\(\\) first"):
        scrivelle.save(target)
    scrivelle.render({"n": 2})
    scrivelle.save(target)
    written = target.read_bytes()
    with pytest.raises(tesserine.TemplateRenderError):
        scrivelle.render({"n": 0})
    with pytest.raises(tesserine.TesserineError, match="the last render\\(\\) failed: .*ZeroDivisionError"):
        scrivelle.save(target)
    assert target.read_bytes() == written


@pytest.mark.parametrize("mode", [0o604, None])
def test_saving_keeps_permission_bits(tmp_path: Path, mode: int | None) -> None:
    target = tmp_path / "out.docx"
    if mode is not None:
        target.write_bytes(b"previous")
        target.chmod(mode)
    else:
        umask = os.umask(0o022)
        os.umask(umask)
        mode = 0o666 & ~umask
    scrivelle = tesserine.Scrivelle(document("{{ v }}"))
    scrivelle.render({"v": 1})
    scrivelle.save(target)
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert os.listdir(tmp_path) == ["out.docx"]


def test_a_name_as_long_as_the_file_system_allows(tmp_path: Path) -> None:
    target = tmp_path / ("n" * (os.pathconf(tmp_path, "PC_NAME_MAX") - len(".docx")) + ".docx")
    scrivelle = tesserine.Scrivelle(document("{{ v }}"))
    scrivelle.render({"v": "long"})
    scrivelle.save(target)
    assert texts(read(target.read_bytes())) == ["long"]


def test_threads_render_and_save_their_own_documents(tmp_path: Path) -> None:
    scrivelle = tesserine.Scrivelle(document("{{ who }}, {{ n }}"))
    start = threading.Barrier(6)
    rendered, rendered_again = threading.Event(), threading.Event()
    failures: list[BaseException] = []

    def work(index: int) -> None:
        try:
            start.wait()
            for n in range(20):
                scrivelle.render({"who": f"thread {index}", "n": n})
                if index == 0 and n == 19:
                    # Another thread renders between this thread's render() and save().
                    rendered.set()
                    rendered_again.wait()
                assert f">thread {index}, {n}<" in scrivelle.rendered_xml("word/document.xml")
                scrivelle.save(tmp_path / f"{index}.docx")
        except BaseException as error:
            failures.append(error)

    workers = [threading.Thread(target=work, args=(index,)) for index in range(6)]
    for worker in workers:
        worker.start()
    rendered.wait()
    scrivelle.render({"who": "main", "n": 0})
    rendered_again.set()
    for worker in workers:
        worker.join()
    assert failures == []
    assert [texts(read((tmp_path / f"{index}.docx").read_bytes())) for index in range(6)] == \
        [[f"thread {index}, 19"] for index in range(6)]
