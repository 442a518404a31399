"""tesserine: fill Jinja2 templates typed straight into .docx documents."""

__version__ = "0.1.0"
