"""Write the built-in example template, an invoice letter, as a minimal .docx, and the
company logo its data shows.

The parts are written by hand, the way a word processor stores them: tags split over
runs with their own formatting and proofing marks, control rows around table loops,
and tags typed with typographic quotes. The letter's data (invoice-letter.json) fills
some tags with rich values: the logo picture, a styled payment status, a link and a
note in Markdown. Run from anywhere; the default output is the copy that ships inside
the package, with the logo beside it:

    python examples/make_demo_template.py [OUTPUT.docx]
"""

from __future__ import annotations

import sys
import zipfile
from pathlib import Path

from PIL import Image, ImageDraw

OUTPUT = Path(__file__).resolve().parent.parent / "python" / "tesserine" / "examples" / "invoice-letter.docx"

# A fixed timestamp keeps the file byte for byte the same from one run to the next.
TIMESTAMP = (2024, 3, 1, 12, 0, 0)

W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
R = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
WML = "application/vnd.openxmlformats-officedocument.wordprocessingml"

CONTENT_TYPES = f"""{DECLARATION}<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">\
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>\
<Default Extension="xml" ContentType="application/xml"/>\
<Override PartName="/word/document.xml" ContentType="{WML}.document.main+xml"/>\
<Override PartName="/word/styles.xml" ContentType="{WML}.styles+xml"/>\
<Override PartName="/word/header1.xml" ContentType="{WML}.header+xml"/>\
<Override PartName="/word/footer1.xml" ContentType="{WML}.footer+xml"/>\
</Types>"""

PACKAGE_RELS = f"""{DECLARATION}<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">\
<Relationship Id="rId1" Type="{R}/officeDocument" Target="word/document.xml"/>\
</Relationships>"""

DOCUMENT_RELS = f"""{DECLARATION}<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">\
<Relationship Id="rId1" Type="{R}/styles" Target="styles.xml"/>\
<Relationship Id="rId2" Type="{R}/header" Target="header1.xml"/>\
<Relationship Id="rId3" Type="{R}/footer" Target="footer1.xml"/>\
</Relationships>"""

STYLES = f"""{DECLARATION}<w:styles xmlns:w="{W}">\
<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:ascii="Calibri" w:hAnsi="Calibri" w:cs="Calibri"/>\
<w:sz w:val="22"/><w:szCs w:val="22"/><w:lang w:val="en-GB"/></w:rPr></w:rPrDefault>\
<w:pPrDefault><w:pPr><w:spacing w:after="120" w:line="264" w:lineRule="auto"/></w:pPr></w:pPrDefault>\
</w:docDefaults>\
<w:style w:type="paragraph" w:default="1" w:styleId="Normal"><w:name w:val="Normal"/><w:qFormat/></w:style>\
<w:style w:type="paragraph" w:styleId="Heading1"><w:name w:val="heading 1"/><w:basedOn w:val="Normal"/>\
<w:next w:val="Normal"/><w:qFormat/><w:pPr><w:keepNext/><w:spacing w:before="240" w:after="120"/>\
<w:outlineLvl w:val="0"/></w:pPr><w:rPr><w:b/><w:color w:val="1F3864"/><w:sz w:val="28"/></w:rPr></w:style>\
<w:style w:type="character" w:styleId="Hyperlink"><w:name w:val="Hyperlink"/><w:rPr>\
<w:color w:val="2E74B5"/><w:u w:val="single"/></w:rPr></w:style>\
<w:style w:type="table" w:default="1" w:styleId="TableNormal"><w:name w:val="Normal Table"/>\
<w:tblPr><w:tblInd w:w="0" w:type="dxa"/><w:tblCellMar><w:top w:w="0" w:type="dxa"/>\
<w:left w:w="108" w:type="dxa"/><w:bottom w:w="0" w:type="dxa"/><w:right w:w="108" w:type="dxa"/>\
</w:tblCellMar></w:tblPr></w:style>\
</w:styles>"""


def t(text: str) -> str:
    space = ' xml:space="preserve"' if text != text.strip() else ""
    return f"<w:t{space}>{text}</w:t>"


def run(text: str, props: str = "") -> str:
    rpr = f"<w:rPr>{props}</w:rPr>" if props else ""
    return f"<w:r>{rpr}{t(text)}</w:r>"


