"""A zip reader that trusts nothing: the whole directory checked at open, members inflated on demand.

Opening parses the end records, every central entry and every local header once, and
refuses an archive whose entries could make a reader or a copier do more than the
bytes of the file warrant: entries that overlap, headers that disagree, names given
twice, encryption, compression other than stored and deflate, sizes past the file.
"""

from __future__ import annotations

import struct
import zlib
from typing import NamedTuple

from ._errors import LimitError, NotADocxError

STORED = 0
DEFLATED = 8
MAX16 = 0xFFFF
MAX32 = 0xFFFFFFFF

FLAG_ENCRYPTED = 0x0001
FLAG_DESCRIPTOR = 0x0008
FLAG_STRONG_ENCRYPTION = 0x0040
FLAG_UTF8 = 0x0800
# Bits whose meaning a local header and its central entry must agree on.
_SHARED_FLAGS = FLAG_ENCRYPTED | FLAG_DESCRIPTOR | FLAG_STRONG_ENCRYPTION | FLAG_UTF8

END = struct.Struct("<4s4H2LH")
END_SIGNATURE = b"PK\x05\x06"
ZIP64_LOCATOR = struct.Struct("<4sLQL")
ZIP64_LOCATOR_SIGNATURE = b"PK\x06\x07"
ZIP64_END = struct.Struct("<4sQ2H2L4Q")
ZIP64_END_SIGNATURE = b"PK\x06\x06"
CENTRAL = struct.Struct("<4s6H3L5H2L")
CENTRAL_SIGNATURE = b"PK\x01\x02"
LOCAL = struct.Struct("<4s5H3L2H")
LOCAL_SIGNATURE = b"PK\x03\x04"
_EXTRA_HEADER = struct.Struct("<2H")
_ZIP64_EXTRA = 0x0001

# Input is fed to the inflater in slices so that a bomb's output stops at the limit
# while its input is never copied whole.
_INFLATE_SLICE = 1 << 16


class Member(NamedTuple):
    """One checked member: where its data lies and what its central entry says about it."""

    name: str
    raw_name: bytes
    method: int
    flags: int
    crc: int
    compressed_size: int
    size: int
    header_offset: int
    data_offset: int
    dos_time: int
    dos_date: int
    version_made_by: int
    version_needed: int
    internal_attr: int
    external_attr: int
    comment: bytes


class Archive(NamedTuple):
    members: tuple[Member, ...]
    comment: bytes


class _Damaged(Exception):
    """A fault found while parsing; turned into NotADocxError with the archive's name."""


def _damaged_archive(label: str, what: str) -> NotADocxError:
    return NotADocxError(f"{label}: not a .docx document (damaged zip archive: {what})")


def member_error(label: str, name: str, what: str) -> NotADocxError:
    return NotADocxError(f"{label}: member {name!r} {what}")


def over_limit(label: str, subject: str, what: str, field: str, limit: int) -> LimitError:
    return LimitError(f"{label}: {subject} {what}, past the limit {field}={limit:,};"
                      f" pass limits=Limits({field}=...) to raise it for a template you trust")


def _find_end(data: bytes) -> int:
    """Offset of the end record: the last signature whose comment reaches exactly to the end."""
    floor = max(0, len(data) - END.size - MAX16)
    position = data.rfind(END_SIGNATURE, floor)
    while position >= 0:
        if position + END.size <= len(data):
            comment_length = END.unpack_from(data, position)[-1]
            if position + END.size + comment_length == len(data):
                return position
        position = data.rfind(END_SIGNATURE, floor, position + len(END_SIGNATURE) - 1)
    return -1


def _directory(data: bytes, end: int) -> tuple[int, int, int]:
    """Entry count, offset and end of the central directory, from the end records."""
    _, disk, directory_disk, on_disk, count, size, offset, _ = END.unpack_from(data, end)
    directory_end = end
    locator = end - ZIP64_LOCATOR.size
    if locator >= 0 and data.startswith(ZIP64_LOCATOR_SIGNATURE, locator):
        _, locator_disk, record, disks = ZIP64_LOCATOR.unpack_from(data, locator)
        if locator_disk != 0 or disks > 1 or record > locator - ZIP64_END.size:
            raise _Damaged("bad ZIP64 end locator")
        (signature, record_size, _, _, disk, directory_disk, on_disk, count, size,
         offset) = ZIP64_END.unpack_from(data, record)
        if signature != ZIP64_END_SIGNATURE or record + 12 + record_size != locator:
            raise _Damaged("bad ZIP64 end record")
        directory_end = record
    if disk != 0 or directory_disk != 0 or on_disk != count:
        raise _Damaged("the archive spans several disks")
    if offset + size != directory_end:
        raise _Damaged("the central directory is not where the end record puts it")
    if count * CENTRAL.size > size:
        raise _Damaged(f"{count} entries cannot fit in a central directory of {size} bytes")
    return count, offset, directory_end


