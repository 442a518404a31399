"""Writing a zip archive from members whose stored bytes are already at hand, with ZIP64 where needed."""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterable

from ._zipread import (
    CENTRAL,
    CENTRAL_SIGNATURE,
    END,
    END_SIGNATURE,
    FLAG_DESCRIPTOR,
    FLAG_UTF8,
    LOCAL,
    LOCAL_SIGNATURE,
    MAX16,
    MAX32,
    STORED,
    ZIP64_END,
    ZIP64_END_SIGNATURE,
    ZIP64_LOCATOR,
    ZIP64_LOCATOR_SIGNATURE,
    Member,
)

Stored = bytes | memoryview

_VERSION = 20
_ZIP64_VERSION = 45
_ZIP64_EXTRA_ID = 0x0001
# New members carry a fixed date (1 January 1980, the first a zip entry can hold),
# so that the same template and data always give the same bytes.
_FIXED_DOS_DATE = (1 << 5) | 1


def fresh_member(name: str, content: bytes, method: int, like: Member | None = None) -> tuple[Member, bytes]:
    """A member holding `content`, with the other metadata of `like` (the member it replaces)."""
    stored = content if method == STORED else _deflate(content)
    if like is None:
        raw_name = name.encode("utf-8")
        like = Member(
            name=name, raw_name=raw_name, method=method, flags=0 if raw_name.isascii() else FLAG_UTF8, crc=0,
            compressed_size=0, size=0, header_offset=0, data_offset=0, dos_time=0, dos_date=_FIXED_DOS_DATE,
            version_made_by=_VERSION, version_needed=_VERSION, internal_attr=0, external_attr=0, comment=b"",
        )
    member = like._replace(method=method, crc=zlib.crc32(content), compressed_size=len(stored), size=len(content))
    return member, stored


def _deflate(content: bytes) -> bytes:
    compressor = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -zlib.MAX_WBITS)
    return compressor.compress(content) + compressor.flush()


def _zip64_extra(values: list[int]) -> bytes:
    if not values:
        return b""
    return struct.pack(f"<2H{len(values)}Q", _ZIP64_EXTRA_ID, 8 * len(values), *values)


def _local_header(member: Member) -> bytes:
    # Sizes and CRC are known, so they go in the header and no data descriptor follows.
    flags = member.flags & ~FLAG_DESCRIPTOR
    if member.size >= MAX32 or member.compressed_size >= MAX32:
        extra = _zip64_extra([member.size, member.compressed_size])
        sizes = (MAX32, MAX32)
        needed = max(member.version_needed, _ZIP64_VERSION)
    else:
        extra = b""
        sizes = (member.compressed_size, member.size)
        needed = member.version_needed
    return LOCAL.pack(
        LOCAL_SIGNATURE, needed, flags, member.method, member.dos_time, member.dos_date, member.crc,
        *sizes, len(member.raw_name), len(extra),
    ) + member.raw_name + extra


def _central_entry(member: Member, offset: int) -> bytes:
    fields = [member.size, member.compressed_size, offset]
    wide = [value for value in fields if value >= MAX32]
    narrow = [MAX32 if value >= MAX32 else value for value in fields]
    extra = _zip64_extra(wide)
    needed = max(member.version_needed, _ZIP64_VERSION) if wide else member.version_needed
    return CENTRAL.pack(
        CENTRAL_SIGNATURE, member.version_made_by, needed, member.flags & ~FLAG_DESCRIPTOR, member.method,
        member.dos_time, member.dos_date, member.crc, narrow[1], narrow[0], len(member.raw_name), len(extra),
        len(member.comment), 0, member.internal_attr, member.external_attr, narrow[2],
    ) + member.raw_name + extra + member.comment


def _end_records(count: int, directory_size: int, directory_offset: int, comment: bytes) -> bytes:
    records = b""
    if count >= MAX16 or directory_size >= MAX32 or directory_offset >= MAX32:
        record_offset = directory_offset + directory_size
        records = ZIP64_END.pack(
            ZIP64_END_SIGNATURE, ZIP64_END.size - 12, _ZIP64_VERSION, _ZIP64_VERSION, 0, 0,
            count, count, directory_size, directory_offset,
        ) + ZIP64_LOCATOR.pack(ZIP64_LOCATOR_SIGNATURE, 0, record_offset, 1)
    short_count = min(count, MAX16)
    return records + END.pack(
        END_SIGNATURE, 0, 0, short_count, short_count, min(directory_size, MAX32),
        min(directory_offset, MAX32), len(comment),
    ) + comment


def write_archive(entries: Iterable[tuple[Member, Stored]], comment: bytes) -> bytes:
    """An archive of the members in order, each followed by its stored (compressed) bytes."""
    pieces: list[Stored] = []
    directory: list[bytes] = []
    offset = 0
    for member, stored in entries:
        header = _local_header(member)
        directory.append(_central_entry(member, offset))
        pieces += (header, stored)
        offset += len(header) + len(stored)
    central = b"".join(directory)
    pieces += (central, _end_records(len(directory), len(central), offset, comment))
    return b"".join(pieces)

