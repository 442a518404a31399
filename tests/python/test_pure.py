"""Pass-level tests of tesserine._pure, the pure-Python twin of the native module."""

from collections.abc import Callable

import pytest

from tesserine import _pure as P

# In the tables below, None means the pass reports "unchanged".
Case = tuple[str, str | None]


def run(fn: Callable[[bytes], bytes | None], text: str) -> str | None:
    out = fn(text.encode())
    return None if out is None else out.decode()


def check(fn: Callable[[bytes], bytes | None], cases: list[Case]) -> None:
    for text, expected in cases:
        assert run(fn, text) == expected, text


VM_PROP = '<w:vMerge w:val="{% if loop.first %}restart{% else %}continue{% endif %}"/>'
PRESERVE = '<w:t xml:space="preserve">'


def test_start_tag_and_statement_scans() -> None:
    tr = P.StartTagPattern(b"<w:tr", False)
    assert P.find_start_tag(b"<w:trPr><w:tr>", tr, 0) == 8
    assert P.find_start_tag(b"<w:tr", tr, 0) is None
    assert P.rfind_start_tag(b"<w:tr><w:trPr>", tr, 0, 14) == 0
    assert P.rfind_start_tag(b"x<w:tr>", tr, 0, 6) == 1  # the ">" lies past `to`
    assert P.find_stmt_tag(b"{%- vm %}{% vm %}", b"vm", 0) == (9, 17)
    for text in ["{%vm%}", "{%\u3000vm\t%}", "{% vm%}", "{%\x1cvm %}"]:
        assert P.find_stmt_tag(text.encode(), b"vm", 0) is not None, text
    for text in ["{% vm -%}", "{% vmx %}", "{% v m %}", "{{ vm }}", "{%\u200bvm %}"]:
        assert P.find_stmt_tag(text.encode(), b"vm", 0) is None, text


def test_rewriter() -> None:
    assert P.Rewriter(b"abc").finish() is None
    cases = [((0, 0), b"", b"abc"), ((1, 2), b"X", b"aXc"), ((1, 1), b"X", b"aXbc"),
             ((1, 3), b"", b"a")]
    for (end, resume), pushed, expected in cases:
        rewriter = P.Rewriter(b"abc")
        rewriter.copy_until(end, resume)
        rewriter.push_str(pushed)
        assert rewriter.finish() == expected


def test_join_split_delimiters() -> None:
    check(P.join_split_delimiters, [
        ("<w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t>",
         "<w:t>{{ name }}</w:t>"),
        ("{</w:t><w:t> {", None),
        ("{<a>{<b>%", "{{%"),
        ("%<a>}", "%}"),
        ("x{<a", None),
        ("{<a>", None),
        ("}</w:t><w:t>{", None),
        ("<a>{", None),
        ("", None),
    ])


def test_merge_tag_text_runs() -> None:
    check(P.merge_tag_text_runs, [
        ('{{ na</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t xml:space="preserve">me }}',
         "{{ name }}"),
        ("{% if a</w:t><w:tab/><w:t> %}", "{% if a %}"),
        ("{{ a }}</w:t><w:t>b", None),
        ("{{ a</w:t></w:r></w:p><w:p><w:r><w:t>b", "{{ ab"),
        ("{x</w:t><w:t>y}", None),
        ("{# a</w:t><w:t>b #}", "{# ab #}"),
        ("{{ a</w:t><w:t x}}>b }}", None),  # the start tag's ">" lies past the closer
        ("{{ a</w:t><w:t>b }}{% c</w:t><w:t>d %}", "{{ ab }}{% cd %}"),
        ("{", None),
    ])


CELL = '<w:tc><w:tcPr><w:tcW w:w="100"/></w:tcPr><w:p><w:r><w:t>{}</w:t></w:r></w:p></w:tc>'


