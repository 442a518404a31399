"""Templates run in Jinja2's sandbox: escapes are refused with the part and the tag, and
what documents ordinarily do still works."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import docx
import jinja2.sandbox
import pytest
from helpers_docx import to_bytes

import tesserine

# Attributes that start with an underscore all meet one check: a few stand for the
# many known payloads.
ESCAPES = [
    "{{ cycler.__init__.__globals__.os.system('touch MARK') }}",
    "{{ ''.__class__.__mro__[1].__subclasses__() }}",
    "{{ kind.mro()[1].__subclasses__() }}",
    "{{ '{0.__init__.__globals__[os]}'.format(cycler) }}",
    "{{ (cycler|attr('__init__')).__globals__ }}",
    "{{ __builtins__.open('MARK', 'w') }}",
    "{{ function.func_globals }}",
    "{{ (items|map('string')).gi_frame.f_globals }}",
    "{{ self._TemplateReference__context.parent }}",
    "{% set n = namespace() %}{{ n._Namespace__attrs }}",
]


def document(*paragraphs: str) -> bytes:
    made = docx.Document()
    for text in paragraphs:
        made.add_paragraph(text)
    return to_bytes(made)


@pytest.mark.parametrize("tag", ESCAPES)
def test_escape_attempts_are_refused(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, tag: str) -> None:
    monkeypatch.chdir(tmp_path)  # where a payload that ran would leave its file
    scrivelle = tesserine.Scrivelle(document("Dear reader,", "Totals: " + tag + " end"))
    with pytest.raises(tesserine.UnsafeTemplateError) as refused:
        scrivelle.render({"kind": int, "function": len, "items": [1, 2]})
    assert (refused.value.part, refused.value.paragraph) == ("word/document.xml", 2)
    # The tag as typed; `{% set %}` and the tag after it stand on one line.
    assert tag.endswith(refused.value.tag.split(" … ")[-1])
    assert "sandbox" in str(refused.value)
    assert list(tmp_path.iterdir()) == []


def test_trusted_rendering_reaches_python() -> None:
    scrivelle = tesserine.Scrivelle(document("{{ ''.__class__.__name__ }}/{{ kind.mro()[0].__name__ }}"))
    scrivelle.render({"kind": int}, trusted=True)
    assert ">str/int<" in scrivelle.rendered_xml("word/document.xml")


CONTEXT: dict[str, Any] = {"name": "Ada", "items": ["b", "a", "c"], "price": 7.5, "d": {"x": 1, "y": 2}}

FEATURES = [
    ("{{ name|upper }} {{ items|sort|join('-') }} {{ price|round|int }}", "ADA a-b-c 8"),
    ("{% for x in items %}{{ loop.index }}{{ x }}{% if not loop.last %},{% endif %}{% endfor %}", "1b,2a,3c"),
    ("{% macro hi(who) %}Hi {{ who }}{% endmacro %}{{ hi(name) }}", "Hi Ada"),
    ("{% set total = price * 2 %}{{ total }} {{ 2 ** 10 }} {{ 'ab' * 2 }} {{ [1] + [2] }}", "15.0 1024 abab [1, 2]"),
    ("{% for k, v in d.items() %}{{ k }}={{ v }};{% endfor %}{{ d.get('z', 'none') }}", "x=1;y=2;none"),
    ("{% for x in items %}{{ items.index(x) }}{% endfor %}{{ items.count('a') }}", "0121"),
    ("{% set ns = namespace(n=0) %}{% for x in range(4) %}{% set ns.n = ns.n + x %}{% endfor %}{{ ns.n }}", "6"),
    ("{{ name.replace('a', 'o').center(7, '*') }}|{{ '7'.zfill(3) }}|{{ name.ljust(4, '.') }}", "**Ado**|007|Ada."),
    ("{{ '%.2f'|format(price) }} {{ '{:>5}'.format(name) }} {{ '%s-%d' % (name, 3) }} {{ name ~ '!' }}",
     "7.50   Ada Ada-3 Ada!"),
    ("{{ items|map('upper')|list|join }} {{ (items|batch(2)|list)[1] }} {{ 'a b'|indent(2, true) }}",
     "BAC ['c']   a b"),
]


def text_of(xml: str) -> str:
    return "".join(re.findall(r"<w:t[^>]*>([^<]*)</w:t>", xml)).replace("&#39;", "'")


@pytest.mark.parametrize("template, expected", FEATURES)
def test_ordinary_features_work_in_the_sandbox(template: str, expected: str) -> None:
    xml = f'<w:p><w:r><w:t xml:space="preserve">{template}</w:t></w:r></w:p>'
    assert text_of(tesserine.render_xml_part(xml, CONTEXT)) == expected
    assert text_of(tesserine.render_xml_part(xml, CONTEXT, trusted=True)) == expected


def test_custom_filters_and_globals_on_a_callers_sandbox() -> None:
    environment = jinja2.sandbox.SandboxedEnvironment()
    environment.filters["shout"] = lambda text: text.upper() + "!"
    environment.globals["company"] = "ACME"
    scrivelle = tesserine.Scrivelle(document("{{ name|shout }} at {{ company }}"))
    scrivelle.render({"name": "a<b"}, environment=environment)
    assert ">A&lt;B! at ACME<" in scrivelle.rendered_xml("word/document.xml")