def para(*runs: str, props: str = "") -> str:
    ppr = f"<w:pPr>{props}</w:pPr>" if props else ""
    return f"<w:p>{ppr}{''.join(runs)}</w:p>"


def cell(width: int, *paragraphs: str, props: str = "") -> str:
    # Cells whose properties the template rewrites carry only properties that stay in
    # schema order after the rewrite (a span or shading goes first, a merge goes last).
    tcpr = props if props else f'<w:tcW w:w="{width}" w:type="dxa"/>'
    return f"<w:tc><w:tcPr>{tcpr}</w:tcPr>{''.join(paragraphs) or '<w:p/>'}</w:tc>"


def row(*cells: str, props: str = "") -> str:
    trpr = f"<w:trPr>{props}</w:trPr>" if props else ""
    return f"<w:tr>{trpr}{''.join(cells)}</w:tr>"


WIDTHS = (1900, 4300, 1000, 1800)
BOLD = "<w:b/>"
RIGHT = '<w:jc w:val="right"/>'
SHADED_HEADER = '<w:vAlign w:val="center"/>'


def control_row(tag: str) -> str:
    """A row that only carries a row-scoped tag, as an author types it into the first cell."""
    first = cell(WIDTHS[0], para(run(tag)))
    return row(first, *(cell(width) for width in WIDTHS[1:]))


def header_cell(width: int, label: str, tag: str) -> str:
    return cell(width, para(run(tag), run(label, BOLD)), props=SHADED_HEADER)


INVOICE_TABLE = (
    '<w:tbl><w:tblPr><w:tblW w:w="9000" w:type="dxa"/><w:tblBorders>'
    + "".join(f'<w:{side} w:val="single" w:sz="4" w:space="0" w:color="8EAADB"/>'
              for side in ("top", "left", "bottom", "right", "insideH", "insideV"))
    + '</w:tblBorders><w:tblLayout w:type="fixed"/><w:tblLook w:val="04A0"/></w:tblPr><w:tblGrid>'
    + "".join(f'<w:gridCol w:w="{width}"/>' for width in WIDTHS)
    + "</w:tblGrid>"
    + row(
        # The author typed the first shading tag with the word processor's curly quotes.
        header_cell(WIDTHS[0], "Category", "{% cellbg \u201cD9E2F3\u201d %}"),
        header_cell(WIDTHS[1], "Description", '{% cellbg "D9E2F3" %}'),
        header_cell(WIDTHS[2], "Qty", '{% cellbg "D9E2F3" %}'),
        header_cell(WIDTHS[3], "Amount", '{% cellbg "D9E2F3" %}'),
        props="<w:tblHeader/>",
    )
    + control_row("{%tr for group in groups %}")
    + control_row("{%tr for line in group.lines %}")
    + row(
        cell(WIDTHS[0], para(run("{% vm %}{{ group.category }}"))),
        cell(WIDTHS[1], para(run("{{ line.description }}"))),
        cell(WIDTHS[2], para(run("{{ line.quantity }}"), props=RIGHT)),
        cell(WIDTHS[3], para(run("{{ \u201c%.2f\u201d|format(line.quantity * line.unit_price) }}"),
                             props=RIGHT)),
    )
    + control_row("{%tr endfor %}")
    + control_row("{%tr endfor %}")
    + row(
        cell(0, para(run("{% colspan 3 %}"), run("Total", BOLD), props=RIGHT), props=SHADED_HEADER),
        cell(WIDTHS[3], para(run('{{ "%.2f"|format(total) }} {{ currency }}', BOLD), props=RIGHT)),
    )
    + "</w:tbl>"
)

# "Dear {{ customer.name }}," as a word processor leaves it after edits: the tag spread
# over three runs with different formatting and a spell-check mark between the pieces.
SALUTATION = para(
    run("Dear {{ cust"),
    '<w:proofErr w:type="spellStart"/>',
    run("omer", "<w:b/>"),
    '<w:proofErr w:type="spellEnd"/>',
    run(".name }},", "<w:i/>"),
)

# The date tag's opening braces fell into two runs.
DATE_LINE = para(run("{{ city }}, "), run("{"), run("{ invoice.date }}"), props=RIGHT)