def test_cell_property_tags() -> None:
    check(P.apply_colspan_tags, [
        (CELL.format("{% colspan n %}"),
         '<w:tc><w:tcPr><w:gridSpan w:val="{{n }}"/><w:tcW w:w="100"/></w:tcPr><w:p></w:p></w:tc>'),
        (CELL.format("{%colspan 2%}").replace("<w:tcW", '<w:gridSpan w:val="1"/><w:tcW'),
         '<w:tc><w:tcPr><w:gridSpan w:val="{{2}}"/><w:tcW w:w="100"/></w:tcPr><w:p></w:p></w:tc>'),
        ("<w:tc><w:p>{% colspan %}</w:p></w:tc>", "<w:tc><w:p></w:p></w:tc>"),
        ('<w:tc><w:tcPr/><w:t xml:space="preserve">{% colspan  a + 1  %}</w:t></w:tc>',
         '<w:tc><w:tcPr/><w:gridSpan w:val="{{a + 1  }}"/><w:t xml:space="preserve"></w:t></w:tc>'),
        ("<w:tc><w:tcPr></w:tcPr>{% colspan a %}{% colspan b %}</w:tc>",
         '<w:tc><w:tcPr><w:gridSpan w:val="{{b }}"/></w:tcPr>{% colspan a %}</w:tc>'),
        (CELL.format("{% colspan2 %}"), None),
        (CELL.format("{%- colspan 2 %}"), None),
        (CELL.format("{% colspan 1 % 2 %}"), None),
        ("colspan {% colspan 2 %}", None),
    ])
    check(P.apply_cellbg_tags, [
        ('<w:tc><w:tcPr><w:shd w:val="clear" w:color="auto" w:fill="FFFFFF"/></w:tcPr><w:p><w:r>'
         "<w:t>{% cellbg c %}</w:t></w:r></w:p></w:tc>",
         '<w:tc><w:tcPr><w:shd w:val="clear" w:color="auto" w:fill="{{c }}"/></w:tcPr>'
         "<w:p></w:p></w:tc>"),
    ])


def test_backslash_in_cell_property_falls_back_unless_sound() -> None:
    text = CELL.format(r"{% cellbg c\d %}").encode()
    with pytest.raises(P.Fallback):
        P.apply_cellbg_tags(text)
    out = P.apply_cellbg_tags(text, sound=True)
    assert out is not None and rb'w:fill="{{c\d }}"' in out
    assert P.patch_xml(CELL.format(r"{% colspan a\b %}")) is None
    assert r'w:val="{{a\b }}"' in P.patch_xml_sound(CELL.format(r"{% colspan a\b %}"))


def test_preserve_tag_text_space() -> None:
    check(P.preserve_tag_text_space, [
        ("<w:t>Hello {{ name }}</w:t>", f"{PRESERVE}Hello {{{{ name }}}}</w:t>"),
        ('<w:t xml:space="preserve">{{ x }}</w:t>', None),
        ('<w:t>a</w:t><w:t xml:space="preserve">{{ x }}</w:t>',
         f'{PRESERVE}a</w:t><w:t xml:space="preserve">{{{{ x }}}}</w:t>'),
        ("<w:t>{{ a }} and {% if b %}</w:t>", f"{PRESERVE}{{{{ a }}}} and {{% if b %}}</w:t>"),
        ("<w:t>{# note #}</w:t>", None),
        ("<w:t>{{ x }</w:t>", None),
        ("<w:t>{{}}</w:t>", f"{PRESERVE}{{{{}}}}</w:t>"),
        ("{{ x }}", None),
    ])


def test_isolate_run_tags() -> None:
    sep = f"</w:t></w:r><w:r>{PRESERVE}"
    check(P.isolate_run_tags, [
        ("<w:r><w:t>a{%r x %}b</w:t></w:r>",
         f"<w:r><w:t>a{sep}{{%r x %}}{sep}b</w:t></w:r>"),
        ("{{r\tx}}", f"{sep}{{{{r\tx}}}}{sep}"),
        ("{{r\u00a0}}", f"{sep}{{{{r\u00a0}}}}{sep}"),  # closer searched after the two-byte space
        ("{{r\u00a0}", None),
        ("{#r x #}", None),
        ("{% r x %}", None),
        ("{{rx}}", None),
        ("{{r x", None),
    ])


