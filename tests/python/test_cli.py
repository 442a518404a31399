"""The command-line tool, run as `python -m tesserine` in a child process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import docx
import pytest
from helpers_docx import child_env, read, table_texts, texts, to_bytes


def run(*args: str | Path, stdin: str = "") -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tesserine", *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=child_env(), timeout=120)


@pytest.fixture
def template(tmp_path: Path) -> Path:
    document = docx.Document()
    document.add_paragraph("Hello {{ name }}, you owe {{ 100 / share }}.")
    path = tmp_path / "template.docx"
    path.write_bytes(to_bytes(document))
    return path


def test_render_and_vars(template: Path, tmp_path: Path) -> None:
    (tmp_path / "data.json").write_text(json.dumps({"name": "Ann & Bo", "share": 4}))
    result = run("render", template, tmp_path / "data.json", "-o", tmp_path / "out.docx")
    assert (result.returncode, result.stderr) == (0, "")
    assert texts(read((tmp_path / "out.docx").read_bytes())) == ["Hello Ann & Bo, you owe 25.0."]
    assert run("vars", template).stdout.split() == ["name", "share"]


def test_batch_names_records_and_reports_failures(template: Path, tmp_path: Path) -> None:
    records = [{"name": "Ann", "share": 2}, {"name": "Bo/b", "share": 0}, {}, {"name": "Cy", "share": 5}]
    (tmp_path / "records.jsonl").write_text("\n".join(json.dumps(r) if r else "" for r in records))
    result = run("batch", template, tmp_path / "records.jsonl", "-o", tmp_path / "out",
                 "--jobs", "2", "--name-field", "name")
    assert result.returncode == 1
    assert sorted(os.listdir(tmp_path / "out")) == ["Ann.docx", "Cy.docx"]
    assert "2 of 3 documents written" in result.stderr
    assert "line 2: word/document.xml: ZeroDivisionError" in result.stderr
    assert texts(read((tmp_path / "out" / "Cy.docx").read_bytes())) == ["Hello Cy, you owe 20.0."]

    numbered = run("batch", template, "-", "-o", tmp_path / "numbered", "--jobs", "1",
                   stdin='{"name": "A", "share": 1}\n' * 10)
    assert numbered.returncode == 0
    assert sorted(os.listdir(tmp_path / "numbered"))[:2] == ["01.docx", "02.docx"]


def test_demo(tmp_path: Path) -> None:
    result = run("demo", "-o", tmp_path)
    written = tmp_path / "tesserine-demo.docx"
    assert result.stdout.strip() == f"wrote {written}"
    document = read(written.read_bytes())
    assert "Tom & Jerry <Cartoons> Ltd\nAttn. Ms Jane Roe\n12 Long Road\nSpringfield SP4 7RT" in texts(document)
    assert [row[0] for row in table_texts(document)] == ["Category", "Paper", "", "Binding", "", "Service", "Total"]


@pytest.mark.parametrize("args, code, message", [
    (["vars", "{data}"], 1, "not a zip archive"),
    (["vars", "{missing}"], 1, "No such file"),
    (["vars", "{syntax}"], 1, "syntax error: Unexpected end of template"),
    (["render", "{template}", "{data}", "-o", "{out}"], 1, "expected a JSON object, found list"),
    (["batch", "{template}", "{records}", "-o", "{out}", "--name-field", "id"], 1, "no field 'id'"),
    (["render", "{template}", "{data}"], 2, "the following arguments are required: -o"),
    ([], 2, "usage: tesserine"),
])
def test_errors(template: Path, tmp_path: Path, args: list[str], code: int, message: str) -> None:
    (tmp_path / "data.json").write_text("[1, 2]")
    (tmp_path / "records.jsonl").write_text('{"x": 1}')
    document = docx.Document()
    document.add_paragraph("{% if x %}")
    (tmp_path / "syntax.docx").write_bytes(to_bytes(document))
    paths = {name.split(".")[0]: tmp_path / name
             for name in ("data.json", "records.jsonl", "missing.docx", "syntax.docx", "out.docx")}
    result = run(*(arg.format(template=template, **paths) for arg in args))
    assert result.returncode == code
    assert message in result.stderr and "Traceback" not in result.stderr
    if code == 1:
        assert result.stderr.count("\n") == 1
    assert not paths["out"].exists()
