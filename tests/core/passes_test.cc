// Each pass of the patch pipeline on its own: rows of (input, output), the
// inputs a pass must leave unchanged, and those on which it falls back.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "patch/passes.h"
#include "patch/pipeline.h"
#include "test_util.h"

namespace tesserine {
namespace {

using test::outcome;

using Rows = std::vector<std::pair<std::string, std::string>>;  // input, output

// The pipeline skips a pass on texts without what it needs, so every text that
// the pass acts on must hold that.
void check(PassFunction pass, const Rows& rows, const std::vector<std::string>& unchanged = {}) {
  const PatchPass* entry = nullptr;
  for (const PatchPass& p : PATCH_PASSES)
    if (p.run == pass) entry = &p;
  ASSERT_NE(entry, nullptr);
  for (const auto& [input, output] : rows) {
    EXPECT_EQ(outcome(pass(input)), output) << entry->name << ": " << input;
    EXPECT_NE(input.find(entry->needs), input.npos) << entry->name << ": " << input;
  }
  for (const std::string& input : unchanged)
    EXPECT_EQ(outcome(pass(input)), std::nullopt) << entry->name << ": " << input;
}

std::string str(std::string_view s) { return std::string(s); }

const std::string KEPT = "<w:t xml:space=\"preserve\">";

std::string run(std::string_view t) { return "<w:r><w:t>" + str(t) + "</w:t></w:r>"; }

// A cell with properties `props` and one text element holding `body`.
std::string cell(std::string_view props, std::string_view body, std::string_view end = "</w:tc>") {
  return "<w:tc><w:tcPr>" + str(props) + "</w:tcPr><w:p>" + run(body) + "</w:p>" + str(end);
}

TEST(Passes, JoinSplitDelimiters) {
  check(join_split_delimiters,
        {{"<w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t>",
          "<w:t>{{ name }}</w:t>"},
         {"{<a>{<b>%", "{{%"},
         {"{<a>#x#<x/>}%</w:t><w:t>}", "{#x#}%}"},
         {"<{<a>%", "<{%"}},  // a "<" at offset 0 is never examined; the one after it is
        {"{</w:t><w:t> {", "}</w:t><w:t>{", "%<a>%", "x{<a", "{<a><b>", ""});
}

TEST(Passes, MergeTagTextRuns) {
  check(
      merge_tag_text_runs,
      {{"{{ na</w:t></w:r><w:r><w:rPr><w:b/></w:rPr>" + KEPT + "me }}", "{{ name }}"},
       {"{# a</w:t><w:tab/><w:t>b</w:t><w:t>c #}", "{# abc #}"},
       {"{% a }}</w:t><w:t>b %}", "{% a }}b %}"},  // only the closer of the tag's own kind ends it
       {"{{ a</w:t><w:tbl><w:tc><w:t>b }}", "{{ ab }}"}},  // look-alike start tags are passed over
      // A "<w:t" whose ">" lies beyond the closer is no start tag of the region.
      {"{{ a }}</w:t><w:t>b", "{{ a</w:t><w:tbl> }}", "{{ a</w:t><w:t }}>", "{{ a</w:t", ""});
}

std::string span(std::string_view v) { return "<w:gridSpan w:val=\"{{" + str(v) + "}}\"/>"; }
std::string shading(std::string_view v) {
  return "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"" + str(v) + "\"/>";
}
// A cell after apply_colspan_tags or apply_cellbg_tags: the property first, the tag's run gone.
std::string with(std::string_view property, std::string_view props = "") {
  return "<w:tc><w:tcPr>" + str(property) + str(props) + "</w:tcPr><w:p></w:p></w:tc>";
}

TEST(Passes, CellSpanAndShading) {
  const std::string width = "<w:tcW w:w=\"100\"/>", old = "<w:gridSpan w:val=\"3\"/>";
  check(apply_colspan_tags,
        {{cell(width, "{% colspan n %}"), with(span("n "), width)},
         // The last tag of a cell wins; the earlier one stays as text.
         {cell("", "{% colspan 1 %}{% colspan 2 %}"), "<w:tc><w:tcPr>" + span("2 ") +
                                                          "</w:tcPr><w:p>" +
                                                          run("{% colspan 1 %}") + "</w:p></w:tc>"},
         // A preserved text element keeps its run; without properties only the tag's run goes.
         {"<w:tc><w:tcPr><w:r>" + KEPT + "{% colspan 2 %}</w:t></w:r></w:tc>",
          "<w:tc><w:tcPr>" + span("2 ") + "<w:r>" + KEPT + "</w:t></w:r></w:tc>"},
         {"<w:tc><w:p><w:r><w:rPr/><w:t>{% colspan 2 %}</w:t></w:r>" + run("x") + "</w:p></w:tc>",
          "<w:tc><w:p>" + run("x") + "</w:p></w:tc>"},
         // Only the first old property goes; every "<w:tcPr" of the cell gets the property.
         {cell(old + old, "{% colspan 2 %}"), with(span("2 "), old)},
         {cell("<w:tcPrChange><w:tcPr/></w:tcPrChange>", "{% colspan 2 %}"),
          "<w:tc><w:tcPr>" + span("2 ") + "<w:tcPrChange>" + span("2 ") + "<w:tcPr/>" + span("2 ") +
              "</w:tcPrChange></w:tcPr><w:p></w:p></w:tc>"}},
        {"<w:p>" + run("{% colspan 2 %}") + "</w:p>",
         "<w:tc><w:tcPr></w:tcPr><w:p>" + run("{% colspan 2 %}") + "</w:p>"});
  check(apply_cellbg_tags,
        {{cell(shading("FFFFFF"), "{% cellbg a %}") + "é" + cell("", "{% cellbg b %}"),
          with(shading("{{a }}")) + "é" + with(shading("{{b }}"))}});
}

TEST(Passes, TagTextSpace) {
  const std::string& K = KEPT;
  check(
      preserve_tag_text_space,
      {{"<w:t>a</w:t>" + K + "{{ x }}</w:t>", K + "a</w:t>" + K + "{{ x }}</w:t>"},
       {"<w:t>{{ a }} and {% if b %}</w:t><w:t>b</w:t><w:t>{% c %}</w:t>",
        K + "{{ a }} and {% if b %}</w:t><w:t>b</w:t>" + K + "{% c %}</w:t>"},
       {"<w:t>{{ a</w:t><w:t>b }}</w:t><w:t>c</w:t>", K + "{{ a</w:t><w:t>b }}</w:t><w:t>c</w:t>"},
       // Groups whose tags overlap, or hold a bare start tag inside a tag.
       {"<w:t>{{ a <w:t>x {{ b }}</w:t><w:t>{% c %}",
        K + "{{ a <w:t>x {{ b }}</w:t>" + K + "{% c %}"},
       {"{{ a }}<w:t>{{ b }}<w:t>{{ c }}", "{{ a }}" + K + "{{ b }}" + K + "{{ c }}"}},
      {K + "{{ x }}</w:t>", "<w:t>{# note #}</w:t>", "<w:t>{{ x }</w:t>", "<w:t>{{ a %}</w:t>",
       "<w:t>%} {% a }}</w:t>", "<w:p>{{ x }}</w:p><w:tbl>{% y %}", ""});
}

// A tag between two run breaks, as isolate_run_tags writes it.
std::string alone(std::string_view tag) {
  const std::string cut = "</w:t></w:r><w:r>" + KEPT;
  return cut + str(tag) + cut;
}

TEST(Passes, RunTagIsolation) {
  check(
      isolate_run_tags,
      {{"<w:r><w:t>a{%r x %}b</w:t></w:r>", "<w:r><w:t>a" + alone("{%r x %}") + "b</w:t></w:r>"},
       {"{%r %}{{r\tx}}", alone("{%r %}") + alone("{{r\tx}}")},
       {"{%r a }} b %}c", alone("{%r a }} b %}") + "c"},  // the first closer of its own kind
       // An unclosed opener is passed over; the other closer is still searched for.
       {"{{r a {%r b %} {{r c", "{{r a " + alone("{%r b %}") + " {{r c"},
       // White space beyond ASCII after the keyword; the closer may follow it at once.
       {"{%r\xE3\x80\x80%}", alone("{%r\xE3\x80\x80%}")}},
      {"{#r x #}", "{% r x %}", "{{rx}}", "{{r}}", "{{r x", "{{r x %}", "{{r\xE2\x80\x8Bx}}", ""});
}

TEST(Passes, TrimMarkers) {
  check(
      trim_markup_before_tags,
      {{"<w:t>Hi</w:t></w:r></w:p><w:p><w:r><w:t>{%- endif %}</w:t>", "<w:t>Hi{% endif %}</w:t>"},
       {"<w:t>a</w:t>\n\t " + KEPT + " \xC2\xA0\xE3\x80\x80{%- x %}</w:t><w:t>{%- y %}",
        "<w:t>a{% x %}{% y %}"},
       // A "<" whose ">" lies beyond the opener makes the rest of the stretch markup.
       {"</w:t><w:t x a {%- y %}>", "{% y %}>"},
       // After a kept opener a later "</w:t>" serves the next one.
       {"<w:t>a</w:t>b{%- x %}</w:t> c{%- y %}</w:t><w:t>{%- z %}",
        "<w:t>a</w:t>b{%- x %}</w:t> c{%- y %}{% z %}"}},
      // Document text in the stretch keeps the marker; so do markers without a
      // text element next to them, and those of expressions and comments.
      {"<w:t>{%- x %}</w:t>", "{{- x }}", "{#- x #}</w:t>{#- y #}", "</w:t><w:t a=\">\"{%- y %}",
       "</w:t> > {%- y %}", "<w:t>a</w:t><w:t>b {%- x %}</w:t>", "</w:t>\xE2\x80\x8B{%- y %}", ""});
  check(trim_markup_after_tags,
        {{"<w:t>{% if x -%}</w:t></w:r></w:p><w:p><w:r><w:t>Hello</w:t>",
          "<w:t>{% if x %}Hello</w:t>"},
         {"{% x -%}<w:r a=\"{x\"><w:t>z", "{% x %}z"},  // a "{" that opens no tag does not stop it
         // Only text element start tags end the stretch.
         {"{% x -%}<w:tbl><w:tr><w:t/><w:t>z", "{% x %}z"},
         // Several closers before one start tag: each stretch is judged on its own.
         {"{% a -%}</w:t>{% c -%}</w:t><w:t>z", "{% a -%}</w:t>{% c %}z"}},
        {"{% x -%}{{ y }}<w:t>", "{% x -%}", "{{ x -}}</w:t><w:t>", "{% x -%}<w:r a=\"{{\"><w:t>z",
         "{% x -%}</w:t><w:t", "{% x -%} b</w:t><w:t>c", "{% a -%}<x -%}> b<w:t>z",
         "{% x -%}\xC3\xA9</w:t><w:t>z", ""});
}

std::string tr(std::string_view body) {
  return "<w:tr><w:tc><w:p>" + run(body) + "</w:p></w:tc></w:tr>";
}

TEST(Passes, ElementScopedTags) {
  check(replace_row_tags,
        {{"<w:tbl>" + tr("{%tr for r in rows %}") + tr("{{ r }}") +
              "<w:tr w:rsidR=\"1\"><w:tc><w:p>" + run("{%tr endfor %}") +
              "</w:p></w:tc></w:tr></w:tbl>",
          "<w:tbl>{% for r in rows %}" + tr("{{ r }}") + "{% endfor %}</w:tbl>"},
         {"<w:tr><w:tc><w:tbl>" + tr("{%tr for x in y %}") + "</w:tbl></w:tc></w:tr>",
          "<w:tr><w:tc><w:tbl>{% for x in y %}</w:tbl></w:tc></w:tr>"},
         {tr("{{tr a{%tr b %}"), "{% b %}"},  // a failed opener is retried one byte on
         // Exactly one white-space byte after the keyword goes; the closer need not match.
         {tr("{%tr  x %}"), "{%  x %}"},
         {tr("{{tr x %}"), "{{ x %}"}},
        {tr("{% tr x %}"), tr("{%tr%}{%trx %}"), tr("{%tr\tx %}"), tr("{%tr x}%}"),
         tr("{%tr a%b %}"), "<w:tbl><w:tr><w:tc>{%tr x %}</w:tc>"});
  check(replace_paragraph_tags,
        {{"<w:p w:rsidR=\"1\"><w:pPr><w:jc w:val=\"left\"/></w:pPr>" + run("{{p x }}") + "</w:p>",
          "{{ x }}"}},
        {"{{p x }}</w:p>", "<w:p>{%p ", "<w:p>{%p x%"});
  check(replace_row_comments, {{tr("{#tr x #}"), "{# x #}"}}, {tr("{#tr x}}")});
  check(replace_paragraph_comments, {{"<w:p>{#p a%b #}</w:p>", "{# a%b #}"}},
        {"<w:p>{#p a}b #}</w:p>"});
  // Each scoped pass takes only its own keyword and kind.
  const std::string a = "<w:tr><w:tc><w:p>" + run("{%r a %}"), b = run("{%p b %}") + "</w:p>";
  const std::string c = "<w:p>" + run("{#p c #}") + "</w:p>";
  const std::string d = "</w:tc><w:tc>{#tc d #}</w:tc></w:tr>", all = a + b + c + d;
  check(replace_run_tags, {{all, "<w:tr><w:tc><w:p>{% a %}" + b + c + d}});
  check(replace_paragraph_tags, {{all, "<w:tr><w:tc>{% b %}" + c + d}});
  check(replace_paragraph_comments, {{all, a + b + "{# c #}" + d}});
  check(replace_cell_comments, {{all, a + b + c + "</w:tc>{# d #}</w:tr>"}});
  check(replace_cell_tags,
        {{"<w:tr><w:tc><w:tcPr/><w:p>" + run("{%tc if x %}") + "</w:p></w:tc></w:tr>",
          "<w:tr>{% if x %}</w:tr>"}});
  for (PassFunction pass : {replace_row_tags, replace_cell_tags, replace_row_comments})
    check(pass, {}, {all});
}

const std::string VMERGE =
    "<w:vMerge w:val=\"{% if loop.first %}restart{% else %}continue{% endif %}\"/>";
const std::string HSPAN = "<w:gridSpan w:val=\"{{ loop.length }}\"/>";
const std::string FIRST = "{% if loop.first %}", ENDIF = "{% endif %}";

// A cell after apply_vmerge_tags: the merge property added, the content kept for the first row.
std::string vmerged(std::string_view props, std::string_view text,
                    std::string_view end = "</w:tc>") {
  return "<w:tc><w:tcPr>" + str(props) + VMERGE + "</w:tcPr><w:p>" +
         run(FIRST + str(text) + ENDIF) + "</w:p>" + str(end);
}

// A cell without a span of its own after apply_hmerge_tags.
std::string hmerged(std::string_view text, std::string_view end = "</w:tc>") {
  return FIRST + cell(HSPAN, text, end) + ENDIF;
}

std::string grid(std::string_view value) { return "<w:gridSpan w:val=\"" + str(value) + "\"/>"; }

TEST(Passes, MergedCells) {
  const std::string open = "<w:tc><w:tcPr></w:tcPr>";
  const std::string merged = "<w:tc><w:tcPr>" + VMERGE + "</w:tcPr>";
  const std::string nest = open + "<w:tbl><w:tr>", stray = "<w:p>" + run("{% vm %}") + "</w:p>";
  Rows vertical = {
      {cell("<w:tcW w:w=\"1\"/>", "A{% vm %}B{% vm %}C"),
       vmerged("<w:tcW w:w=\"1\"/>", "AB{% vm %}C")},
      {cell(grid("٢"), "{% vm %}a"), vmerged(grid("٢"), "a")},  // spans are not looked at
      // Tags outside cells; after a rewritten cell the search never reaches back into it.
      {stray + cell("", "{% vm %}x") + cell("", "{% vm %}y", ""),
       stray + vmerged("", "x") + cell("", "{% vm %}y", "")},
      // The cell ends past the ">" of its end tag, also after a space.
      {cell("", "{% vm %}x", "</w:tc >") + "<w:tc>", vmerged("", "x", "</w:tc >") + "<w:tc>"},
      // Only "<w:t" followed by ">" or a space opens the text.
      {open + "<w:p><w:r><w:tab/>" + KEPT + "A{% vm %}</w:t></w:r></w:p></w:tc>",
       merged + "<w:p><w:r><w:tab/>" + KEPT + FIRST + "A" + ENDIF + "</w:t></w:r></w:p></w:tc>"},
      // The region runs from the nearest cell start (in a nested table) to the end after the tag.
      {nest + cell("", "x") + "</w:tr></w:tbl><w:p>" + run("y{% vm %}z") + "</w:p></w:tc>",
       nest + merged + "<w:p><w:r><w:t>" + FIRST + "x</w:t></w:r></w:p></w:tc></w:tr></w:tbl>" +
           "<w:p>" + run("yz" + ENDIF) + "</w:p></w:tc>"},
  };
  Rows horizontal = {
      {cell("", "A{% hm %}B{% hm %}C"), hmerged("AB{% hm %}C")},
      // Spans are multiplied, and then every tag of the cell goes; values that are
      // not plain numbers stay, and no span is added.
      {cell(grid("12") + grid("x") + grid("3"), "A{% hm %}B{%hm%}C"),
       FIRST +
           cell(grid("{{ 12 * loop.length }}") + grid("x") + grid("{{ 3 * loop.length }}"), "ABC") +
           ENDIF},
      {cell("<w:gridSpan w:val='2'/>", "{% hm %}a"),
       FIRST + cell("<w:gridSpan w:val='2'/>", "a") + ENDIF},
      {"<w:tr>" + cell("", "{% hm %}a") + cell("", "b") + cell("", "c{% hm %}", "</w:tc  \n>") +
           "</w:tr>",
       "<w:tr>" + hmerged("a") + cell("", "b") + hmerged("c", "</w:tc  \n>") + "</w:tr>"},
      // A span anywhere in the region, here in a nested cell, selects the multiplying form.
      {open + "<w:p>" + run("{% hm %}") + "</w:p><w:tbl><w:tr>" + cell(grid("2"), "a") +
           "</w:tr></w:tbl></w:tc>",
       FIRST + open + "<w:p>" + run("") + "</w:p><w:tbl><w:tr>" +
           cell(grid("{{ 2 * loop.length }}"), "a") + ENDIF + "</w:tr></w:tbl></w:tc>"},
  };
  for (std::string value : {"", "2x", " 2"})
    horizontal.push_back({cell(grid(value), "{% hm %}a"), FIRST + cell(grid(value), "a") + ENDIF});
  // Without a properties end tag, or a text element, the vertical tag stays (the
  // text is rewritten as it was); the horizontal pass still wraps the cell.
  for (std::string in : {"<w:tc><w:tcPr/><w:p>" + run("A{% hm %}") + "</w:p></w:tc>",
                         "<w:tc><w:tcPr></w:tcPrx><w:p>" + run("A{% hm %}") + "</w:p></w:tc>"}) {
    horizontal.push_back({in, FIRST + in + ENDIF});
    in[in.find("hm")] = 'v';
    vertical.push_back({in, in});
  }
  const std::string no_text =
      open + "<w:p><w:r><w:tab/><w:instrText>{% vm %}</w:instrText></w:r></w:p></w:tc>";
  vertical.push_back({no_text, no_text});
  const std::vector<std::string> unchanged = {
      "",
      cell("", "vm hm {{ vm }} {{ hm }} {%- vm %} {% hm -%} {% vmx %} {% h m %} {# vm #}"),
      "<w:p>" + run("{% vm %}{% hm %}") + "</w:p>",
      open + "<w:p>" + run("{% vm %}{% hm %}") + "</w:p>",
      "<w:tcPr><w:p>" + run("{% vm %}{% hm %}") + "</w:p></w:tc>",
      cell("", "{% vm %}{% hm %}", "</w:tcx></w:tc\n>"),
      cell("", "{% vm %}{% hm %}", "</w:tc ")};
  check(apply_vmerge_tags, vertical, unchanged);
  check(apply_hmerge_tags, horizontal, unchanged);
}

TEST(Passes, TagBodyCleaning) {
  check(clean_tag_bodies,
        {{"{% if x &gt; 1 &lt; 2 %}", "{% if x > 1 < 2 %}"},
         {"{{ ‘a’ }}{{ &#8216;b&#8216; }}{{ ”c’ }}", "{{ 'a' }}{{ 'b' }}{{ \"c' }}"},
         {"{{ “a” }} “b” }}", "{{ \"a\" }} “b” }}"},
         // A line feed ends only the attempts that reach it.
         {"{% “a”\n %} {{ “b” }}", "{% “a”\n %} {{ \"b\" }}"},
         {"{{ a{%} “b” %}", "{{ a{%} \"b\" %}"}},  // an opener overlapping a closer starts a body
        // After an empty body the same opener may end at the very next closer.
        {"{{ &#8217;a &quot; &amp; }}", "“a” {{ b }}", "{# “a” #}", "{{ “a”\n}}", "{{\n}} “x” }}",
         "{{}}}&lt;}}", "{{ a &lt}}", "{{ “a” }", "x{{", ""});
}

// An earlier rewritten cell does not save the pass. The table marks exactly the
// passes that fall back, for the fuzz targets that check the others never do.
TEST(Passes, FallBackOnInputTheyDoNotHandle) {
  const char* backslash = "backslash in colspan/cellbg expression";
  const std::tuple<PassFunction, std::string, const char*> cases[] = {
      {apply_colspan_tags, cell("", "{% colspan 2 %}") + cell("", "{% colspan a\\b %}"), backslash},
      {apply_cellbg_tags, cell("", "{% cellbg a\\b %}"), backslash},
      {apply_hmerge_tags, cell("", "{% hm %}a") + cell(grid("2") + grid("2٢"), "{% hm %}b"),
       "non-ASCII gridSpan value"},
  };
  std::set<PassFunction> falling;
  for (const auto& [pass, input, reason] : cases) {
    PassResult result = pass(input);
    ASSERT_TRUE(result.is_fallback()) << input;
    EXPECT_STREQ(result.reason(), reason);
    falling.insert(pass);
  }
  for (const PatchPass& pass : PATCH_PASSES)
    EXPECT_EQ(pass.may_fall_back, falling.count(pass.run) == 1) << pass.name;
}

}  // namespace
}  // namespace tesserine
