"""Building zip archives as an attacker would: raw members, headers that lie, bombs that are small files."""

from __future__ import annotations

import io
import struct
import zipfile
import zlib
from dataclasses import dataclass, field

STORED = zipfile.ZIP_STORED
DEFLATED = zipfile.ZIP_DEFLATED
LOCAL = struct.Struct("<4s5H3L2H")
_CENTRAL = struct.Struct("<4s6H3L5H2L")
_END = struct.Struct("<4s4H2LH")
_MAX32 = 0xFFFFFFFF


@dataclass(frozen=True)
class Record:
    """A member as it lies in an archive: its stored bytes and what its headers say."""

    name: str
    stored: bytes
    size: int
    crc: int
    method: int = DEFLATED
    flags: int = 0
    # Header fields that differ from the ones above ("flags", "method", "crc",
    # "compressed_size", "size", and "offset" for the central entry).
    local: dict[str, int] = field(default_factory=dict)
    central: dict[str, int] = field(default_factory=dict)
    local_name: str | None = None


def record(name: str, content: bytes, method: int = DEFLATED) -> Record:
    if method == STORED:
        stored = content
    else:
        compressor = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
        stored = compressor.compress(content) + compressor.flush()
    return Record(name, stored, len(content), zlib.crc32(content), method)


def zeros_bomb(name: str, mebibytes: int) -> Record:
    """A deflated member of that many MiB of zeros, about a thousandth of it on disk, made in moments."""
    chunk = bytes(1 << 20)
    compressor = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS)
    # After a full flush the compressor starts afresh, so every MiB compresses to the same bytes.
    block = compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)
    crc = 0
    for _ in range(mebibytes):
        crc = zlib.crc32(chunk, crc)
    return Record(name, block * mebibytes + compressor.flush(), mebibytes << 20, crc)


def records_of(data: bytes) -> list[Record]:
    """The members of a sound archive, each with its stored bytes."""
    records = []
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for info in archive.infolist():
            name_length, extra_length = struct.unpack_from("<2H", data, info.header_offset + 26)
            start = info.header_offset + LOCAL.size + name_length + extra_length
            records.append(Record(info.filename, data[start:start + info.compress_size], info.file_size,
                                  info.CRC, info.compress_type))
    return records


def _zip64_extra(values: list[int]) -> bytes:
    return struct.pack(f"<2H{len(values)}Q", 1, 8 * len(values), *values)


def _fields(item: Record, offset: int, overrides: dict[str, int]) -> dict[str, int]:
    return {"flags": item.flags, "method": item.method, "crc": item.crc, "compressed_size": len(item.stored),
            "size": item.size, "offset": offset, **overrides}


def local_record(item: Record, zip64: bool = False) -> bytes:
    """The member's local header, name and stored bytes."""
    values = _fields(item, 0, item.local)
    extra = b""
    if zip64:
        extra = _zip64_extra([values["size"], values["compressed_size"]])
        values.update(size=_MAX32, compressed_size=_MAX32)
    name = (item.local_name or item.name).encode()
    return LOCAL.pack(b"PK\x03\x04", 45 if zip64 else 20, values["flags"], values["method"], 0, 33, values["crc"],
                      values["compressed_size"], values["size"], len(name), len(extra)) + name + extra + item.stored


def _central_entry(item: Record, name: str, offset: int, zip64: bool) -> bytes:
    values = _fields(item, offset, item.central)
    extra = b""
    if zip64:
        extra = _zip64_extra([values["size"], values["compressed_size"], values["offset"]])
        values.update(size=_MAX32, compressed_size=_MAX32, offset=_MAX32)
    return _CENTRAL.pack(b"PK\x01\x02", 20, 45 if zip64 else 20, values["flags"], values["method"], 0, 33,
                         values["crc"], values["compressed_size"], values["size"], len(name.encode()), len(extra),
                         0, 0, 0, 0, values["offset"]) + name.encode() + extra


def assemble(records: list[Record], *, aliases: int = 0, zip64: bool = False) -> bytes:
    """An archive of the records in order; `aliases` more central entries point at the last
    record under names of their own; with `zip64` every size and offset is in ZIP64 form."""
    out = bytearray()
    central = bytearray()
    count = 0
    for index, item in enumerate(records):
        offset = len(out)
        out += local_record(item, zip64)
        extra_names = [f"alias/{n}" for n in range(aliases)] if index == len(records) - 1 else []
        for name in [item.name, *extra_names]:
            central += _central_entry(item, name, offset, zip64)
            count += 1
    directory_offset = len(out)
    out += central
    if zip64:
        record_offset = len(out)
        out += struct.pack("<4sQ2H2L4Q", b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, len(central),
                           directory_offset)
        out += struct.pack("<4sLQL", b"PK\x06\x07", 0, record_offset, 1)
        out += _END.pack(b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF, _MAX32, _MAX32, 0)
    else:
        out += _END.pack(b"PK\x05\x06", 0, 0, count, count, len(central), directory_offset, 0)
    return bytes(out)
