"""Limits on what one template and one render may cost, with defaults a caller can raise."""

from __future__ import annotations

from dataclasses import dataclass

MiB = 1024 * 1024


@dataclass(frozen=True)
class Limits:
    """Bounds that keep a hostile template or hostile data from exhausting the machine.

    The defaults let ordinary documents through (a long report's XML is a few MB; its
    pictures are copied without being inflated) and stop bombs within seconds.
    Raise a limit with `dataclasses.replace(DEFAULT_LIMITS, ...)` or `Limits(...)`;
    `None` turns one off.
    """

    #: Members of the archive.
    max_members: int | None = 10_000
    #: Uncompressed bytes of one member that tesserine reads (template parts, package XML).
    max_part_size: int | None = 64 * MiB
    #: Uncompressed bytes of all members read from one archive, together.
    max_total_size: int | None = 256 * MiB
    #: Uncompressed to compressed size, for members that inflate past `ratio_floor` bytes.
    max_ratio: int | None = 200
    ratio_floor: int = 1 * MiB
    #: Characters of rendered output of one part, counted while it is produced.
    max_output_size: int | None = 128 * MiB
    #: Bytes of one picture that a render places or replace_picture() stores.
    max_picture_size: int | None = 50 * MiB
    #: Seconds of wall-clock time for rendering one document.
    timeout: float | None = 60.0


DEFAULT_LIMITS = Limits()
