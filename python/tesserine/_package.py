"""The .docx zip container: finding the template parts, reading members within limits, rewriting the archive."""

from __future__ import annotations

import threading
from collections.abc import Collection, Mapping
from xml.etree import ElementTree

from ._errors import NotADocxError
from ._input import Source as Source
from ._input import read_input
from ._limits import DEFAULT_LIMITS, Limits
from ._xmltext import part_text
from ._zipread import DEFLATED, STORED, Archive, Member, member_bytes, over_limit, read_archive
from ._zipwrite import Stored, fresh_member, write_archive

_CONTENT_TYPES = "[Content_Types].xml"
_CT_NS = "{http://schemas.openxmlformats.org/package/2006/content-types}"
_WML = "application/vnd.openxmlformats-officedocument.wordprocessingml."
_MAIN_TYPES = frozenset({
    _WML + "document.main+xml",
    _WML + "template.main+xml",
    "application/vnd.ms-word.document.macroEnabled.main+xml",
    "application/vnd.ms-word.template.macroEnabledTemplate.main+xml",
})
# Comments hold paragraphs as the body does; the other comment parts Word writes
# (commentsExtended, commentsIds, commentsExtensible) hold only ids and flags.
_OTHER_TYPES = frozenset(_WML + kind + "+xml" for kind in ("header", "footer", "footnotes", "endnotes", "comments"))
_MAIN_NAME = "word/document.xml"


class Package:
    """A .docx held in memory: its checked members, the parts to fill, and what was read of them.

    What is read is kept: `read` and `text` each inflate a member once at most (template
    parts are inflated for their text when the package is opened), within the package's
    `Limits`, which count each member once. Reads are safe from several threads.
    """

    def __init__(self, data: bytes, archive: Archive, label: str, limits: Limits) -> None:
        self.data = data
        self.members = archive.members
        self.comment = archive.comment
        self.label = label
        self.limits = limits
        self.template_parts: tuple[str, ...] = ()
        self._by_name = {member.name: member for member in archive.members}
        self._by_part_name = {member.name.lower(): member.name for member in archive.members}
        self._bytes: dict[str, bytes] = {}
        self._texts: dict[str, str] = {}
        self._charged: set[str] = set()
        self._charged_size = 0
        self._lock = threading.Lock()

    def member_name(self, part_name: str) -> str | None:
        """The archive's name for a part name ("/word/Document.xml"), which ignores case."""
        return self._by_part_name.get(part_name.lstrip("/").lower())

    def read(self, name: str) -> bytes:
        """A member's content, inflated within the limits, checked, and kept for later reads."""
        with self._lock:
            content = self._bytes.get(name)
            if content is None:
                content = self._bytes[name] = self._inflate(name)
            return content

    def text(self, name: str) -> str:
        """An XML member as text: decoded, its declaration saying UTF-8, a DOCTYPE refused."""
        with self._lock:
            text = self._texts.get(name)
            if text is None:
                content = self._bytes.get(name)
                text = self._texts[name] = part_text(name, self._inflate(name) if content is None else content)
            return text

    def _inflate(self, name: str) -> bytes:
        member = self._by_name.get(name)
        if member is None:
            raise NotADocxError(f"{self.label}: no member {name!r} in the archive")
        if name not in self._charged:
            self._check_limits(member)
            self._charged.add(name)
            self._charged_size += member.size
        return member_bytes(self.data, member, self.label)

    def _check_limits(self, member: Member) -> None:
        # Declared sizes are checked before a byte is inflated; inflating stops one byte
        # past the declared size, so a member that lies about it stops there too.
        limits = self.limits
        total = self._charged_size + member.size
        if limits.max_part_size is not None and member.size > limits.max_part_size:
            self._over(member, f"inflates to {member.size:,} bytes", "max_part_size", limits.max_part_size)
        if limits.max_total_size is not None and total > limits.max_total_size:
            self._over(member, f"brings the bytes read from the archive to {total:,}", "max_total_size",
                       limits.max_total_size)
        if limits.max_ratio is not None and member.size > limits.ratio_floor and \
                member.size > limits.max_ratio * member.compressed_size:
            ratio = member.size / max(member.compressed_size, 1)
            self._over(member, f"inflates {ratio:,.0f} times ({member.compressed_size:,} to {member.size:,} bytes)",
                       "max_ratio", limits.max_ratio)

    def _over(self, member: Member, what: str, field: str, limit: int) -> None:
        raise over_limit(self.label, f"member {member.name!r}", what, field, limit)

    def build(self, replacements: Mapping[str, bytes], additions: Mapping[str, bytes] | None = None,
              stored: Collection[str] = frozenset()) -> bytes:
        """A new archive: replaced members written afresh, new members appended in order
        (those named in `stored` without compression: their content is compressed already),
        every other member copied as it is stored (never inflated again)."""
        unknown = set(replacements) - self._by_name.keys()
        if unknown:
            raise ValueError(f"no members {sorted(unknown)} to replace in {self.label}")
        added = dict(additions or {})
        taken = sorted(name for name in added if self.member_name(name) is not None)
        if taken:
            raise ValueError(f"members {taken} already exist in {self.label}")
        entries: list[tuple[Member, Stored]] = []
        view = memoryview(self.data)
        for member in self.members:
            new = replacements.get(member.name)
            if new is None:
                entries.append((member, view[member.data_offset:member.data_offset + member.compressed_size]))
            else:
                entries.append(fresh_member(member.name, new, member.method, like=member))
        entries += (fresh_member(name, content, STORED if name in stored else DEFLATED)
                    for name, content in added.items())
        return write_archive(entries, self.comment)


