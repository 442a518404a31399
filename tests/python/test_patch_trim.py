"""Trim markers and run tags through the whole patch pipeline."""

import pytest

T = '<w:t xml:space="preserve">'
BOLD = "<w:rPr><w:b/></w:rPr>"


def para(*texts: str, props: str = "") -> str:
    runs = "".join(f"<w:r>{props}{T}{text}</w:t></w:r>" for text in texts)
    return f"<w:p>{runs}</w:p>"


@pytest.mark.parametrize(
    ("src", "expected"),
    [
        # Both markers swallow the paragraph breaks around the statement.
        (
            para("Hi") + para("{%- if x -%}") + para("there"),
            f"<w:p><w:r>{T}Hi{{% if x %}}there</w:t></w:r></w:p>",
        ),
        (
            para("a", "b", props=BOLD)
            + f'<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r>{T}{{%- endfor %}}</w:t></w:r></w:p>',
            f"<w:p><w:r>{BOLD}{T}a</w:t></w:r><w:r>{BOLD}{T}b{{% endfor %}}</w:t></w:r></w:p>",
        ),
        # A tab is no text element: the closer's stretch runs on past it.
        (
            f"<w:p><w:r>{T}{{% for r in rows -%}}</w:t><w:tab/></w:r></w:p>" + para("{{ r }}"),
            f"<w:p><w:r>{T}{{% for r in rows %}}{{{{ r }}}}</w:t></w:r></w:p>",
        ),
    ],
)
def test_trim_markers_remove_paragraph_breaks(impl, src, expected):
    assert impl.patch_xml(src) == expected


@pytest.mark.parametrize(
    "src",
    [
        # Document text between the marker and the neighbouring text element stays.
        para("a", "b {%- x %}"),
        para("{% x -%} b") + para("c"),
        f"<w:p><w:r>{T}{{% x -%}}</w:t></w:r>x<w:r>{T}c</w:t></w:r></w:p>",
        # No text element before the opener or after the closer.
        para("{%- x %}"),
        para("{% x -%}"),
        # Trim markers on expressions and comments are not handled.
        para("a") + para("{{- x -}}") + para("b"),
        para("a") + para("{#- x -#}") + para("b"),
    ],
)
def test_trim_markers_keep_document_text(impl, src):
    assert impl.patch_xml(src) == src


@pytest.mark.parametrize(
    ("src", "expected"),
    [
        # The run tag gets its own run, and that run is then replaced by the tag.
        (
            para("a{%r if x %}b", props=BOLD),
            f"<w:p><w:r>{BOLD}{T}a</w:t></w:r>{{% if x %}}<w:r>{T}b</w:t></w:r></w:p>",
        ),
        (
            para("{{r name }}", props=BOLD),
            f"<w:p><w:r>{BOLD}{T}</w:t></w:r>{{{{ name }}}}<w:r>{T}</w:t></w:r></w:p>",
        ),
        (
            para("\u00e9{%r if x %}\u00e9{%r endif %}\u00e9", props=BOLD),
            f"<w:p><w:r>{BOLD}{T}\u00e9</w:t></w:r>{{% if x %}}"
            f"<w:r>{T}\u00e9</w:t></w:r>{{% endif %}}<w:r>{T}\u00e9</w:t></w:r></w:p>",
        ),
    ],
)
def test_run_tags_replace_their_own_run(impl, src, expected):
    assert impl.patch_xml(src) == expected


def test_not_a_run_tag_keeps_its_run(impl):
    src = para("a{% r x %}b", props=BOLD)
    assert impl.patch_xml(src) == src