def test_trim_markup_before_tags() -> None:
    check(P.trim_markup_before_tags, [
        ("<w:t>Hi</w:t></w:r></w:p><w:p><w:r><w:t>{%- endif %}</w:t>", "<w:t>Hi{% endif %}</w:t>"),
        ("<w:t>a</w:t> \n<w:t>{%- x %}</w:t>", "<w:t>a{% x %}</w:t>"),
        ("<w:t>{%- x %}</w:t>", None),
        ("<w:t>a</w:t><w:t>{%- x %}</w:t><w:t>{%- y %}", "<w:t>a{% x %}{% y %}"),
        ("{{- x }}", None),
        # Document text in the stretch keeps the opener as it is.
        ("<w:t>a</w:t><w:t>b {%- x %}</w:t>", None),
        ("<w:t>a</w:t><w:t>b {%- x %}{%- y %}</w:t><w:t>{%- z %}",
         "<w:t>a</w:t><w:t>b {%- x %}{%- y %}{% z %}"),
        ("</w:t><w:p a='>' b {%- x %}", None),
        ("</w:t><w:p a b {%- x %}", "{% x %}"),  # an unclosed tag runs to the opener
    ])


def test_trim_markup_after_tags() -> None:
    check(P.trim_markup_after_tags, [
        ("<w:t>{% if x -%}</w:t></w:r></w:p><w:p><w:r><w:t>Hello</w:t>",
         "<w:t>{% if x %}Hello</w:t>"),
        ("{% x -%}</w:t><w:t>{{ y }}", "{% x %}{{ y }}"),
        ("{% x -%}{{ y }}<w:t>", None),
        ("{% x -%}", None),
        ("{{ x -}}<w:t>", None),
        ('{% x -%}</w:t> <w:t xml:space="preserve">z', "{% x %}z"),
        # Only a real text start tag ends the stretch; other "<w:t…" tags are passed over.
        ("{% x -%}</w:t><w:tab/><w:t>z", "{% x %}z"),
        ("{% x -%}</w:t></w:tc><w:tc><w:p><w:r><w:t>z", "{% x %}z"),
        # Document text in the stretch keeps the closer as it is.
        ("{% x -%} b</w:t><w:t>c", None),
        ("{% x -%}{z<w:t>", None),
        ("{% x -%}b</w:t>{% y -%}</w:t><w:t>c", "{% x -%}b</w:t>{% y %}c"),
        ("{% x -%}</w:t><w:t", None),
    ])


ROWS = ("<w:tbl><w:tr><w:tc><w:p><w:r><w:t>{%tr for r in rows %}</w:t></w:r></w:p></w:tc></w:tr>"
        "<w:tr><w:tc><w:p><w:r><w:t>{{ r }}</w:t></w:r></w:p></w:tc></w:tr><w:tr w:rsidR=\"1\">"
        "<w:tc><w:p><w:r><w:t>{%tr endfor %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>")