def _parts_by_content_type(package: Package) -> tuple[list[str], list[str]]:
    name = package.member_name(_CONTENT_TYPES)
    if name is None:
        return [], []
    try:
        # The text is free of a DOCTYPE by now, so ElementTree expands no entities.
        root = ElementTree.fromstring(package.text(name))
    except ElementTree.ParseError:
        return [], []
    main: list[str] = []
    other: list[str] = []
    for override in root.iter(_CT_NS + "Override"):
        part = package.member_name(override.get("PartName", ""))
        kind = override.get("ContentType", "")
        if part is not None and kind in _MAIN_TYPES:
            main.append(part)
        elif part is not None and kind in _OTHER_TYPES:
            other.append(part)
    return main, other


def _parts_by_name(names: list[str]) -> tuple[list[str], list[str]]:
    def is_other(name: str) -> bool:
        base = name.rsplit("/", 1)[-1]
        return name.startswith("word/") and name.count("/") == 1 and (
            base in ("footnotes.xml", "endnotes.xml", "comments.xml")
            or (base.startswith(("header", "footer")) and base.endswith(".xml"))
        )

    main = [_MAIN_NAME] if _MAIN_NAME in names else []
    return main, [name for name in names if is_other(name)]


def open_package(source: Source, limits: Limits = DEFAULT_LIMITS) -> Package:
    """Read and check the archive, find its template parts and read each of them once."""
    data, name = read_input(source, "the document", NotADocxError)
    label = name or "<bytes>"
    package = Package(data, read_archive(data, label, limits.max_members), label, limits)
    order = [member.name for member in package.members]
    main, other = _parts_by_content_type(package)
    if not main:
        main, other = _parts_by_name(order)
    if not main:
        raise NotADocxError(f"{label}: not a .docx document (no {_MAIN_NAME} in the archive)")
    position = {name: index for index, name in enumerate(order)}
    rest = sorted(set(other) - set(main[:1]), key=position.__getitem__)
    package.template_parts = (main[0], *rest)
    # A part that cannot be read fails the open, not a later render.
    for part in package.template_parts:
        package.text(part)
    return package
