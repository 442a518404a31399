"""The boundary of tesserine._native: shape, argument binding, conversion errors,
result identity, and calls from several threads."""

import sys
import threading

import pytest

from tesserine import _native

FUNCTIONS = [("patch_xml", "src"), ("pre_render", "src"), ("post_render", "dst")]


def test_module_shape() -> None:
    assert _native.__all__ == ["__version__", "patch_xml", "pre_render", "post_render"]
    assert _native.__version__ == "0.1.0"
    assert _native.__doc__ == ""
    docs = {
        "patch_xml": 'Native `Scrivelle.patch_xml`; `None` means "use the Python reference".',
        "pre_render": "Native prefix of `render_xml_part`; `None` means unchanged.",
        "post_render": "Native suffix of `render_xml_part` incl. `resolve_listing`; "
        "`None` means unchanged.",
    }
    for name, param in FUNCTIONS:
        fn = getattr(_native, name)
        assert fn.__text_signature__ == f"({param})"
        assert fn.__doc__ == docs[name]
        assert fn.__module__ == _native.__name__
        assert fn.__name__ == name


@pytest.mark.parametrize("name,param", FUNCTIONS)
def test_binding_errors(name: str, param: str) -> None:
    fn = getattr(_native, name)
    cases = [
        ((), {}, f"{name}() missing 1 required positional argument: '{param}'"),
        (("a", "b"), {}, f"{name}() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {}, f"{name}() takes 1 positional arguments but 3 were given"),
        ((), {"foo": "a"}, f"{name}() got an unexpected keyword argument 'foo'"),
        (("a",), {param: "b"}, f"{name}() got multiple values for argument '{param}'"),
    ]
    other = "dst" if param == "src" else "src"
    cases.append(((), {other: "a"}, f"{name}() got an unexpected keyword argument '{other}'"))
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == message
        assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("name,param", FUNCTIONS)
def test_conversion_errors_carry_a_note(name: str, param: str) -> None:
    fn = getattr(_native, name)
    note = [f"while processing '{param}'"]
    for value, message in [
        (b"x", "'bytes' object is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        ([], "'list' object is not an instance of 'str'"),
    ]:
        with pytest.raises(TypeError) as info:
            fn(value)
        assert str(info.value) == message
        assert info.value.__notes__ == note
    with pytest.raises(UnicodeEncodeError) as enc:
        fn("a\udc80b")
    assert enc.value.__notes__ == note


def test_nested_qualified_type_name_in_message() -> None:
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        _native.patch_xml(Outer.Inner())
    assert str(info.value) == (
        "'test_nested_qualified_type_name_in_message.<locals>.Outer.Inner' "
        "object is not an instance of 'str'"
    )


def test_results_none_versus_new_str() -> None:
    assert _native.patch_xml("") == ""
    assert _native.pre_render("") is None
    assert _native.post_render("") is None
    plain = "<w:r><w:t>no tags here</w:t></w:r>" * 3
    patched = _native.patch_xml(plain)
    assert patched == plain and patched is not plain
    assert _native.patch_xml(src=plain) == plain
    assert _native.pre_render(plain) is None
    assert _native.post_render(dst=plain) is None
    assert _native.pre_render("<w:p>") == "\n<w:p>"


def test_str_subclass_and_unusual_text() -> None:
    class Markup(str):
        def __str__(self) -> str:
            return "not this"

    assert _native.patch_xml(Markup("abc")) == "abc"
    assert type(_native.patch_xml(Markup("abc"))) is str
    for text in ["\x00", "\U0001f600<w:p>\x00", "é" * 1000, "<" * 50, "{" * 50]:
        assert _native.patch_xml(text) is not None
        _native.pre_render(text)
        _native.post_render(text)


def test_no_reference_leaks_on_success_or_error() -> None:
    text = "<w:p>" + "x" * 100
    before = sys.getrefcount(text)
    for _ in range(1000):
        _native.patch_xml(text)
        _native.pre_render(text)
        _native.post_render(src_or_dst := text)
        with pytest.raises(TypeError):
            _native.patch_xml(text, extra=1)
    del src_or_dst
    assert sys.getrefcount(text) == before


def test_threads_share_nothing() -> None:
    texts = [f"<w:p><w:r><w:t>row {i}\t{{{{ x }}}}</w:t></w:r></w:p>" * 200 for i in range(8)]
    expected = [(_native.patch_xml(t), _native.pre_render(t), _native.post_render(t)) for t in texts]
    failures: list[int] = []

    def work(i: int) -> None:
        for _ in range(50):
            for j in (i, 0):  # a distinct text and one shared by every thread
                got = (_native.patch_xml(texts[j]), _native.pre_render(texts[j]),
                       _native.post_render(texts[j]))
                if got != expected[j]:
                    failures.append(j)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