def _zip64_values(extra: bytes, wanted: int) -> list[int]:
    """The first `wanted` 64-bit values of the ZIP64 extra field, in their fixed order."""
    position = 0
    # Fewer than four bytes at the end are alignment padding, which some writers add.
    while position + _EXTRA_HEADER.size <= len(extra):
        kind, length = _EXTRA_HEADER.unpack_from(extra, position)
        start = position + _EXTRA_HEADER.size
        if start + length > len(extra):
            raise _Damaged("an extra field runs past its header")
        if kind == _ZIP64_EXTRA:
            if length < 8 * wanted:
                raise _Damaged("the ZIP64 extra field is too short")
            return list(struct.unpack_from(f"<{wanted}Q", extra, start))
        position = start + length
    if wanted:
        raise _Damaged("a size is marked as ZIP64 but there is no ZIP64 extra field")
    return []


def _wide(values: list[int], extra: bytes) -> list[int]:
    """Replace the 32-bit fields that hold the ZIP64 marker by their 64-bit values."""
    if MAX32 not in values:
        return values
    wide = iter(_zip64_values(extra, values.count(MAX32)))
    return [next(wide) if value == MAX32 else value for value in values]


def _decode_name(raw: bytes, flags: int) -> str:
    try:
        return raw.decode("utf-8" if flags & FLAG_UTF8 else "cp437")
    except UnicodeDecodeError:
        raise _Damaged(f"entry name {raw!r} is not valid UTF-8") from None


def _central_entry(data: bytes, position: int, directory_end: int) -> tuple[Member, int]:
    if position + CENTRAL.size > directory_end:
        raise _Damaged("the central directory ends inside an entry")
    (signature, made_by, needed, flags, method, dos_time, dos_date, crc, compressed, size,
     name_length, extra_length, comment_length, disk, internal, external,
     offset) = CENTRAL.unpack_from(data, position)
    if signature != CENTRAL_SIGNATURE:
        raise _Damaged(f"bad central directory entry at byte {position}")
    name_start = position + CENTRAL.size
    extra_start = name_start + name_length
    comment_start = extra_start + extra_length
    entry_end = comment_start + comment_length
    if entry_end > directory_end:
        raise _Damaged(f"central directory entry at byte {position} runs past the directory")
    raw_name = data[name_start:extra_start]
    name = _decode_name(raw_name, flags)
    try:
        size, compressed, offset = _wide([size, compressed, offset], data[extra_start:comment_start])
    except _Damaged as error:
        raise _Damaged(f"entry {name!r}: {error}") from None
    if disk != 0:
        raise _Damaged(f"entry {name!r} lies on another disk")
    member = Member(
        name=name, raw_name=raw_name, method=method, flags=flags, crc=crc, compressed_size=compressed,
        size=size, header_offset=offset, data_offset=-1, dos_time=dos_time, dos_date=dos_date,
        version_made_by=made_by, version_needed=needed, internal_attr=internal, external_attr=external,
        comment=data[comment_start:entry_end],
    )
    return member, entry_end


def _check_entry(member: Member) -> str | None:
    """What makes an entry unreadable on its own, or None."""
    if member.flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION):
        return "is encrypted; tesserine reads only unencrypted documents"
    if member.method not in (STORED, DEFLATED):
        return f"uses compression method {member.method}; only stored (0) and deflate (8) can be read"
    if member.method == STORED and member.compressed_size != member.size:
        return f"is stored but declares {member.compressed_size} stored and {member.size} inflated bytes"
    return None


