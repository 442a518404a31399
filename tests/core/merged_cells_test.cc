#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "patch/passes.h"

namespace tesserine {
namespace {

using Pass = PassResult (*)(std::string_view);

const std::string VMERGE =
    R"(<w:vMerge w:val="{% if loop.first %}restart{% else %}continue{% endif %}"/>)";
const std::string HSPAN = R"(<w:gridSpan w:val="{{ loop.length }}"/>)";
const std::string FIRST = "{% if loop.first %}";
const std::string ENDIF = "{% endif %}";

// A cell with properties `props` and one text element holding `body`.
std::string cell(std::string_view props, std::string_view body, std::string_view end = "</w:tc>") {
  return "<w:tc><w:tcPr>" + std::string(props) + "</w:tcPr><w:p><w:r><w:t>" +
         std::string(body) + "</w:t></w:r></w:p>" + std::string(end);
}

// The same cell after pass 15: merge property added, content kept for the first row.
std::string vmerged(std::string_view props, std::string_view content,
                    std::string_view end = "</w:tc>") {
  return "<w:tc><w:tcPr>" + std::string(props) + VMERGE + "</w:tcPr><w:p><w:r><w:t>" + FIRST +
         std::string(content) + ENDIF + "</w:t></w:r></w:p>" + std::string(end);
}

// The same cell after pass 16 with no span of its own.
std::string hmerged(std::string_view props, std::string_view content,
                    std::string_view end = "</w:tc>") {
  return FIRST + "<w:tc><w:tcPr>" + std::string(props) + HSPAN + "</w:tcPr><w:p><w:r><w:t>" +
         std::string(content) + "</w:t></w:r></w:p>" + std::string(end) + ENDIF;
}

std::string rewritten(Pass pass, std::string_view in) {
  PassResult r = pass(in);
  EXPECT_TRUE(r.is_rewritten()) << "input: " << in;
  return r.is_rewritten() ? std::string(r.text().view()) : std::string();
}

struct Case {
  const char* name;
  Pass pass;
  std::string in;
  std::string out;
};

void check_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rewritten(c.pass, c.in), c.out);
  }
}

TEST(MergedCells, WorkedExamples) {
  check_cases({
      {"vertical", apply_vmerge_tags,
       R"(<w:tc><w:tcPr><w:tcW w:w="1"/></w:tcPr><w:p><w:r><w:t>A{% vm %}B</w:t></w:r></w:p></w:tc>)",
       R"(<w:tc><w:tcPr><w:tcW w:w="1"/><w:vMerge w:val="{% if loop.first %}restart{% else %}continue{% endif %}"/></w:tcPr><w:p><w:r><w:t>{% if loop.first %}AB{% endif %}</w:t></w:r></w:p></w:tc>)"},
      {"horizontal without span", apply_hmerge_tags,
       R"(<w:tc><w:tcPr><w:tcW w:w="1"/></w:tcPr><w:p><w:r><w:t>A{% hm %}B</w:t></w:r></w:p></w:tc>)",
       R"({% if loop.first %}<w:tc><w:tcPr><w:tcW w:w="1"/><w:gridSpan w:val="{{ loop.length }}"/></w:tcPr><w:p><w:r><w:t>AB</w:t></w:r></w:p></w:tc>{% endif %})"},
      {"horizontal with span", apply_hmerge_tags,
       R"(<w:tc><w:tcPr><w:gridSpan w:val="2"/></w:tcPr><w:p><w:r><w:t>{% hm %}x</w:t></w:r></w:p></w:tc>)",
       R"({% if loop.first %}<w:tc><w:tcPr><w:gridSpan w:val="{{ 2 * loop.length }}"/></w:tcPr><w:p><w:r><w:t>x</w:t></w:r></w:p></w:tc>{% endif %})"},
  });
}

TEST(MergedCells, NoTagIsUnchanged) {
  const std::vector<std::string> inputs = {
      "",
      "<w:tc><w:tcPr></w:tcPr><w:p/></w:tc>",
      cell("", "vm hm {{ vm }} {{ hm }} {%- vm %} {% hm -%} {% vmx %} {% h m %} {# vm #}"),
      // Tags outside any cell, and one whose only cell start is not a start tag.
      "<w:p><w:r><w:t>{% vm %}{% hm %}</w:t></w:r></w:p>",
      "<w:tcPr><w:p><w:r><w:t>{% vm %}{% hm %}</w:t></w:r></w:p></w:tc>",
      // A cell with no end after the tag, or only ends that are not end tags.
      "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% vm %}{% hm %}</w:t></w:r></w:p>",
      cell("", "{% vm %}{% hm %}", "</w:tcx></w:tc\n>"),
      // "</w:tc " with no ">" after it anywhere.
      cell("", "{% vm %}{% hm %}", "</w:tc "),
  };
  for (const std::string& in : inputs) {
    SCOPED_TRACE(in);
    EXPECT_TRUE(apply_vmerge_tags(in).is_unchanged());
    EXPECT_TRUE(apply_hmerge_tags(in).is_unchanged());
  }
}