def test_element_scoped_tags() -> None:
    check(P.replace_row_tags, [
        (ROWS, "<w:tbl>{% for r in rows %}<w:tr><w:tc><w:p><w:r><w:t>{{ r }}</w:t></w:r></w:p>"
               "</w:tc></w:tr>{% endfor %}</w:tbl>"),
        ("<w:tr><w:tr>A{%tr x %}B</w:tr>", "<w:tr>{% x %}"),
        ("<w:trPr>{%tr x %}</w:tr>", None),
        ("<w:tr>{%tr %}</w:tr>", "{% %}"),
        ("<w:tr>{%tr  x %}</w:tr>", "{%  x %}"),
        ("<w:tr>{{tr x %}</w:tr>", "{{ x %}"),
        ("<w:tr>{%tr x}%}</w:tr>", None),
        ("<w:tr>{%tr a%b %}</w:tr>", None),
        ("<w:tr>{% tr x %}</w:tr>", None),
        ("<w:tr>{%tr\tx %}</w:tr>", None),
        ("<w:tbl><w:tr>{%tr x %}<w:tr>", None),
        ("<w:tr>{%tr a %}{%tr b %}</w:tr><w:tr>", "{% b %}<w:tr>"),
        ("<w:tr>{%tr a %}</w:tr>{%tr b %}", "{% a %}{%tr b %}"),
    ])
    check(P.replace_paragraph_tags, [("<w:p><w:pPr/>{{p x }}</w:p>", "{{ x }}"),
                                      ("<w:pPr>{{p x }}</w:p>", None)])
    check(P.replace_run_tags, [("<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>{{r name }}</w:t></w:r></w:p>",
                                "<w:p>{{ name }}</w:p>")])
    check(P.replace_paragraph_comments, [
        ("<w:body><w:p><w:r><w:t>{#p draft #}</w:t></w:r></w:p></w:body>",
         "<w:body>{# draft #}</w:body>")])
    check(P.replace_row_comments, [("<w:tr>{#tr x}}</w:tr>", None),
                                    ("<w:tr>{#tr x #}</w:tr>", "{# x #}")])
    check(P.replace_cell_comments, [("<w:tc>{#tc n #}</w:tc>", "{# n #}"),
                                     ("<w:tc>{%tc n %}</w:tc>", None)])
    check(P.replace_cell_tags, [("<w:tc>{%tc n %}</w:tc>", "{% n %}")])


def vm_cell(inner: str) -> str:
    return f'<w:tc><w:tcPr><w:tcW w:w="1"/></w:tcPr><w:p><w:r>{inner}</w:r></w:p></w:tc>'


def test_vertical_merge() -> None:
    def merged(inner: str) -> str:
        properties = f'<w:tcPr><w:tcW w:w="1"/>{VM_PROP}</w:tcPr>'
        return f"<w:tc>{properties}<w:p><w:r>{inner}</w:r></w:p></w:tc>"

    first, endif = "{% if loop.first %}", "{% endif %}"
    check(P.apply_vmerge_tags, [
        (vm_cell("<w:t>A{% vm %}B</w:t>"), merged(f"<w:t>{first}AB{endif}</w:t>")),
        # Only a real text start tag opens the text; "<w:tab/>" is passed over.
        (vm_cell("<w:tab/><w:t>A{% vm %}</w:t>"), merged(f"<w:tab/><w:t>{first}A{endif}</w:t>")),
        (vm_cell("<w:t>{%vm%}{% vm %}</w:t>"), merged(f"<w:t>{first}{{% vm %}}{endif}</w:t>")),
        # The cell ends past the ">" of an end tag with attributes.
        (vm_cell("<w:t>{% vm %}</w:t>").replace("</w:tc>", '</w:tc x="1">') + "z",
         merged(f"<w:t>{first}{endif}</w:t>").replace("</w:tc>", '</w:tc x="1">') + "z"),
        ("<w:tc><w:t>{% vm %}</w:t></w:tc>", "<w:tc><w:t>{% vm %}</w:t></w:tc>"),
        (vm_cell("<w:t>{% vm %}</w:t>").replace("</w:tc>", "</w:tc "), None),
        (vm_cell("vm {{ vm }} {%- vm %}"), None),
        ("{% vm %}<w:tc>", None),
    ])