def _local_data_offset(data: bytes, member: Member, directory_start: int) -> int:
    """Check the local header against the central entry; return where the member's data begins."""
    start = member.header_offset
    if start + LOCAL.size > directory_start:
        raise _Damaged(f"its local header at byte {start} lies past the members' area")
    (signature, _, flags, method, _, _, crc, compressed, size, name_length,
     extra_length) = LOCAL.unpack_from(data, start)
    if signature != LOCAL_SIGNATURE:
        raise _Damaged(f"has no local header at byte {start}")
    name_start = start + LOCAL.size
    data_start: int = name_start + name_length + extra_length
    if data_start > directory_start:
        raise _Damaged("has a local header that runs past the members' area")
    if data[name_start:name_start + name_length] != member.raw_name:
        raise _Damaged("has a different name in its local header")
    if method != member.method or (flags ^ member.flags) & _SHARED_FLAGS:
        raise _Damaged("has a local header whose method or flags disagree with the central directory")
    # With a data descriptor the local header may leave CRC and sizes to the descriptor.
    if not flags & FLAG_DESCRIPTOR:
        size, compressed = _wide([size, compressed], data[name_start + name_length:data_start])
        if (crc, compressed, size) != (member.crc, member.compressed_size, member.size):
            raise _Damaged("has a local header whose CRC or sizes disagree with the central directory")
    if data_start + member.compressed_size > directory_start:
        raise _Damaged(f"declares {member.compressed_size} stored bytes, past the end of the members' area")
    return data_start


def read_archive(data: bytes, label: str, max_members: int | None) -> Archive:
    """Parse and check the whole directory of a zip archive held in memory."""
    end = _find_end(data)
    if end < 0:
        raise NotADocxError(f"{label}: not a .docx document (not a zip archive)")
    try:
        count, position, directory_end = _directory(data, end)
    except _Damaged as error:
        raise _damaged_archive(label, str(error)) from None
    if max_members is not None and count > max_members:
        raise over_limit(label, "the archive", f"has {count:,} members", "max_members", max_members)
    directory_start = position
    members: list[Member] = []
    seen: dict[str, str] = {}
    for _ in range(count):
        try:
            member, position = _central_entry(data, position, directory_end)
        except _Damaged as error:
            raise _damaged_archive(label, str(error)) from None
        problem = _check_entry(member)
        if problem is not None:
            raise member_error(label, member.name, problem)
        # Part names ignore case, so two members that differ only in case name one part.
        twin = seen.get(member.name.lower())
        if twin is not None:
            raise member_error(label, member.name, f"appears twice in the archive (as {twin!r})")
        seen[member.name.lower()] = member.name
        try:
            offset = _local_data_offset(data, member, directory_start)
        except _Damaged as error:
            raise member_error(label, member.name, str(error)) from None
        members.append(member._replace(data_offset=offset))
    if position != directory_end:
        raise _damaged_archive(label, "the central directory holds more than its entries")
    _check_overlaps(members, label)
    return Archive(tuple(members), data[end + END.size:])


def _check_overlaps(members: list[Member], label: str) -> None:
    # Each member owns its local header and its data; a copier that trusts entries
    # sharing bytes writes those bytes once per entry.
    previous: Member | None = None
    for member in sorted(members, key=lambda member: member.header_offset):
        if previous is not None and member.header_offset < previous.data_offset + previous.compressed_size:
            raise member_error(label, member.name, f"overlaps member {previous.name!r} in the archive")
        previous = member


def member_bytes(data: bytes, member: Member, label: str) -> bytes:
    """The member's content, inflated and checked against its declared size and CRC-32."""
    stored = memoryview(data)[member.data_offset:member.data_offset + member.compressed_size]
    content = bytes(stored) if member.method == STORED else _inflate(stored, member, label)
    if zlib.crc32(content) != member.crc:
        raise member_error(label, member.name, "is damaged (its CRC-32 does not match)")
    return content


def _inflate(stored: memoryview, member: Member, label: str) -> bytes:
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    pieces: list[bytes] = []
    # One byte of room past the declared size shows a stream that runs on.
    room = member.size + 1
    try:
        for start in range(0, len(stored), _INFLATE_SLICE):
            piece = inflater.decompress(stored[start:start + _INFLATE_SLICE], room)
            pieces.append(piece)
            room -= len(piece)
            if room == 0:
                raise member_error(label, member.name, f"inflates past its declared size of {member.size} bytes")
            if inflater.eof:
                if inflater.unused_data or start + _INFLATE_SLICE < len(stored):
                    raise member_error(label, member.name, "has data after the end of its deflate stream")
                break
    except zlib.error as error:
        raise member_error(label, member.name, f"is damaged (corrupt deflate data: {error})") from None
    if not inflater.eof:
        raise member_error(label, member.name, "is damaged (its deflate stream is cut short)")
    if room != 1:
        raise member_error(label, member.name,
                           f"inflates to {member.size + 1 - room} bytes, not its declared {member.size}")
    return b"".join(pieces)