TEST(MergedCells, TagSpellings) {
  for (std::string tag : {"{%vm%}", "{%  vm  %}", "{%\n\tvm\r\n%}", "{% vm%}",
                          "{%\u3000vm\u00a0%}", "{%\x1cvm %}"}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(rewritten(apply_vmerge_tags, cell("", "A" + tag + "B")), vmerged("", "AB"));
    tag[tag.find("vm")] = 'h';
    EXPECT_EQ(rewritten(apply_hmerge_tags, cell("", "A" + tag + "B")), hmerged("", "AB"));
  }
}

TEST(MergedCells, SecondTagInOneTextElementStays) {
  check_cases({
      {"vertical", apply_vmerge_tags, cell("", "A{% vm %}B{% vm %}C"),
       vmerged("", "AB{% vm %}C")},
      {"horizontal", apply_hmerge_tags, cell("", "A{% hm %}B{% hm %}C"),
       hmerged("", "AB{% hm %}C")},
      // The multiplying branch drops every keyword tag of the cell.
      {"horizontal with span", apply_hmerge_tags,
       cell(R"(<w:gridSpan w:val="3"/>)", "A{% hm %}B{%hm%}C"),
       FIRST + cell(R"(<w:gridSpan w:val="{{ 3 * loop.length }}"/>)", "ABC") + ENDIF},
  });
}

TEST(MergedCells, CellWithoutPropertiesEndKeepsItsTag) {
  const std::string no_props = "<w:tc><w:p><w:r><w:t>A{% vm %}</w:t></w:r></w:p></w:tc>";
  const std::string empty_props =
      "<w:tc><w:tcPr/><w:p><w:r><w:t>A{% vm %}</w:t></w:r></w:p></w:tc>";
  const std::string not_an_end =
      "<w:tc><w:tcPr></w:tcPrx><w:p><w:r><w:t>A{% vm %}</w:t></w:r></w:p></w:tc>";
  std::vector<Case> cases;
  for (const std::string& in : {no_props, empty_props, not_an_end}) {
    std::string hm = in;
    hm[hm.find("vm")] = 'h';
    cases.push_back({"vertical", apply_vmerge_tags, in, in});
    cases.push_back({"horizontal", apply_hmerge_tags, hm, FIRST + hm + ENDIF});
  }
  check_cases(cases);
}

TEST(MergedCells, TagsOutsideCells) {
  const std::string stray = "<w:p><w:r><w:t>{% vm %}</w:t></w:r></w:p>";
  check_cases({
      {"stray tag before a cell", apply_vmerge_tags, stray + cell("", "{% vm %}x"),
       stray + vmerged("", "x")},
      // After a rewritten cell the search for a cell start never reaches back into it.
      {"stray tag after a cell", apply_vmerge_tags, cell("", "{% vm %}x") + stray,
       vmerged("", "x") + stray},
      {"cell without end after a rewritten one", apply_vmerge_tags,
       cell("", "{% vm %}x") + cell("", "{% vm %}y", ""), vmerged("", "x") + cell("", "{% vm %}y", "")},
      {"several cells", apply_hmerge_tags,
       "<w:tr>" + cell("", "{% hm %}a") + cell("", "b") + cell("", "c{% hm %}") + "</w:tr>",
       "<w:tr>" + hmerged("", "a") + cell("", "b") + hmerged("", "c") + "</w:tr>"},
  });
}

