"""Places in a part and the problems found there, as plain values."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Place:
    """Where a tag stands in its part: the paragraph, counted from 1 in the part, a short
    excerpt of its text, and the table cell holding it (tables, rows and columns from 1)."""

    paragraph: int | None = None
    text: str = ""
    table: int | None = None
    row: int | None = None
    column: int | None = None

    @property
    def cell(self) -> str:
        if self.table is None:
            return ""
        return f"table {self.table}, row {self.row}, column {self.column}"

    def describe(self, tag: str | None = None) -> str:
        """The place for a message: the paragraph with its cell, or with its text unless
        that is only the tag itself."""
        if self.paragraph is None:
            return ""
        if self.cell:
            return f"paragraph {self.paragraph} ({self.cell})"
        if self.text and self.text != tag:
            return f"paragraph {self.paragraph} “{self.text}”"
        return f"paragraph {self.paragraph}"


@dataclass(frozen=True)
class Problem:
    """One problem of a template: its part, its place, the tag as typed, and what is wrong."""

    part: str
    place: Place
    tag: str
    message: str

    def __str__(self) -> str:
        cell = f"{self.place.cell}: " if self.place.cell else ""
        tag = f" ({self.tag})" if self.tag else ""
        return f"{self.part}:{self.place.paragraph or 0}: {cell}{self.message}{tag}"
