"""Rich values: pictures, styled text, links and Markdown that write their own markup."""

from .errors import LinkError, PictureError, RichValueError, ValueTextError
from .markdown import Markdown
from .picture import Picture
from .styled import Link, Styled

__all__ = ["Link", "LinkError", "Markdown", "Picture", "PictureError", "RichValueError", "Styled", "ValueTextError"]