TEST(MergedCells, NestedTables) {
  const std::string inner_in = cell("", "{% vm %}x");
  const std::string head = "<w:tc><w:tcPr></w:tcPr><w:tbl><w:tr>";
  check_cases({
      {"tag in the nested cell", apply_vmerge_tags,
       head + inner_in + "</w:tr></w:tbl><w:p/></w:tc>",
       head + vmerged("", "x") + "</w:tr></w:tbl><w:p/></w:tc>"},
      // The region runs from the nested table's last cell start to the outer end.
      {"tag after the nested table", apply_vmerge_tags,
       head + cell("", "x") + "</w:tr></w:tbl><w:p><w:r><w:t>y{% vm %}z</w:t></w:r></w:p></w:tc>",
       head + "<w:tc><w:tcPr>" + VMERGE + "</w:tcPr><w:p><w:r><w:t>" + FIRST +
           "x</w:t></w:r></w:p></w:tc></w:tr></w:tbl><w:p><w:r><w:t>yz" + ENDIF +
           "</w:t></w:r></w:p></w:tc>"},
      // A span anywhere in the region, here in a nested cell, selects multiplying.
      {"span in a nested table", apply_hmerge_tags,
       "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t>{% hm %}</w:t></w:r></w:p><w:tbl><w:tr>" +
           cell(R"(<w:gridSpan w:val="2"/>)", "a") + "</w:tr></w:tbl><w:p/></w:tc>",
       FIRST + "<w:tc><w:tcPr></w:tcPr><w:p><w:r><w:t></w:t></w:r></w:p><w:tbl><w:tr>" +
           cell(R"(<w:gridSpan w:val="{{ 2 * loop.length }}"/>)", "a") + ENDIF +
           "</w:tr></w:tbl><w:p/></w:tc>"},
  });
}

TEST(MergedCells, SpanValues) {
  auto span = [](std::string_view value) {
    return "<w:gridSpan w:val=\"" + std::string(value) + "\"/>";
  };
  std::vector<Case> cases;
  // Values that are not plain numbers stay as they are; no span is added.
  for (std::string_view value : {"", "{{ n }}", "2x", "x2", " 2"}) {
    cases.push_back({"kept", apply_hmerge_tags, cell(span(value), "{% hm %}a"),
                     FIRST + cell(span(value), "a") + ENDIF});
  }
  cases.push_back({"single quotes", apply_hmerge_tags,
                   cell("<w:gridSpan w:val='2'/>", "{% hm %}a"),
                   FIRST + cell("<w:gridSpan w:val='2'/>", "a") + ENDIF});
  cases.push_back({"several spans", apply_hmerge_tags,
                   cell(span("12") + span("x") + span("3"), "{% hm %}a"),
                   FIRST + cell(span("{{ 12 * loop.length }}") + span("x") +
                                    span("{{ 3 * loop.length }}"),
                                "a") +
                       ENDIF});
  // The vertical pass never looks at spans.
  cases.push_back({"vertical ignores spans", apply_vmerge_tags, cell(span("٢"), "{% vm %}a"),
                   vmerged(span("٢"), "a")});
  check_cases(cases);
}

TEST(MergedCells, NonAsciiSpanFallsBack) {
  const std::string bad = cell("<w:gridSpan w:val=\"٢\"/>", "{% hm %}a");
  const std::vector<std::string> inputs = {
      bad,
      cell("<w:gridSpan w:val=\"2٢\"/>", "{% hm %}a"),
      cell("<w:gridSpan w:val=\"2\"/><w:gridSpan w:val=\"\xc2\xa0\"/>", "{% hm %}a"),
      // Earlier cells were already rewritten: all of it is given up.
      cell("", "{% hm %}a") + cell("<w:gridSpan w:val=\"2\"/>", "{% hm %}b") + bad,
  };
  for (const std::string& in : inputs) {
    SCOPED_TRACE(in);
    PassResult r = apply_hmerge_tags(in);
    ASSERT_TRUE(r.is_fallback());
    EXPECT_STREQ(r.reason(), "non-ASCII gridSpan value");
  }
}

// Only a start tag followed by ">" or a space is a text element; "<w:tab/>",
// "<w:tbl>" and "<w:tblPr>" are passed over.
TEST(MergedCells, TextElementIsARealStartTag) {
  const std::string open = "<w:tc><w:tcPr></w:tcPr>";
  check_cases({
      {"tab", apply_vmerge_tags,
       open + "<w:p><w:r><w:tab/><w:t>A{% vm %}</w:t></w:r></w:p></w:tc>",
       open.substr(0, 14) + VMERGE +
           "</w:tcPr><w:p><w:r><w:tab/><w:t>{% if loop.first %}A{% endif %}</w:t></w:r></w:p></w:tc>"},
      {"table", apply_vmerge_tags,
       open + "<w:tbl><w:tblPr/></w:tbl><w:p><w:r><w:t>A{% vm %}B</w:t></w:r></w:p></w:tc>",
       open.substr(0, 14) + VMERGE + "</w:tcPr><w:tbl><w:tblPr/></w:tbl><w:p><w:r><w:t>" +
           FIRST + "AB" + ENDIF + "</w:t></w:r></w:p></w:tc>"},
      {"attributes", apply_vmerge_tags,
       open + R"(<w:p><w:r><w:t xml:space="preserve">A{% vm %}</w:t></w:r></w:p></w:tc>)",
       open.substr(0, 14) + VMERGE + R"(</w:tcPr><w:p><w:r><w:t xml:space="preserve">)" + FIRST +
           "A" + ENDIF + "</w:t></w:r></w:p></w:tc>"},
      {"no text element", apply_vmerge_tags,
       open + "<w:p><w:r><w:tab/><w:instrText>{% vm %}</w:instrText></w:r></w:p></w:tc>",
       open + "<w:p><w:r><w:tab/><w:instrText>{% vm %}</w:instrText></w:r></w:p></w:tc>"},
  });
}