BODY = "".join([
    # The logo picture from the data takes the place of the tag, in a paragraph of its own.
    para(run("{{ logo }}")),
    para(run("{{ company.name }}", '<w:b/><w:color w:val="1F3864"/><w:sz w:val="32"/>')),
    para(run("{{ company.address_line }}", '<w:sz w:val="18"/>')),
    para(),
    para(run("{{ customer.address }}")),
    DATE_LINE,
    para(run("Invoice {{ invoice.number }}"), props='<w:pStyle w:val="Heading1"/>'),
    # The status is styled text from the data ("paid" in green, "overdue" in bold red).
    para(run("Status: "), run("{{ status }}", "<w:i/>")),
    SALUTATION,
    para(run("Thank you for your order. Please find the details of invoice "
             "{{ invoice.number }} below.")),
    # The trim markers swallow the paragraph breaks around the conditional paragraph,
    # so nothing of it is left when the condition is false.
    para(run("{%- if previous_balance %}")),
    para(run("Our records also show an open balance of {{ previous_balance }} from earlier "
             "invoices; please settle it together with this one.", "<w:i/>")),
    para(run("{%- endif %}")),
    INVOICE_TABLE,
    para(),
    para(run("Please transfer the amount within {{ payment_terms_days }} days to IBAN "
             "{{ company.iban }}, or pay online at {{ payment_link }}.")),
    # A note written in Markdown becomes paragraphs, lists and emphasis of the document.
    para(run("{{p note }}")),
    para(run("Kind regards,")),
    para(run("{{ company.signatory }}")),
    '<w:sectPr><w:headerReference w:type="default" r:id="rId2"/>'
    '<w:footerReference w:type="default" r:id="rId3"/>'
    '<w:pgSz w:w="11906" w:h="16838"/>'
    '<w:pgMar w:top="1440" w:right="1440" w:bottom="1440" w:left="1440" w:header="708" '
    'w:footer="708" w:gutter="0"/></w:sectPr>',
])

DOCUMENT = f'{DECLARATION}<w:document xmlns:w="{W}" xmlns:r="{R}"><w:body>{BODY}</w:body></w:document>'

HEADER = (f'{DECLARATION}<w:hdr xmlns:w="{W}" xmlns:r="{R}">'
          + para(run("{{ company.name }} \u00b7 Invoice {{ invoice.number }}", '<w:color w:val="1F3864"/>'),
                 props=RIGHT)
          + "</w:hdr>")

FOOTER = (f'{DECLARATION}<w:ftr xmlns:w="{W}" xmlns:r="{R}">'
          + para(run("{{ company.name }} \u00b7 {{ company.address_line }} \u00b7 VAT {{ company.vat_id }}",
                     '<w:sz w:val="16"/>'),
                 props='<w:jc w:val="center"/>')
          + "</w:ftr>")

PARTS = [
    ("[Content_Types].xml", CONTENT_TYPES),
    ("_rels/.rels", PACKAGE_RELS),
    ("word/document.xml", DOCUMENT),
    ("word/_rels/document.xml.rels", DOCUMENT_RELS),
    ("word/styles.xml", STYLES),
    ("word/header1.xml", HEADER),
    ("word/footer1.xml", FOOTER),
]


LOGO = "logo.png"
NAVY, GOLD, PAPER = (31, 56, 100), (201, 162, 39), (255, 255, 255)


def logo() -> Image.Image:
    """The company's logo: a sheet of paper with a gold quill on a navy tile."""
    image = Image.new("RGBA", (240, 240), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    draw.rounded_rectangle((0, 0, 239, 239), radius=36, fill=NAVY)
    draw.polygon([(64, 40), (150, 40), (180, 70), (180, 200), (64, 200)], fill=PAPER)
    for y in (92, 118, 144, 170):
        draw.line((84, y, 160, y), fill=NAVY, width=6)
    draw.polygon([(120, 180), (214, 28), (200, 86)], fill=GOLD)
    return image


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else OUTPUT
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, text in PARTS:
            info = zipfile.ZipInfo(name, TIMESTAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, text.encode("utf-8"))
    # Shown 2.5 cm wide, the 240 pixels print at about 240 dpi.
    logo().save(output.with_name(LOGO), format="PNG", optimize=True)
    print(f"wrote {output} and {output.with_name(LOGO)}")


if __name__ == "__main__":
    main()
