"""Rendering with rich values, composed from its layers until Scrivelle does it itself."""

from __future__ import annotations

import io
import zipfile
from typing import Any

import jinja2

from tesserine import _backend
from tesserine._placement import place_values
from tesserine._positions import mark_positions
from tesserine._resources import DocumentResources, PackageFacts
from tesserine.values.base import rendering
from tesserine.values.filters import FILTERS, finalize_value

_STORIES = ("word/document.xml", "word/footnotes.xml", "word/endnotes.xml")


def story_parts(names: list[str]) -> tuple[str, ...]:
    other = [name for name in names if name.startswith(("word/header", "word/footer")) and name.endswith(".xml")]
    return tuple(name for name in _STORIES if name in names) + tuple(sorted(other))


def render_rich(template: bytes, context: dict[str, Any], autoescape: bool = True) -> bytes:
    with zipfile.ZipFile(io.BytesIO(template)) as archive:
        files = {name: archive.read(name) for name in archive.namelist()}
    parts = story_parts(list(files))
    resources = DocumentResources(PackageFacts(files, files.__getitem__, parts))
    env = jinja2.Environment(autoescape=autoescape, keep_trailing_newline=True, finalize=finalize_value)
    env.filters.update(FILTERS)
    rendered: dict[str, bytes] = {}
    with rendering() as registry:
        for part in parts:
            engine = _backend.active
            source = mark_positions(engine.patch_xml(files[part].decode("utf-8")), env)
            output = env.from_string(engine.pre_render(source) or source).render(context)
            output = engine.post_render(output) or output
            rendered[part] = place_values(output, registry, resources.part(part)).encode("utf-8")
    replacements, additions = resources.changes()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in files.items():
            out.writestr(name, rendered.get(name, replacements.get(name, data)))
        for name, data in additions.items():
            assert name not in files, name
            # Pictures are compressed already; deflating them again only costs time.
            out.writestr(name, data, zipfile.ZIP_STORED if name.startswith("word/media/") else zipfile.ZIP_DEFLATED)
    return buffer.getvalue()