// The cell ends past the ">" of its end tag, also when a space precedes it.
TEST(MergedCells, CellEndTagWithSpace) {
  check_cases({
      {"vertical", apply_vmerge_tags, cell("", "{% vm %}x", "</w:tc >") + "<w:tc>",
       vmerged("", "x", "</w:tc >") + "<w:tc>"},
      {"horizontal", apply_hmerge_tags, cell("", "{% hm %}x", "</w:tc  \n>") + "<w:tc>",
       hmerged("", "x", "</w:tc  \n>") + "<w:tc>"},
      {"end tag without > after a rewritten cell", apply_hmerge_tags,
       cell("", "{% hm %}x") + cell("", "{% hm %}y", "</w:tc "),
       hmerged("", "x") + cell("", "{% hm %}y", "</w:tc ")},
  });
}

TEST(MergedCells, MultiByteCharactersNextToMarkers) {
  // "é" (2 bytes), "€" (3 bytes) and "𝄞" (4 bytes) touch every marker.
  const std::string vm_in =
      "é<w:tc>€<w:tcPr>𝄞</w:tcPr>é<w:p><w:r>€<w:t>𝄞A€{% vm %}é𝄞</w:t>€</w:r></w:p>é</w:tc>𝄞";
  const std::string vm_out = "é<w:tc>€<w:tcPr>𝄞" + VMERGE + "</w:tcPr>é<w:p><w:r>€<w:t>" + FIRST +
                             "𝄞A€é𝄞" + ENDIF + "</w:t>€</w:r></w:p>é</w:tc>𝄞";
  const std::string hm_in =
      "é<w:tc>€<w:tcPr>𝄞</w:tcPr>é<w:p><w:r>€<w:t>𝄞A€{%\u3000hm\u2029%}é𝄞</w:t>€</w:r></w:p>é</w:tc>𝄞";
  const std::string hm_out = "é" + FIRST + "<w:tc>€<w:tcPr>𝄞" + HSPAN +
                             "</w:tcPr>é<w:p><w:r>€<w:t>𝄞A€é𝄞</w:t>€</w:r></w:p>é</w:tc>" + ENDIF +
                             "𝄞";
  const std::string span_in =
      "é<w:tc>€<w:tcPr>é<w:gridSpan w:val=\"7\"/>€</w:tcPr><w:p><w:r><w:t>𝄞{% hm %}é</w:t>"
      "</w:r></w:p></w:tc>€";
  const std::string span_out =
      "é" + FIRST + "<w:tc>€<w:tcPr>é<w:gridSpan w:val=\"{{ 7 * loop.length }}\"/>€</w:tcPr>" +
      "<w:p><w:r><w:t>𝄞é</w:t></w:r></w:p></w:tc>" + ENDIF + "€";
  check_cases({
      {"vertical", apply_vmerge_tags, vm_in, vm_out},
      {"horizontal", apply_hmerge_tags, hm_in, hm_out},
      {"horizontal with span", apply_hmerge_tags, span_in, span_out},
  });
}

// 150 000 tags outside any cell in 1.2 MB: the search for a cell start must not
// go back over all the tags before each one.
TEST(MergedCells, ManyTagsOutsideCells) {
  std::string stray;
  for (int i = 0; i < 150000; ++i) stray += "{% vm %}";
  EXPECT_TRUE(apply_vmerge_tags(stray + "<w:tc>").is_unchanged());
  EXPECT_EQ(rewritten(apply_vmerge_tags, stray + cell("", "{% vm %}x")),
            stray + vmerged("", "x"));
  // A cell start right before a tag that follows a stray one is still found.
  EXPECT_EQ(rewritten(apply_vmerge_tags, stray + "<w:tc>{% vm %}</w:tc>"),
            stray + "<w:tc>{% vm %}</w:tc>");
  std::string hm_stray;
  for (int i = 0; i < 150000; ++i) hm_stray += "{%hm%}<w:tc";
  EXPECT_TRUE(apply_hmerge_tags(hm_stray).is_unchanged());
}

}  // namespace
}  // namespace tesserine
