"""Native core of tesserine: template patching and render pre/post-processing.

Each function raises `MemoryError` when memory runs out, with the note "while processing
'src'" (or 'dst'); `PanicException` means an internal fault of the core.
"""

__version__: str
__all__: list[str]

def patch_xml(src: str) -> str | None:
    """Native `Scrivelle.patch_xml`; `None` means "use the Python reference"."""

def pre_render(src: str) -> str | None:
    """Native prefix of `render_xml_part`; `None` means unchanged."""

def post_render(dst: str) -> str | None:
    """Native suffix of `render_xml_part` incl. `resolve_listing`; `None` means unchanged."""
