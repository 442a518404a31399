"""Hostile archives and parts, each opened, rendered and saved in a child process with 1 GiB of
address space and a time limit; then the sound shapes that must keep working."""

from __future__ import annotations

import contextlib
import io
import json
import os
import random
import struct
import subprocess
import sys
import zipfile
from collections.abc import Callable
from dataclasses import replace
from pathlib import Path
from typing import Any

import docx
import pytest
from helpers_docx import child_env, members, read, texts, to_bytes
from hostile_zip import LOCAL, STORED, Record, assemble, local_record, record, records_of, zeros_bomb

import tesserine
from tesserine import _package, _zipread
from tesserine._errors import LimitError
from tesserine._limits import Limits

CHILD = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tesserine
outcome = {"error": None, "message": ""}
try:
    document = tesserine.Scrivelle(sys.argv[1])
    document.render({"name": "Ada"})
    document.save(sys.argv[2])
except Exception as error:
    outcome = {"error": type(error).__name__, "message": str(error)}
outcome["peak_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps(outcome))
"""
PEAK_MIB = 200
DOCUMENT = "word/document.xml"
STYLES = "word/styles.xml"


def run_child(tmp_path: Path, archive: bytes) -> dict[str, Any]:
    source = tmp_path / "in.docx"
    source.write_bytes(archive)
    result = subprocess.run([sys.executable, "-c", CHILD, str(source), str(tmp_path / "out.docx")],
                            capture_output=True, text=True, env=child_env(), timeout=30)
    assert result.returncode == 0, result.stderr
    outcome: dict[str, Any] = json.loads(result.stdout)
    return outcome


def _base_document() -> bytes:
    document = docx.Document()
    document.add_paragraph("Hello {{ name }}")
    return to_bytes(document)


BASE_BYTES = _base_document()
BASE = records_of(BASE_BYTES)


def base_with(*changed: Record, drop: str = "") -> list[Record]:
    """The base document's records with some replaced by name (others appended)."""
    by_name = {item.name: item for item in changed}
    records = [by_name.pop(item.name, item) for item in BASE if item.name != drop]
    return records + list(by_name.values())


def edited(member: str, **changes: Any) -> Record:
    return replace(next(item for item in BASE if item.name == member), **changes)


def document_xml(body: str, declaration: str = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n') -> str:
    return (f'{declaration}<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
            f"<w:body><w:p><w:r><w:t>{body}</w:t></w:r></w:p></w:body></w:document>")


def with_document(content: bytes) -> bytes:
    return assemble(base_with(record(DOCUMENT, content)))


def nested_overlap() -> bytes:
    # The first member's stored bytes hold a whole second member, and the second
    # member's central entry points inside the first: both read and both copied.
    inner = record("word/media/inner.bin", b"x" * 4096, STORED)
    outer = record("word/media/outer.bin", local_record(inner), STORED)
    shifted = replace(inner, central={"offset": LOCAL.size + len(outer.name)})
    return assemble([outer, *base_with(), shifted])


LAUGHS = '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]>'
CONTENT_TYPES = zipfile.ZipFile(io.BytesIO(BASE_BYTES)).read("[Content_Types].xml")
BOMB = zeros_bomb(DOCUMENT, 1024)

ATTACKS: list[tuple[str, Callable[[], bytes], str, list[str]]] = [
    ("1 GiB bomb", lambda: assemble(base_with(BOMB)), "LimitError", ["'word/document.xml'", "max_part_size"]),
    ("bomb declaring 10 kB", lambda: assemble(base_with(replace(BOMB, size=10_000))),
     "NotADocxError", ["'word/document.xml'", "past its declared size of 10000"]),
    ("32 MiB of zeros", lambda: assemble(base_with(zeros_bomb(DOCUMENT, 32))),
     "LimitError", ["'word/document.xml'", "max_ratio"]),
    ("1,000 entries on one stored 1 MB member",
     lambda: assemble(base_with(record("word/media/image1.png", os.urandom(1 << 20), STORED)), aliases=1000),
     "NotADocxError", ["'alias/0'"]),
    ("a member inside another", nested_overlap, "NotADocxError", ["'word/media/inner.bin'", "overlaps"]),
    ("more members than max_members", lambda: assemble(base_with(), aliases=10_001), "LimitError",
     ["max_members=10,000"]),
    ("duplicate name", lambda: assemble([*base_with(), edited(STYLES)]), "NotADocxError",
     ["'word/styles.xml'", "twice"]),
    ("duplicate name in other case", lambda: assemble([*base_with(), edited(STYLES, name="Word/Styles.xml")]),
     "NotADocxError", ["'Word/Styles.xml'", "twice"]),
    ("encrypted member", lambda: assemble(base_with(edited(STYLES, flags=1))), "NotADocxError",
     ["'word/styles.xml'", "encrypted"]),
    ("compression method 99", lambda: assemble(base_with(edited(STYLES, method=99))), "NotADocxError",
     ["'word/styles.xml'", "method 99"]),
    ("bad CRC", lambda: assemble(base_with(edited(DOCUMENT, crc=edited(DOCUMENT).crc ^ 1))), "NotADocxError",
     ["'word/document.xml'", "CRC-32"]),
    ("corrupt deflate stream",
     lambda: assemble(base_with(edited(DOCUMENT, stored=b"\x07" + edited(DOCUMENT).stored[1:]))),
     "NotADocxError", ["'word/document.xml'", "corrupt deflate data"]),
    ("deflate stream cut short", lambda: assemble(base_with(edited(DOCUMENT, stored=edited(DOCUMENT).stored[:40]))),
     "NotADocxError", ["'word/document.xml'", "cut short"]),
    ("local header names another", lambda: assemble(base_with(edited(STYLES, local_name="word/stylez.xml"))),
     "NotADocxError", ["'word/styles.xml'", "different name"]),
    ("local header has another method", lambda: assemble(base_with(edited(STYLES, local={"method": STORED}))),
     "NotADocxError", ["'word/styles.xml'", "method or flags disagree"]),
    ("local header has another size", lambda: assemble(base_with(edited(STYLES, local={"size": 7}))),
     "NotADocxError", ["'word/styles.xml'", "sizes disagree"]),
    ("sizes past the file", lambda: assemble(base_with(edited(
        STYLES, local={"compressed_size": 1 << 30}, central={"compressed_size": 1 << 30}))),
     "NotADocxError", ["'word/styles.xml'", "past the end"]),
    ("archive cut short", lambda: assemble(base_with())[:-100], "NotADocxError", ["not a zip archive"]),
    ("DOCTYPE in a template part", lambda: with_document(document_xml("x", LAUGHS).encode()),
     "TemplatePartError", ["word/document.xml", "DOCTYPE", "line 1"]),
    ("DOCTYPE in the content types", lambda: assemble(base_with(record(
        "[Content_Types].xml", LAUGHS.encode() + CONTENT_TYPES.split(b"?>", 1)[1]))),
     "TemplatePartError", ["[Content_Types].xml", "DOCTYPE"]),
    ("invalid UTF-8", lambda: with_document(document_xml("\ncaf\udce9 au lait").encode("utf-8", "surrogateescape")),
     "TemplatePartError", ["word/document.xml", "not UTF-8 text", "line 3, column 4", "caf⟨here⟩\\xe9 au lait"]),
    ("unknown encoding",
     lambda: with_document(document_xml("x", '<?xml version="1.0" encoding="x-nonsense"?>').encode()),
     "TemplatePartError", ["word/document.xml", "unknown encoding 'x-nonsense'"]),
    ("UTF-16 mark, UTF-8 declaration", lambda: with_document(document_xml("x").encode("utf-16")),
     "TemplatePartError", ["word/document.xml", "names 'UTF-8' but the part is utf-16"]),
    ("UTF-16 declaration, ASCII bytes",
     lambda: with_document(document_xml("x", '<?xml version="1.0" encoding="UTF-16"?>').encode()),
     "TemplatePartError", ["word/document.xml", "names 'UTF-16' but is not written in it"]),
]


@pytest.mark.parametrize("build, error, fragments", [case[1:] for case in ATTACKS], ids=[case[0] for case in ATTACKS])
def test_attack_is_refused(tmp_path: Path, build: Callable[[], bytes], error: str, fragments: list[str]) -> None:
    outcome = run_child(tmp_path, build())
    assert outcome["error"] == error, outcome["message"]
    for fragment in fragments:
        assert fragment in outcome["message"]
    assert outcome["peak_mib"] < PEAK_MIB
    assert not (tmp_path / "out.docx").exists()


def _damaged(rng: random.Random, data: bytes) -> bytes:
    """The archive with a few bytes changed, cut, or inserted; mostly in its directory."""
    damaged = bytearray(data)
    where = rng.randrange(len(data) - 2000, len(data)) if rng.random() < 0.7 else rng.randrange(len(data))
    choice = rng.randrange(4)
    if choice == 0:
        damaged[where] = rng.randrange(256)
    elif choice == 1:
        value = rng.choice([0, 0xFFFF, 0xFFFFFFFF, 1 << 31, rng.randrange(1 << 32)])
        struct.pack_into("<L", damaged, min(where, len(data) - 4), value)
    elif choice == 2:
        del damaged[where:]
    else:
        damaged[where:where] = rng.randbytes(rng.randint(1, 30))
    return bytes(damaged)


def _one_more_entry(data: bytes) -> bytes:
    """The end record counting one entry more than the directory holds."""
    end = data.rfind(b"PK\x05\x06")
    count = int.from_bytes(data[end + 8:end + 10], "little") + 1
    return data[:end + 8] + struct.pack("<2H", count, count) + data[end + 12:]


def test_damaged_archives_raise_only_tesserine_errors() -> None:
    rng = random.Random(0)
    sound = [BASE_BYTES, assemble(BASE, zip64=True)]
    samples = [_one_more_entry(BASE_BYTES)] + [_damaged(rng, rng.choice(sound)) for _ in range(1500)]
    opened = 0
    for sample in samples:
        try:
            package = _package.open_package(sample)
            for member in package.members:
                with contextlib.suppress(tesserine.TesserineError):
                    package.read(member.name)
            package.build({DOCUMENT: b"<w:document/>"})
            opened += 1
        except tesserine.TesserineError:
            pass
    assert 0 < opened < len(samples)


def test_large_stored_picture_passes_with_the_defaults(tmp_path: Path) -> None:
    picture = os.urandom(50 << 20)
    outcome = run_child(tmp_path, assemble(base_with(record("word/media/image1.png", picture, STORED))))
    assert outcome["error"] is None, outcome["message"]
    with zipfile.ZipFile(tmp_path / "out.docx") as result:
        assert result.read("word/media/image1.png") == picture
        assert "Hello Ada" in result.read(DOCUMENT).decode()


@pytest.mark.parametrize("limits, fragments", [
    (Limits(max_part_size=5000), ["'word/document.xml'", "max_part_size=5,000", "Limits(max_part_size=...)"]),
    (Limits(max_total_size=20_000), ["'word/document.xml'", "max_total_size=20,000"]),
    (Limits(max_ratio=2, ratio_floor=5000), ["'word/document.xml'", "max_ratio=2"]),
    (Limits(max_members=3), ["max_members=3"]),
])
def test_limits_can_be_lowered(limits: Limits, fragments: list[str]) -> None:
    # The content types (under 2 kB) are read first and pass; the document's 30 kB of
    # repetitive XML then crosses each lowered limit.
    archive = with_document(document_xml("{{ name }} " * 3000).encode())
    with pytest.raises(LimitError) as caught:
        tesserine.Scrivelle(archive, limits=limits)
    for fragment in fragments:
        assert fragment in str(caught.value)


def test_raised_limit_lets_a_large_part_through() -> None:
    archive = assemble(base_with(zeros_bomb("word/media/zeros.bin", 2)))
    package = _package.open_package(archive, Limits(ratio_floor=0, max_ratio=None))
    assert package.read("word/media/zeros.bin") == bytes(2 << 20)
    with pytest.raises(LimitError, match="max_ratio"):
        _package.open_package(archive, Limits(ratio_floor=0)).read("word/media/zeros.bin")


@pytest.mark.parametrize("codec, declared, mark", [
    ("utf-16-le", "UTF-16", "\ufeff"),
    ("utf-16-be", "utf-16", "\ufeff"),
    ("utf-16-le", "UTF-16", ""),
    ("cp1252", "windows-1252", ""),
    ("utf-8", "UTF-8", "\ufeff"),
])
def test_part_in_another_encoding_is_saved_as_utf8(codec: str, declared: str, mark: str) -> None:
    declaration = f"<?xml version='1.0' encoding='{declared}' standalone='yes'?>\n"
    source = (mark + document_xml("café {{ name }}", declaration)).encode(codec)
    scrivelle = tesserine.Scrivelle(with_document(source))
    scrivelle.render({"name": "Zoë"})
    output = to_bytes(scrivelle)
    assert members(output)[DOCUMENT].startswith(b"<?xml version='1.0' encoding='UTF-8' standalone='yes'?>")
    assert texts(read(output)) == ["café Zoë"]


def _zip64_by_zipfile() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(BASE_BYTES)) as base, zipfile.ZipFile(buffer, "w") as archive:
        for name in base.namelist():
            with archive.open(name, "w", force_zip64=True) as stream:
                stream.write(base.read(name))
    return buffer.getvalue()


@pytest.mark.parametrize("archive", [
    pytest.param(_zip64_by_zipfile, id="zipfile's ZIP64 local headers"),
    pytest.param(lambda: assemble(base_with(), zip64=True), id="ZIP64 everywhere"),
])
def test_sound_zip64_archives_work(archive: Callable[[], bytes]) -> None:
    data = archive()
    scrivelle = tesserine.Scrivelle(data, limits=Limits(max_members=None))
    scrivelle.render({"name": "Ada"})
    output = to_bytes(scrivelle)
    with zipfile.ZipFile(io.BytesIO(data)) as before, zipfile.ZipFile(io.BytesIO(output)) as after:
        assert after.namelist() == before.namelist()
        assert after.testzip() is None
    assert texts(read(output)) == ["Hello Ada"]


def test_saving_past_65535_members_writes_zip64_end_records() -> None:
    empty = [Record(f"m/{n}", b"", 0, 0, STORED) for n in range(65_536)]
    package = _package.open_package(assemble([*base_with(), *empty], zip64=True), Limits(max_members=None))
    with zipfile.ZipFile(io.BytesIO(package.build({}))) as saved:
        assert len(saved.infolist()) == len(BASE) + 65_536
        assert saved.read(DOCUMENT) == package.read(DOCUMENT)


def test_many_parts_are_read_once(monkeypatch: pytest.MonkeyPatch) -> None:
    calls = {"archive": 0, "inflate": 0}

    def counted(name: str, function: Callable[..., Any]) -> Callable[..., Any]:
        def wrapper(*args: Any) -> Any:
            calls[name] += 1
            return function(*args)
        return wrapper

    monkeypatch.setattr(_package, "read_archive", counted("archive", _zipread.read_archive))
    monkeypatch.setattr(_package, "member_bytes", counted("inflate", _zipread.member_bytes))
    header = '<w:hdr xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:p><w:r>' \
             "<w:t>{{ n }}</w:t></w:r></w:p></w:hdr>"
    parts = [record(DOCUMENT, document_xml("{{ n }}").encode())]
    parts += [record(f"word/header{n}.xml", header.encode()) for n in range(1, 2001)]
    scrivelle = tesserine.Scrivelle(assemble(parts))
    scrivelle.render({"n": 7})
    scrivelle.save(io.BytesIO())
    assert len(scrivelle.parts) == 2001 and ">7</w:t>" in scrivelle.rendered_xml("word/header2000.xml")
    assert calls == {"archive": 1, "inflate": 2001}


def test_build_replaces_any_member_and_appends_new_ones() -> None:
    data = assemble(base_with(record("word/media/a.png", os.urandom(5000), STORED)))
    package = _package.open_package(data)
    rels = "word/_rels/document.xml.rels"
    built = package.build({rels: b"<Relationships/>"}, {"word/media/b.png": b"png", "customXml/c.xml": b"<c/>"})
    assert len(package.build({})) <= len(data)
    before, after = records_of(data), records_of(built)
    assert [item.name for item in after] == [item.name for item in before] + ["word/media/b.png", "customXml/c.xml"]
    # The appended members come after the zipped pairs.
    for old, new in zip(before, after, strict=False):
        assert new.stored == old.stored or new.name == rels
    assert zipfile.ZipFile(io.BytesIO(built)).read(rels) == b"<Relationships/>"
    with pytest.raises(ValueError, match="word/nothing.xml"):
        package.build({"word/nothing.xml": b""})
    with pytest.raises(ValueError, match="Word/Media/A.png"):
        package.build({}, {"Word/Media/A.png": b""})
