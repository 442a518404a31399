"""tesserine: fill Jinja2 templates typed straight into .docx documents."""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from . import _backend
from ._bytecode_cache import clear_cache
from ._document import Scrivelle
from ._errors import (
    ExpressionLimitError,
    InvalidCharacterError,
    LimitError,
    LinkAddressError,
    MalformedPartError,
    NotADocxError,
    RenderTimeoutError,
    TemplateRenderError,
    TemplateSyntaxError,
    TesserineError,
    UnsafeTemplateError,
)
from ._limits import DEFAULT_LIMITS, Limits
from ._many import Progress, RecordError, WorkerError, render_many
from ._pdf import PdfConversionError, PdfUnavailableError, convert_to_pdf, to_pdf
from ._picture_lookup import PictureNotFoundError
from ._problems import Place, Problem
from ._render import patch_xml, render_xml_part
from .values import (
    Fragment,
    FragmentWarning,
    Link,
    LinkError,
    Markdown,
    Picture,
    PictureError,
    RichValueError,
    Styled,
    ValueTextError,
)

try:
    __version__ = version(__name__)
except PackageNotFoundError:  # a source tree used without installing it
    __version__ = "0+unknown"

__all__ = [
    "BACKEND",
    "DEFAULT_LIMITS",
    "ExpressionLimitError",
    "Fragment",
    "FragmentWarning",
    "InvalidCharacterError",
    "LimitError",
    "Limits",
    "Link",
    "LinkAddressError",
    "LinkError",
    "MalformedPartError",
    "Markdown",
    "NotADocxError",
    "PdfConversionError",
    "PdfUnavailableError",
    "Picture",
    "PictureError",
    "PictureNotFoundError",
    "Place",
    "Problem",
    "Progress",
    "RecordError",
    "RenderTimeoutError",
    "RichValueError",
    "Scrivelle",
    "Styled",
    "TemplateRenderError",
    "TemplateSyntaxError",
    "TesserineError",
    "UnsafeTemplateError",
    "ValueTextError",
    "WorkerError",
    "__version__",
    "clear_cache",
    "convert_to_pdf",
    "patch_xml",
    "render_many",
    "render_xml_part",
    "to_pdf",
]


def __getattr__(name: str) -> str:
    # BACKEND is looked up on each access so that it names the engine actually in use.
    if name == "BACKEND":
        return _backend.active.name
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