def test_horizontal_merge() -> None:
    wrap = "{{% if loop.first %}}{}{{% endif %}}".format
    check(P.apply_hmerge_tags, [
        (vm_cell("<w:t>A{% hm %}B</w:t>"),
         wrap('<w:tc><w:tcPr><w:tcW w:w="1"/><w:gridSpan w:val="{{ loop.length }}"/></w:tcPr>'
              "<w:p><w:r><w:t>AB</w:t></w:r></w:p></w:tc>")),
        ('<w:tc><w:tcPr><w:gridSpan w:val="2"/></w:tcPr><w:t>{% hm %}x</w:t></w:tc>',
         wrap('<w:tc><w:tcPr><w:gridSpan w:val="{{ 2 * loop.length }}"/></w:tcPr>'
              "<w:t>x</w:t></w:tc>")),
        ('<w:tc>w:gridSpan w:val="" w:gridSpan w:val="2x" {% hm %}</w:tc>',
         wrap('<w:tc>w:gridSpan w:val="" w:gridSpan w:val="2x" </w:tc>')),
        ("<w:tc><w:t>{% hm %}</w:t></w:tc>", wrap("<w:tc><w:t>{% hm %}</w:t></w:tc>")),
    ])
    text = '<w:tc>w:gridSpan w:val="\u0662" {% hm %}</w:tc>'.encode()
    with pytest.raises(P.Fallback):
        P.apply_hmerge_tags(text)
    assert P.apply_hmerge_tags(text, sound=True) == wrap(
        '<w:tc>w:gridSpan w:val="\u0662" </w:tc>').encode()
    assert P.patch_xml(text.decode()) is None


def test_clean_tag_bodies() -> None:
    check(P.clean_tag_bodies, [
        ("{{ \u201ca\u201d }}", '{{ "a" }}'),
        ("{% if x &gt; 1 &lt; 2 %}", "{% if x > 1 < 2 %}"),
        ("{{ \u2018a\u2019 }}", "{{ 'a' }}"),
        ("{{ &#8216;a&#8216; }}", "{{ 'a' }}"),
        ("{{ &#8217;a &amp; }}", None),
        ("\u201ca\u201d {{ b }}", None),
        ("{# \u201ca\u201d #}", None),
        ("{{ \u201ca\u201d\n}}", None),
        ("{% \u201ca\u201d }}", '{% "a" }}'),
        ("{{ a % \u201cb\u201d }}", '{{ a % "b" }}'),
        ("{{ \u201ca\u201d }} \u201cb\u201d }}", '{{ "a" }} \u201cb\u201d }}'),
        ("{{}} \u201cx\u201d {{ y }}", '{{}} "x" {{ y }}'),
        ("{{}}\n\u201cx\u201d", None),
        ("{{ a &l }}", None),
        ("{{{ &lt; }}", "{{{ < }}"),
    ])


def test_resolve_listing() -> None:
    check(P.resolve_listing, [
        ("<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>A\tB</w:t></w:r></w:p>",
         "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>A</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:tab/></w:r>"
         f"<w:r><w:rPr><w:b/></w:rPr>{PRESERVE}B</w:t></w:r></w:p>"),
        ("<w:p><w:r><w:t>A\nB</w:t></w:r></w:p>",
         f"<w:p><w:r><w:t>A</w:t><w:br/>{PRESERVE}B</w:t></w:r></w:p>"),
        ('<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:t>A\aB</w:t></w:r></w:p>',
         '<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:t>A</w:t></w:r></w:p><w:p><w:pPr>'
         f'<w:jc w:val="center"/></w:pPr><w:r>{PRESERVE}B</w:t></w:r></w:p>'),
        ("<w:p><w:r><w:t>A\fB</w:t></w:r></w:p>",
         '<w:p><w:r><w:t>A</w:t></w:r></w:p><w:p><w:r><w:br w:type="page"/></w:r></w:p><w:p><w:r>'
         f"{PRESERVE}B</w:t></w:r></w:p>"),
        # Properties broken by an LF or an FF are passed over for a later element.
        ("<w:p><w:r><w:rPr>\f</w:rPr><w:rPr><w:i/></w:rPr><w:t>\t</w:t></w:r></w:p>",
         "<w:p><w:r><w:rPr>\f</w:rPr><w:rPr><w:i/></w:rPr><w:t></w:t></w:r>"
         "<w:r><w:rPr><w:i/></w:rPr>"
         f"<w:tab/></w:r><w:r><w:rPr><w:i/></w:rPr>{PRESERVE}</w:t></w:r></w:p>"),
        ("<w:p>\t<w:r>\t<w:t>a</w:t></w:r></w:p>", None),
        ("<w:p><w:r><w:t>\r</w:t></w:r></w:p>", None),
        ("<w:p><w:r><w:t>\t</w:t></w:p>", None),
        ("<w:p/>\t<w:r><w:t>\t</w:t></w:r>", None),
    ])
    assert P.find_properties(b"<w:rPr>\n</w:rPr><w:rPr>b</w:rPr>", b"<w:rPr>", b"</w:rPr>") == (
        b"<w:rPr>b</w:rPr>")
    assert P.find_properties(b"<w:rPr>\n</w:rPr>", b"<w:rPr>", b"</w:rPr>") == b""


