"""The boundary of tesserine._native: shape, argument binding, conversion of every
kind of str and its errors, memory and references over many calls, and calls from
several threads at once."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import threading
import tracemalloc
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import ModuleType

import pytest

from tesserine import _native, _pure

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import docgen

FUNCTIONS = [("patch_xml", "src"), ("pre_render", "src"), ("post_render", "dst")]
NAMES = [name for name, _ in FUNCTIONS]


def test_module_shape() -> None:
    assert _native.__all__ == ["__version__", "patch_xml", "pre_render", "post_render"]
    assert _native.__version__ == "0.1.0"
    assert _native.__doc__ == ""
    docs = {
        "patch_xml": 'Native `Scrivelle.patch_xml`; `None` means "use the Python reference".',
        "pre_render": "Native prefix of `render_xml_part`; `None` means unchanged.",
        "post_render": "Native suffix of `render_xml_part` incl. `resolve_listing`; `None` means unchanged.",
    }
    for name, param in FUNCTIONS:
        fn = getattr(_native, name)
        assert (fn.__text_signature__, fn.__doc__) == (f"({param})", docs[name])
        assert (fn.__module__, fn.__name__) == (_native.__name__, name)
    plain = "<w:r><w:t>no tags here</w:t></w:r>" * 3
    patched = _native.patch_xml(src=plain)
    assert patched == plain and patched is not plain
    assert (_native.patch_xml(""), _native.pre_render(""), _native.post_render(dst="")) == ("", None, None)


@pytest.mark.parametrize("name,param", FUNCTIONS)
def test_binding_errors(name: str, param: str) -> None:
    other = "dst" if param == "src" else "src"
    for args, kwargs, message in [
        ((), {}, f"{name}() missing 1 required positional argument: '{param}'"),
        (("a", "b"), {}, f"{name}() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {}, f"{name}() takes 1 positional arguments but 3 were given"),
        ((), {"foo": "a"}, f"{name}() got an unexpected keyword argument 'foo'"),
        (("a",), {param: "b"}, f"{name}() got multiple values for argument '{param}'"),
        ((), {other: "a"}, f"{name}() got an unexpected keyword argument '{other}'"),
    ]:
        with pytest.raises(TypeError) as info:
            getattr(_native, name)(*args, **kwargs)
        assert str(info.value) == message
        assert not getattr(info.value, "__notes__", None)


class Outer:
    class Inner:
        pass


# Markup every function changes: a paragraph for pre_render, a marked paragraph
# break and an escaped delimiter for post_render, a tag split over runs for patch_xml.
BODY = ("<w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ v }}</w:t></w:r></w:p>"
        "\n<w:p><w:r><w:t>{_{ w }_}\t</w:t></w:r></w:p>")


@pytest.mark.parametrize("name,param", FUNCTIONS)
def test_conversion_errors_carry_a_note(impl: ModuleType, name: str, param: str) -> None:
    fn = getattr(impl, name)
    note = [f"while processing '{param}'"]
    for value, message in [
        (b"x", "'bytes' object is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    ]:
        with pytest.raises(TypeError) as info:
            fn(value)
        assert (str(info.value), info.value.__notes__) == (message, note)
    # A lone surrogate anywhere, also past the vector blocks and in large texts,
    # raises the interpreter's own error.
    for prefix in ("", "a" * 40, "\u00e9" * 40, "\U0001f600" * 3):
        for text in (prefix + "\udc80" + BODY, prefix + BODY + "\ud800", BODY * 200 + "\udfff",
                     BODY * 100 + "\udbff" + BODY * 100):
            with pytest.raises(UnicodeEncodeError) as raised:
                fn(text)
            with pytest.raises(UnicodeEncodeError) as reference:
                text.encode()
            assert (str(raised.value), raised.value.__notes__) == (str(reference.value), note)


class Text(str):
    """A str subclass: its characters live apart from the object."""

    def __str__(self) -> str:
        return "not this"


# One character of each storage width, and typographic quotes as templates have.
SAMPLES = {"ascii": "x", "latin1": "\u00e9", "bmp": "\u201c", "astral": "\U0001f600"}


def every_kind_of_str() -> list[tuple[str, str]]:
    out = []
    for kind, ch in SAMPLES.items():
        out += [(f"{kind} at {at}", "a" * at + ch + BODY + ch) for at in (0, 1, 15, 16, 31, 32, 33, 63, 64)]
        out.append((f"{kind} dense", (ch + "b") * 40 + BODY))
        out.append((f"{kind} in a subclass", Text(ch + BODY)))
        # Large enough for the unlocked decode and several encode chunks.
        out.append((f"{kind} large", (BODY + ch) * 3000))
        # Nothing for post_render but paragraph LFs: it works on the str's own units.
        for count in (1, 3, 2000):
            out.append((f"{kind} paragraphs {count}", f"\n<w:p><w:r><w:t>{ch}</w:t></w:r></w:p>" * count))
    out.append(("mixed", "".join(SAMPLES.values()) + BODY + "\u00ff\u0100\uffff\U0010ffff"))
    return out


@pytest.mark.parametrize("name", NAMES)
def test_every_kind_of_str_gives_the_twins_result(name: str) -> None:
    native, twin = getattr(_native, name), getattr(_pure, name)
    for label, text in every_kind_of_str():
        got = native(text)
        assert got is not None and type(got) is str, label
        # Strs of different storage widths compare unequal, so this also catches
        # a result stored wider than its characters need.
        assert got == twin(text), label


utf8_and_size = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
utf8_and_size.argtypes = [ctypes.py_object, ctypes.c_void_p]
utf8_and_size.restype = ctypes.c_void_p


@pytest.mark.parametrize("ch", list(SAMPLES.values())[1:])
def test_the_argument_gets_no_cached_utf8_copy(ch: str) -> None:
    text = (BODY + ch) * 50
    size = sys.getsizeof(text)
    expected = [getattr(_native, name)(text) for name in NAMES]
    assert sys.getsizeof(text) == size
    # The check can see a cached copy: the interpreter counts it in the size.
    assert utf8_and_size(text, None)
    assert sys.getsizeof(text) > size
    # A str with the cached copy is read through it, with the same results.
    assert [getattr(_native, name)(text) for name in NAMES] == expected


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(function: Callable[[object], str | None], argument: object) -> tuple[str, object]:
    try:
        return ("returned", function(argument))
    except (TypeError, UnicodeEncodeError) as error:
        return ("raised", (type(error).__name__, str(error), tuple(getattr(error, "__notes__", ()))))


@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_keep_memory_and_references_flat(name: str) -> None:
    function = getattr(_native, name)
    args = [docgen.document_part(2000, seed=3),
            docgen.document_part(2000, control=True, seed=4).replace("<w:p", "\n<w:p"),
            "", "<w:p>{_{ x }_}\a\t\n\f</w:p>", "caf\u00e9 {{ \u201cq\u201d }} \U0001f600",
            "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>{% colspan a\\b %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>",
            Text("<w:p><w:r><w:t>{%p if x %}</w:t></w:r></w:p>"),
            b"<w:p>bytes</w:p>", None, 10**30, "\udc80", "<w:p>\udc80</w:p>"]
    expected = [call(function, argument) for argument in args]
    assert [kind for kind, _ in expected[-5:]] == ["raised"] * 5
    for _ in range(200):
        for argument in args:
            call(function, argument)
    gc.collect()
    counts = [sys.getrefcount(argument) for argument in args]
    resident = rss()
    tracemalloc.start()
    traced = tracemalloc.get_traced_memory()[0]
    rounds = 8000
    for _ in range(rounds):
        for argument, result in zip(args, expected, strict=True):
            assert call(function, argument) == result
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    after = [sys.getrefcount(argument) for argument in args]
    # None is shared with the whole interpreter: a reference leaked per call
    # would still stand out by thousands.
    none_at = args.index(None)
    assert abs(after.pop(none_at) - counts.pop(none_at)) < rounds // 10
    assert after == counts
    assert traced_growth < 256 * 1024
    # A leak of even the smallest result per call would add megabytes here.
    assert rss() - resident < 4 * 1024 * 1024


def test_threads_get_the_single_threaded_results() -> None:
    shared = [docgen.document_part(20_000, seed=6),
              docgen.document_part(20_000, control=True, seed=7).replace("<w:p", "\n<w:p"),
              "", "caf\u00e9 {_{ \u00e9 }_} <w:p>\a\t", "\udc80", None]
    # Each thread has fresh objects of its own, equal texts and different ones,
    # and starts at a different function, so that all three overlap.
    own = [docgen.document_part(8_000, control=index % 2 == 0, seed=100 + index) for index in range(8)]
    work = [[*shared, "".join(list(shared[0])), text, text.replace("<w:p", "\n<w:p")] for text in own]
    names = [NAMES[index % 3:] + NAMES[:index % 3] for index in range(8)]

    def results(index: int) -> list[tuple[str, object]]:
        return [call(getattr(_native, name), text) for name in names[index] for text in work[index]]

    expected = [results(index) for index in range(8)]
    barrier = threading.Barrier(8)

    def worker(index: int) -> list[bool]:
        barrier.wait()
        return [results(index) == expected[index] for _ in range(60)]

    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(worker, range(8))) == [[True] * 60] * 8
