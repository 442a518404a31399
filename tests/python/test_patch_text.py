"""Tags that a word processor split over runs, and quotes and escapes inside
tags, through the whole patch pipeline."""

import pytest

T = '<w:t xml:space="preserve">'
BOLD = "<w:rPr><w:b/></w:rPr>"
SPELL_START = '<w:proofErr w:type="spellStart"/>'
SPELL_END = '<w:proofErr w:type="spellEnd"/>'
MARK_START = '<w:bookmarkStart w:id="0" w:name="_GoBack"/>'
MARK_END = '<w:bookmarkEnd w:id="0"/>'


def run(text: str, props: str = "", start: str = "<w:t>") -> str:
    return f"<w:r>{props}{start}{text}</w:t></w:r>"


def para(*parts: str) -> str:
    return f'<w:p w:rsidR="00A1">{"".join(parts)}</w:p>'


@pytest.mark.parametrize(
    ("src", "expected"),
    [
        # Each delimiter split in two, proof marks around the name, bold runs.
        (
            para(
                run("Dear ", BOLD),
                run("{", BOLD),
                SPELL_START,
                run("{ cus", BOLD),
                SPELL_END,
                run("tomer.name }", BOLD, T),
                run("}"),
                run(",", BOLD),
            ),
            para(
                run("Dear ", BOLD),
                run("{{ customer.name }}", BOLD, T),
                run(",", BOLD),
            ),
        ),
        # A bookmark between the pieces of a statement whose keyword is split,
        # and typographic quotes typed by autocorrect.
        (
            para(
                run("{% if sta"),
                MARK_START,
                run("tus == “paid” %"),
                MARK_END,
                run("}Paid"),
            ),
            para(run('{% if status == "paid" %}Paid', start=T)),
        ),
        # Escapes and single quotes inside tags; the same characters outside stay.
        (
            para(
                run("a &lt; b: ‘x’ ", start=T),
                run("{% if a &lt; b and c &gt; d %}", start=T),
                run("{{ f(&#8216;x&#8216;, ‘y’) &amp; &quot;z&quot; }}", BOLD, T),
            ),
            para(
                run("a &lt; b: ‘x’ ", start=T),
                run("{% if a < b and c > d %}", start=T),
                run("{{ f('x', 'y') &amp; &quot;z&quot; }}", BOLD, T),
            ),
        ),
        # A comment is joined but its text is left alone.
        (
            para(run("{"), run("# “note” #"), run("}")),
            para(run("{# “note” #}")),
        ),
        # Multi-byte and astral characters right at the split points.
        (
            para(
                run("€{", start=T), run("{ “😀", BOLD), run("” }", start=T), run("}😀")
            ),
            para(run('€{{ "😀" }}😀', start=T)),
        ),
        # An expression whose closer never comes swallows the rest of the part.
        (
            para(run("{{ a", start=T)) + para(run("b", BOLD, T)),
            para(run("{{ ab", start=T)),
        ),
    ],
    ids=[
        "split-expression-with-proof-marks",
        "split-statement-with-bookmark",
        "escapes-and-quotes",
        "comment-joined-not-cleaned",
        "multibyte-at-split-points",
        "unclosed-expression",
    ],
)
def test_split_tags_are_joined_and_cleaned(impl, src, expected):
    assert impl.patch_xml(src) == expected


@pytest.mark.parametrize(
    "src",
    [
        # A space after the run markup: "{" and "{" are not one delimiter.
        para(run("a {", start=T), run(" {b}", start=T)),
        # "}" then "{" never pair.
        para(run("x}", start=T), run("{y", start=T)),
        # Text after a closed tag stays in its own run.
        para(run("{{ a }}", start=T), run("b", BOLD, T)),
        # Quotes outside any tag, and a closer on another line.
        para(run("“a” {# ‘b’ #}", start=T)),
        para(run("{{ “a”\n}}", start=T)),
        # Truncated markup at the end of the part.
        para(run("x{", start=T)) + "<w:r",
        "{",
        "",
    ],
    ids=[
        "space-after-markup",
        "closer-then-opener",
        "text-after-closed-tag",
        "quotes-outside-tags",
        "closer-on-next-line",
        "truncated-markup",
        "lone-opener",
        "empty",
    ],
)
def test_parts_without_work_come_back_equal(impl, src):
    assert impl.patch_xml(src) == src
