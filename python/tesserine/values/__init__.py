"""Rich values: pictures, styled text, links, Markdown and fragments that write their own markup."""

from .errors import LinkError, PictureError, RichValueError, ValueTextError
from .fragment import Fragment, FragmentWarning
from .markdown import Markdown
from .picture import Picture
from .styled import Link, Styled

__all__ = ["Fragment", "FragmentWarning", "Link", "LinkError", "Markdown", "Picture", "PictureError", "RichValueError",
           "Styled", "ValueTextError"]