def test_render_steps() -> None:
    assert P.pre_render("<w:body><w:p><w:pPr/></w:p><w:p/><w:p />") == (
        "<w:body>\n<w:p><w:pPr/></w:p><w:p/>\n<w:p />")
    assert P.pre_render("<w:pPr><w:p") is None
    assert P.pre_render("") is None
    check(P.strip_paragraph_breaks,
          [("\n\n<w:p>", "\n<w:p>"), ("\n<w:pPr>", None), ("\n<w:p", None)])
    assert P.replace_all(b"{_{_{", b"{_{", b"{{") == b"{{_{"
    assert P.replace_all(b"abc", b"x", b"y") is None
    for text, expected in [("{_{ name }_}", "{{ name }}"), ("%_}_}", "%}}"),
                           ("<?xml?>\n<w:body/>", None), ("", None),
                           ("\n<w:p><w:r><w:t>a\tb</w:t></w:r></w:p>",
                            "<w:p><w:r><w:t>a</w:t></w:r><w:r><w:tab/></w:r>"
                            f"<w:r>{PRESERVE}b</w:t></w:r></w:p>")]:
        assert P.post_render(text) == expected, text
    doc = '<w:body><w:p w:a="1"><w:r><w:t>x</w:t></w:r></w:p></w:body>'
    prepared = P.pre_render(doc)
    assert prepared is not None and P.post_render(prepared) == doc


def test_pipeline() -> None:
    assert [fn.__name__ for fn in P.PATCH_PASSES] == [
        "join_split_delimiters", "merge_tag_text_runs", "apply_colspan_tags", "apply_cellbg_tags",
        "preserve_tag_text_space", "isolate_run_tags", "trim_markup_before_tags",
        "trim_markup_after_tags", "replace_row_tags", "replace_cell_tags", "replace_paragraph_tags",
        "replace_run_tags", "replace_row_comments", "replace_cell_comments",
        "replace_paragraph_comments", "apply_vmerge_tags", "apply_hmerge_tags", "clean_tag_bodies"]
    assert P.patch_xml("") == ""
    assert P.patch_xml("<w:t>plain</w:t>") == "<w:t>plain</w:t>"
    split = ("<w:tr><w:tc><w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{tr x }}</w:t></w:r></w:p>"
             "</w:tc></w:tr>")
    assert P.patch_xml(split) == P.patch_xml_sound(split) == "{{ x }}"


def test_argument_errors() -> None:
    cases: list[tuple[object, type[Exception], str]] = [
        (b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        ("\udc80", UnicodeEncodeError, "surrogates not allowed"),
    ]
    for value, kind, message in cases:
        for fn, name in [(P.patch_xml, "src"), (P.pre_render, "src"), (P.post_render, "dst")]:
            with pytest.raises(kind, match=message) as info:
                fn(value)  # type: ignore[arg-type]
            assert info.value.__notes__ == [f"while processing '{name}'"]
