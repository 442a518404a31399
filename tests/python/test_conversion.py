"""Conversion of str arguments and results at the native boundary: every storage
kind of str, characters on both sides of the vector block edges, texts above and
below the size at which results are decoded without the interpreter lock, and
the error for a lone surrogate."""

import ctypes
import sys

import pytest
from tesserine import _native

pure = pytest.importorskip("tesserine._pure")

FUNCTIONS = ("patch_xml", "pre_render", "post_render")

# One character of each storage width, and typographic quotes as templates have.
SAMPLES = {
    "ascii": "x",
    "latin1": "\u00e9",
    "bmp": "\u201c",
    "astral": "\U0001f600",
}

# Markup every function changes: a paragraph for pre_render, a marked paragraph
# break and an escaped delimiter for post_render, a tag split over runs for
# patch_xml.
BODY = (
    "<w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ v }}</w:t></w:r></w:p>"
    "\n<w:p><w:r><w:t>{_{ w }_}\t</w:t></w:r></w:p>"
)


class Text(str):
    """A str subclass: its characters live apart from the object."""


def texts() -> list[tuple[str, str]]:
    out = []
    for kind, ch in SAMPLES.items():
        for at in (0, 1, 15, 16, 31, 32, 33, 63, 64):
            out.append((f"{kind} at {at}", "a" * at + ch + BODY + ch))
        out.append((f"{kind} dense", (ch + "b") * 40 + BODY))
        out.append((f"{kind} in a subclass", Text(ch + BODY)))
        # Large enough for the unlocked decode and several encode chunks.
        out.append((f"{kind} large", (BODY + ch) * 3000))
    out.append(("mixed", "".join(SAMPLES.values()) + BODY + "\u00ff\u0100\uffff\U0010ffff"))
    return out


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_kind_of_str_gives_the_twins_result(name: str) -> None:
    native, twin = getattr(_native, name), getattr(pure, name)
    for label, text in texts():
        got = native(text)
        assert got is not None, label
        # The interpreter compares strs of different storage widths as unequal,
        # so this also catches a result stored wider than its characters need.
        assert got == twin(text), label


utf8_and_size = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
utf8_and_size.argtypes = [ctypes.py_object, ctypes.c_void_p]
utf8_and_size.restype = ctypes.c_void_p


@pytest.mark.parametrize("ch", list(SAMPLES.values())[1:])
def test_the_argument_gets_no_cached_utf8_copy(ch: str) -> None:
    text = (BODY + ch) * 50
    size = sys.getsizeof(text)
    for name in FUNCTIONS:
        getattr(_native, name)(text)
    assert sys.getsizeof(text) == size
    # The check can see a cached copy: the interpreter counts it in the size.
    expected = [getattr(_native, name)(text) for name in FUNCTIONS]
    assert utf8_and_size(text, None)
    assert sys.getsizeof(text) > size
    # A str with the cached copy is read through it, with the same results.
    assert [getattr(_native, name)(text) for name in FUNCTIONS] == expected


@pytest.mark.parametrize("name,param", [("patch_xml", "src"), ("pre_render", "src"),
                                        ("post_render", "dst")])
def test_lone_surrogate_raises_the_interpreters_error(name: str, param: str) -> None:
    fn = getattr(_native, name)
    for prefix in ("", "a" * 40, "\u00e9" * 40, "\U0001f600" * 3):
        for text in (prefix + "\udc80" + BODY, prefix + BODY + "\ud800", BODY * 200 + "\udfff",
                     BODY * 100 + "\udbff" + BODY * 100, prefix + "\udc80"):
            with pytest.raises(UnicodeEncodeError) as info:
                fn(text)
            with pytest.raises(UnicodeEncodeError) as reference:
                text.encode()
            assert str(info.value) == str(reference.value)
            assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("ch", list(SAMPLES.values()))
def test_post_render_undoes_pre_render_in_every_kind(ch: str) -> None:
    paragraph = f"<w:p><w:r><w:t>{ch}</w:t></w:r></w:p>"
    for count in (1, 3, 2000):
        # The LF after the declaration lies outside every paragraph, and the TAB
        # inside one is resolved; both must give what the twin gives.
        for text in (
            '<?xml version="1.0"?>\n<w:body>' + paragraph * count,
            "\n" + paragraph * count + "<w:p><w:r><w:t>\t</w:t></w:r></w:p>",
        ):
            rendered = _native.pre_render(text)
            assert rendered == pure.pre_render(text)
            assert _native.post_render(rendered) == pure.post_render(rendered)
    assert _native.post_render(_native.pre_render(paragraph * 9)) == paragraph * 9
