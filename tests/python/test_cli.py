"""The command-line tool, run as `python -m tesserine` in a child process."""

from __future__ import annotations

import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import docx
import pytest
from helpers_docx import child_env, read, table_texts, texts, to_bytes

SLOW = "{% for i in range(100000) %}{% for j in range(100000) %}{% endfor %}{% endfor %}"


def run(*args: str | Path, stdin: str = "", memory: int = 0) -> subprocess.CompletedProcess[str]:
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    # The timeout bounds a command that should stop by itself: one that hangs fails the test.
    return subprocess.run([sys.executable, "-m", "tesserine", *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=child_env(), timeout=60,
                          preexec_fn=limit if memory else None)


def write_template(path: Path, text: str) -> Path:
    document = docx.Document()
    document.add_paragraph(text)
    path.write_bytes(to_bytes(document))
    return path


def write_lines(path: Path, *lines: str) -> Path:
    path.write_text("\n".join(lines) + "\n")
    return path


def assert_one_line_error(result: subprocess.CompletedProcess[str], message: str) -> None:
    assert result.returncode == 1
    assert message in result.stderr and "Traceback" not in result.stderr
    assert result.stderr.count("\n") == 1


@pytest.fixture
def template(tmp_path: Path) -> Path:
    return write_template(tmp_path / "template.docx", "Hello {{ name }}, you owe {{ 100 / share }}.")


def test_render_and_vars(template: Path, tmp_path: Path) -> None:
    (tmp_path / "data.json").write_text(json.dumps({"name": "Ann & Bo", "share": 4}))
    result = run("render", template, tmp_path / "data.json", "-o", tmp_path / "out.docx")
    assert (result.returncode, result.stderr) == (0, "")
    assert texts(read((tmp_path / "out.docx").read_bytes())) == ["Hello Ann & Bo, you owe 25.0."]
    assert run("vars", template).stdout.split() == ["name", "share"]


def test_check_lists_every_problem(template: Path, tmp_path: Path) -> None:
    document = docx.Document()
    document.add_paragraph("{% if paid %}Thanks")
    document.add_paragraph("Dear {{ name }")
    document.sections[0].header.paragraphs[0].text = "Ref {{ ref|frob }}"
    document.sections[0].footer.paragraphs[0].text = "{%tr for x in xs %}{{ x }}{%tr endfor %}"
    (tmp_path / "broken.docx").write_bytes(to_bytes(document))
    result = run("check", tmp_path / "broken.docx")
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.splitlines() == [
        "word/document.xml:1: this block is never closed: add {% endif %} where it ends ({% if paid %})",
        "word/document.xml:2: this tag is not closed: add }} at its end ({{ name })",
        "word/header1.xml:1: No filter named 'frob' ({{ ref|frob }})",
        "word/footer1.xml:1: a row tag ({%tr … %}) must stand in a table row ({%tr for x in xs %})",
        "word/footer1.xml:1: a row tag ({%tr … %}) must stand in a table row ({%tr endfor %})",
    ]
    (tmp_path / "data.json").write_text(json.dumps({"name": "Ann", "share": 0}))
    with_data = run("check", template, "--data", tmp_path / "data.json")
    assert (with_data.returncode, with_data.stdout) == (
        1, "word/document.xml:1: ZeroDivisionError: division by zero ({{ 100 / share }})\n")
    assert run("check", template).returncode == 0
    assert run("check").returncode == 2


def test_demo(tmp_path: Path) -> None:
    result = run("demo", "-o", tmp_path)
    written = tmp_path / "tesserine-demo.docx"
    assert result.stdout.strip() == f"wrote {written}"
    document = read(written.read_bytes())
    assert "Tom & Jerry <Cartoons> Ltd\nAttn. Ms Jane Roe\n12 Long Road\nSpringfield SP4 7RT" in texts(document)
    assert [row[0] for row in table_texts(document)] == ["Category", "Paper", "", "Binding", "", "Service", "Total"]


UNCLOSED = "this block is never closed: add {% endif %}"


@pytest.mark.parametrize("args, code, message", [
    (["render", "{truncated}", "{data}", "-o", "{out}"], 1, "truncated.docx: not a .docx document (not a zip"),
    (["vars", "{missing}"], 1, "No such file"),
    (["vars", "{syntax}"], 1, f"paragraph 1: template syntax error: {UNCLOSED}"),
    (["batch", "{syntax}", "{records}", "-o", "{out}"], 1, f"word/document.xml:1: {UNCLOSED}"),
    (["render", "{template}", "{records}", "-o", "{out}/"], 2, "names a folder: give the file to write"),
    (["render", "{template}", "{records}", "-o", "."], 2, "-o . names a folder"),
    (["render", "{template}", "{good}", "-o", "nowhere/out.docx"], 1,
     "the folder it would go in does not exist: 'nowhere/out.docx'"),
    (["render", "{template}", "{data}", "-o", "{out}"], 1, "data.json: expected a JSON object, found list"),
    (["render", "{template}", "{nested}", "-o", "{out}"], 1, "nested.json: invalid JSON: nested too deeply"),
    (["render", "{template}", "{surrogate}", "-o", "{out}"], 1,
     r"surrogate.json: the value at ['a'][1]['b'] holds \udc80, a lone surrogate"),
    (["batch", "{template}", "{records}", "-o", "{out}", "--name-field", "id"], 1, "no record has a field 'id'"),
    (["render", "{template}", "{data}", "-o", "{out}", "--timeout", "-1"], 2, "expected 0 or more seconds"),
    (["batch", "{template}", "{records}", "-o", "{out}", "-j", "0"], 2, "expected a whole number, 1 or more"),
    ([], 2, "usage: tesserine"),
])
def test_errors(template: Path, tmp_path: Path, args: list[str], code: int, message: str) -> None:
    (tmp_path / "data.json").write_text("[1, 2]")
    (tmp_path / "nested.json").write_text("[" * 100_000)
    (tmp_path / "surrogate.json").write_text(r'{"a": [0, {"b": "x\udc80"}], "c": "\ud83d\ude00"}')
    (tmp_path / "records.jsonl").write_text('{"x": 1}')
    (tmp_path / "good.json").write_text('{"name": "Ann", "share": 1}')
    (tmp_path / "truncated.docx").write_bytes(template.read_bytes()[:-100])
    write_template(tmp_path / "syntax.docx", "{% if x %}")
    paths = {name.split(".")[0]: tmp_path / name for name in (
        "data.json", "nested.json", "surrogate.json", "records.jsonl", "good.json", "missing.docx",
        "truncated.docx", "syntax.docx", "out.docx")}
    result = run(*(arg.format(template=template, **paths) for arg in args))
    if code == 1:
        assert_one_line_error(result, message)
    else:
        assert result.returncode == code
        assert message in result.stderr and "Traceback" not in result.stderr
    assert not paths["out"].exists()


def test_out_of_memory_is_one_line(template: Path, tmp_path: Path) -> None:
    # Reading, decoding and parsing a 64 MiB value needs three times that; the interpreter starts in 40.
    (tmp_path / "big.json").write_text(json.dumps({"name": "x" * (64 << 20)}))
    result = run("render", template, tmp_path / "big.json", "-o", tmp_path / "out.docx", memory=160 << 20)
    assert_one_line_error(result, f"out of memory while rendering {template}")


ESCAPE = "{{ cycler.__init__.__globals__.os.system('touch {marker}') }}"


@pytest.mark.parametrize("text, options, expected", [
    (ESCAPE, [], "sandbox keeps Python internals from templates"),
    # Trusted, the escape runs: the marker check below can see it.
    (ESCAPE, ["--trusted"], ["0"]),
    ("{{ name }}" + SLOW, ["--timeout", "1"], "word/document.xml: ran out of time after 1 seconds"),
])
def test_render_is_sandboxed_and_timed(tmp_path: Path, text: str, options: list[str],
                                       expected: str | list[str]) -> None:
    marker = tmp_path / "escaped"
    template = write_template(tmp_path / "template.docx", text.replace("{marker}", str(marker)))
    (tmp_path / "data.json").write_text('{"name": "Ann"}')
    result = run("render", template, tmp_path / "data.json", "-o", tmp_path / "out.docx", *options)
    if isinstance(expected, list):
        assert (result.returncode, result.stderr) == (0, "")
        assert texts(read((tmp_path / "out.docx").read_bytes())) == expected
        assert marker.exists() == (text == ESCAPE)
    else:
        assert_one_line_error(result, expected)
        assert not marker.exists() and not (tmp_path / "out.docx").exists()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_writes_every_good_record(tmp_path: Path, jobs: str) -> None:
    template = write_template(tmp_path / "template.docx",
                              "{{ name }} owes {{ 100 / share }}.{% if slow %}" + SLOW + "{% endif %}")
    records = "\n".join([
        '{"name": "Ann", "share": 2}',
        '{"name": "Bo", "share": 0}',
        '{"name": "Cy", "share": 1',
        '{"name": "D\\udc80", "share": 1}',
        '{"name": "Ed", "share": 1, "slow": true}',
        "",
        '{"name": "F/lo", "share": 5}',
        '{"name": "Gil", "share": 1, "note": "U+2028 \u2028 is no line break"}\r',
    ])
    result = run("batch", template, "-", "-o", tmp_path / "out", "-j", jobs, "--timeout", "1",
                 "--name-field", "name", stdin=records)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.splitlines() == [
        f"3 of 7 documents written to {tmp_path / 'out'}",
        "tesserine: line 2: word/document.xml: paragraph 1 “{{ name }} owes {{ 100 / share }}.{% if slow %}{% for i"
        " in r…”: ZeroDivisionError: division by zero (in: {{ 100 / share }})",
        "tesserine: line 3: invalid JSON at column 26: Expecting ',' delimiter",
        r"tesserine: line 4: the value at ['name'] holds \udc80, a lone surrogate, which is not text",
        "tesserine: line 5: word/document.xml: ran out of time after 1 seconds",
    ]
    assert sorted(os.listdir(tmp_path / "out")) == ["Ann.docx", "F_lo.docx", "Gil.docx"]
    assert texts(read((tmp_path / "out" / "F_lo.docx").read_bytes())) == ["F/lo owes 20.0."]


def test_batch_survives_a_worker_that_dies(tmp_path: Path) -> None:
    template = write_template(tmp_path / "template.docx", "{{ n }}{% if kill %}"
                              "{{ cycler.__init__.__globals__.os.kill(cycler.__init__.__globals__.os.getpid(), 9) }}"
                              "{% endif %}")
    records = write_lines(tmp_path / "records.jsonl",
                          *(json.dumps({"n": n, "kill": n in (2, 5)}) for n in range(1, 9)))
    result = run("batch", template, records, "-o", tmp_path / "out", "-j", "2", "--trusted")
    assert result.returncode == 1 and "Traceback" not in result.stderr
    died = "the worker process rendering this record stopped abruptly (it was killed, or it crashed)"
    assert result.stderr.splitlines()[1:] == [f"tesserine: line {n}: {died}" for n in (2, 5)]
    assert sorted(os.listdir(tmp_path / "out")) == [f"{n}.docx" for n in (1, 3, 4, 6, 7, 8)]


def test_batch_overwrites_only_when_told(template: Path, tmp_path: Path) -> None:
    records = write_lines(tmp_path / "records.jsonl", *['{"name": "A", "share": 1}'] * 10)
    out = tmp_path / "out"
    out.mkdir()
    for name in ("01.docx", "03.docx"):
        (out / name).write_bytes(b"old")
    refused = run("batch", template, records, "-o", out)
    assert refused.returncode == 1
    assert refused.stderr.splitlines() == [
        f"tesserine: {out / '01.docx'} exists already",
        f"tesserine: {out / '03.docx'} exists already",
        "tesserine: nothing written: pass --overwrite to replace the 2 existing files",
    ]
    assert sorted(os.listdir(out)) == ["01.docx", "03.docx"] and (out / "03.docx").read_bytes() == b"old"
    assert run("batch", template, records, "-o", out, "--overwrite").returncode == 0
    assert [texts(read((out / f"{n:02d}.docx").read_bytes())) for n in (1, 3, 10)] == [["Hello A, you owe 100.0."]] * 3


@pytest.mark.parametrize("command, to_group", [("render", False), ("batch", False), ("batch", True)])
def test_interrupt_stops_without_a_traceback(tmp_path: Path, command: str, to_group: bool) -> None:
    template = write_template(tmp_path / "template.docx", "{{ n }}" + SLOW)
    data = write_lines(tmp_path / "data.jsonl", *['{"n": 1}'] * (1 if command == "render" else 4))
    target: list[str | Path] = (["-o", tmp_path / "out" / "one.docx"] if command == "render"
                                 else ["-o", tmp_path / "out", "-j", "2"])
    (tmp_path / "out").mkdir()
    child = subprocess.Popen(
        [sys.executable, "-m", "tesserine", command, template, data, *target, "--timeout", "0"],
        stderr=subprocess.PIPE, text=True, env=child_env(), start_new_session=True,
        # A shell runs background jobs with Ctrl-C ignored; the user's terminal does not.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        # Wait until the renders are under way, workers included.
        children = Path(f"/proc/{child.pid}/task/{child.pid}/children")
        while child.poll() is None and len(children.read_text().split()) < (2 if command == "batch" else 0):
            time.sleep(0.05)
        time.sleep(1)
        (os.killpg if to_group else os.kill)(child.pid, signal.SIGINT)
        # Rendering SLOW with no time limit never ends: only the interrupt can stop it.
        _, stderr = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    assert (child.returncode, stderr) == (130, "tesserine: interrupted\n")
    assert os.listdir(tmp_path / "out") == []
