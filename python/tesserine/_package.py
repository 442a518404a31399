"""The .docx zip container: finding the template parts and rewriting the archive."""

from __future__ import annotations

import copy
import io
import os
import struct
import zipfile
from collections.abc import Mapping
from dataclasses import dataclass
from typing import BinaryIO
from xml.etree import ElementTree

from ._errors import NotADocxError

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | BinaryIO

_CONTENT_TYPES = "[Content_Types].xml"
_CT_NS = "{http://schemas.openxmlformats.org/package/2006/content-types}"
_WML = "application/vnd.openxmlformats-officedocument.wordprocessingml."
_MAIN_TYPES = frozenset({
    _WML + "document.main+xml",
    _WML + "template.main+xml",
    "application/vnd.ms-word.document.macroEnabled.main+xml",
    "application/vnd.ms-word.template.macroEnabledTemplate.main+xml",
})
_OTHER_TYPES = frozenset(_WML + kind + "+xml" for kind in ("header", "footer", "footnotes", "endnotes"))
_MAIN_NAME = "word/document.xml"

_LOCAL_HEADER = struct.Struct("<4s22xHH")
_LOCAL_SIGNATURE = b"PK\x03\x04"
_DATA_DESCRIPTOR_FLAG = 0x08


@dataclass(frozen=True)
class Package:
    """A .docx held in memory: its archive bytes, members in order, and the parts to fill."""

    data: bytes
    members: tuple[zipfile.ZipInfo, ...]
    template_parts: tuple[str, ...]
    comment: bytes

    def read(self, name: str) -> bytes:
        with zipfile.ZipFile(io.BytesIO(self.data)) as archive:
            return archive.read(name)

    def raw(self, info: zipfile.ZipInfo) -> bytes:
        """A member's stored bytes, still compressed as they are in the archive."""
        start = info.header_offset
        signature, name_len, extra_len = _LOCAL_HEADER.unpack_from(self.data, start)
        if signature != _LOCAL_SIGNATURE:
            raise NotADocxError(f"corrupt zip archive: bad local header for {info.filename}")
        begin = start + _LOCAL_HEADER.size + name_len + extra_len
        return self.data[begin:begin + info.compress_size]

    def build(self, replacements: Mapping[str, bytes]) -> bytes:
        """A new archive: replaced members written afresh, all others copied as stored."""
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as out:
            out.comment = self.comment
            for info in self.members:
                new = replacements.get(info.filename)
                if new is None:
                    _copy_stored(out, info, self.raw(info))
                else:
                    out.writestr(_fresh_info(info), new)
        return buffer.getvalue()


def _fresh_info(info: zipfile.ZipInfo) -> zipfile.ZipInfo:
    fresh = zipfile.ZipInfo(info.filename, info.date_time)
    fresh.compress_type = info.compress_type
    fresh.create_system = info.create_system
    fresh.external_attr = info.external_attr
    fresh.comment = info.comment
    return fresh


def _copy_stored(out: zipfile.ZipFile, info: zipfile.ZipInfo, stored: bytes) -> None:
    # zipfile has no public call that adds already-compressed data; this follows what
    # ZipFile.mkdir does for its own entries. Sizes and CRC go into the local header,
    # so a data descriptor is no longer needed.
    assert out.fp is not None
    entry = copy.copy(info)
    entry.flag_bits &= ~_DATA_DESCRIPTOR_FLAG
    out.fp.seek(out.start_dir)
    entry.header_offset = out.fp.tell()
    out.fp.write(entry.FileHeader())
    out.fp.write(stored)
    out.filelist.append(entry)
    out.NameToInfo[entry.filename] = entry
    out.start_dir = out.fp.tell()


def _read_source(source: Source) -> tuple[bytes, str]:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), "<bytes>"
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as stream:
            return stream.read(), os.fspath(source)
    if hasattr(source, "read"):
        return source.read(), str(getattr(source, "name", "<stream>"))
    raise TypeError(f"expected a path, bytes or a binary file object, not {type(source).__name__}")


def _parts_by_content_type(archive: zipfile.ZipFile, names: dict[str, str]) -> tuple[list[str], list[str]]:
    if _CONTENT_TYPES not in names.values():
        return [], []
    try:
        root = ElementTree.fromstring(archive.read(_CONTENT_TYPES))
    except ElementTree.ParseError:
        return [], []
    main: list[str] = []
    other: list[str] = []
    for override in root.iter(_CT_NS + "Override"):
        # Part names are case-insensitive and absolute; zip member names are neither.
        name = names.get(override.get("PartName", "").lstrip("/").lower())
        kind = override.get("ContentType", "")
        if name is not None and kind in _MAIN_TYPES:
            main.append(name)
        elif name is not None and kind in _OTHER_TYPES:
            other.append(name)
    return main, other


def _parts_by_name(names: list[str]) -> tuple[list[str], list[str]]:
    def is_other(name: str) -> bool:
        base = name.rsplit("/", 1)[-1]
        return name.startswith("word/") and name.count("/") == 1 and (
            base in ("footnotes.xml", "endnotes.xml")
            or (base.startswith(("header", "footer")) and base.endswith(".xml"))
        )

    main = [_MAIN_NAME] if _MAIN_NAME in names else []
    return main, [name for name in names if is_other(name)]


def open_package(source: Source) -> Package:
    data, label = _read_source(source)
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile:
        raise NotADocxError(f"{label}: not a .docx document (not a zip archive)") from None
    with archive:
        members = tuple(archive.infolist())
        order = [info.filename for info in members]
        main, other = _parts_by_content_type(archive, {name.lower(): name for name in order})
        if not main:
            main, other = _parts_by_name(order)
        if not main:
            raise NotADocxError(f"{label}: not a .docx document (no {_MAIN_NAME} in the archive)")
        position = {name: index for index, name in enumerate(order)}
        rest = sorted(set(other) - set(main[:1]), key=position.__getitem__)
        return Package(data, members, (main[0], *rest), archive.comment)
