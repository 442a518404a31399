"""Cost of the checked archive layer: opening and saving, and reading many parts.

    python bench/archive.py [--repeat 15]

1. A 40-page template: the demo letter's package with a docgen main part of 165 KB
   and a 50 MB stored picture. Median time to open it (`open_package`: every
   entry and local header checked, the template parts inflated, decoded and their
   prologs checked) and to build the saved archive (the rendered parts deflated,
   every other member copied as stored), each as a ratio to `zipfile` doing the
   same reads, content-types parse, decoding and copying with one `ZipFile` (the
   package layer before the checks, without its reopening per read), in the same
   run, the two alternating call by call. Both must give the same parts and members.
2. Growth: opening a package of N header parts for N = 500, 2,000 and 8,000, in
   milliseconds per part; it must stay flat.
"""

from __future__ import annotations

import argparse
import copy
import functools
import io
import os
import statistics
import sys
import zipfile
from collections.abc import Callable, Mapping
from pathlib import Path
from xml.etree import ElementTree

sys.path.insert(0, os.path.dirname(__file__))

import docgen  # noqa: E402
from safety import alternating  # noqa: E402

import tesserine  # noqa: E402
from tesserine._package import open_package  # noqa: E402

DEMO = Path(tesserine.__file__).parent / "examples" / "invoice-letter.docx"
TEMPLATE_PARTS = ("word/document.xml", "word/header1.xml", "word/footer1.xml")
PICTURE = "word/media/image9.png"
HEADER = ('<w:hdr xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
          "<w:p><w:r><w:t>{{ n }}</w:t></w:r></w:p></w:hdr>")


def template_docx(part: str) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(DEMO) as source, zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as out:
        for info in source.infolist():
            out.writestr(info.filename, part.encode() if info.filename == "word/document.xml" else source.read(info))
        out.writestr(PICTURE, os.urandom(50 << 20), compress_type=zipfile.ZIP_STORED)
    return buffer.getvalue()


def many_headers(count: int) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as out:
        out.writestr("word/document.xml", HEADER.replace("w:hdr", "w:document"))
        for number in range(1, count + 1):
            out.writestr(f"word/header{number}.xml", HEADER)
    return buffer.getvalue()


def zipfile_open(data: bytes, parts: tuple[str, ...]) -> dict[str, str]:
    """What opening took before the checks: one ZipFile, the content types parsed, the parts decoded."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        ElementTree.fromstring(archive.read("[Content_Types].xml"))
        return {part: archive.read(part).decode("utf-8-sig") for part in parts}


def zipfile_build(data: bytes, replacements: Mapping[str, bytes]) -> bytes:
    """The same archive written by zipfile: replaced members deflated, the others copied as stored."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(buffer, "w") as out:
        assert out.fp is not None
        for info in source.infolist():
            new = replacements.get(info.filename)
            if new is not None:
                out.writestr(info, new)
                continue
            # zipfile has no public call that adds compressed bytes; this is what its mkdir does.
            start = data_offset(data, info)
            entry = copy.copy(info)
            entry.flag_bits &= ~0x08
            entry.header_offset = out.fp.tell()
            out.fp.write(entry.FileHeader())
            out.fp.write(data[start:start + info.compress_size])
            out.filelist.append(entry)
            out.NameToInfo[entry.filename] = entry
            out.start_dir = out.fp.tell()
    return buffer.getvalue()


def data_offset(data: bytes, info: zipfile.ZipInfo) -> int:
    name_length = int.from_bytes(data[info.header_offset + 26:info.header_offset + 28], "little")
    extra_length = int.from_bytes(data[info.header_offset + 28:info.header_offset + 30], "little")
    return info.header_offset + 30 + name_length + extra_length


def medians(steps: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    return {name: statistics.median(times) for name, times in alternating(steps, repeat).items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    data = template_docx(docgen.document_part(165_000, seed=1))
    package = open_package(data)
    assert package.template_parts == TEMPLATE_PARTS
    reference = zipfile_open(data, TEMPLATE_PARTS)
    assert {part: package.text(part) for part in TEMPLATE_PARTS} == reference
    replacements = {part: text.replace("customer", "client").encode() for part, text in reference.items()}
    built, expected = package.build(replacements), zipfile_build(data, replacements)
    with zipfile.ZipFile(io.BytesIO(built)) as ours, zipfile.ZipFile(io.BytesIO(expected)) as theirs:
        assert ours.namelist() == theirs.namelist()
        assert all(ours.read(name) == theirs.read(name) for name in ours.namelist())

    opened = medians({"tesserine": lambda: open_package(data),
                          "zipfile": lambda: zipfile_open(data, TEMPLATE_PARTS)}, args.repeat)
    saved = medians({"tesserine": lambda: package.build(replacements),
                         "zipfile": lambda: zipfile_build(data, replacements)}, args.repeat)
    print(f"template: {len(data) / 1e6:.1f} MB archive, {len(package.members)} members,"
          f" main part {len(reference['word/document.xml'].encode()) / 1000:.0f} KB; {args.repeat} rounds")
    print(f"{'step':6} {'tesserine ms':>13} {'zipfile ms':>11} {'ratio':>6}")
    for step, times in (("open", opened), ("save", saved)):
        print(f"{step:6} {times['tesserine'] * 1e3:13.2f} {times['zipfile'] * 1e3:11.2f}"
              f" {times['tesserine'] / times['zipfile']:6.2f}")

    print(f"{'header parts':>12} {'open ms':>9} {'ms per part':>12}")
    for count in (500, 2000, 8000):
        headers = many_headers(count)
        assert len(open_package(headers).template_parts) == count + 1
        took = medians({"open": functools.partial(open_package, headers)}, 3)["open"]
        print(f"{count:12} {took * 1e3:9.1f} {took * 1e3 / count:12.4f}")


if __name__ == "__main__":
    main()
