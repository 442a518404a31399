// The render steps: pre_render, post_render and its parts, listing resolution.
#include "render/render.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

namespace tesserine {
namespace {

using Step = PassResult (*)(std::string_view);

struct Row {
  Step step;
  std::string input;
  std::string expected;  // equal to `input` when the step must report Unchanged
};

void check(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    const std::optional<std::string> want =
        row.expected == row.input ? std::nullopt : std::optional(row.expected);
    EXPECT_EQ(test::outcome(row.step(row.input)), want) << row.input;
  }
}

const std::string KEPT = "<w:t xml:space=\"preserve\">";
const std::string LINE = "</w:t><w:br/>" + KEPT;

std::string tab(const std::string& rpr) {
  return "</w:t></w:r><w:r>" + rpr + "<w:tab/></w:r><w:r>" + rpr + KEPT;
}
std::string paragraph(const std::string& ppr, const std::string& rpr) {
  return "</w:t></w:r></w:p><w:p>" + ppr + "<w:r>" + rpr + KEPT;
}
std::string page(const std::string& ppr, const std::string& rpr) {
  return "</w:t></w:r></w:p><w:p><w:r><w:br w:type=\"page\"/></w:r></w:p><w:p>" + ppr + "<w:r>" +
         rpr + KEPT;
}

// Each replacement of the underscore sequences sees what the one before left;
// plain underscores change nothing.
TEST(Render, PostRenderSteps) {
  const std::string underscores(100, '_');
  check({
      {pre_render, "<w:p w:a=\"1\"><w:p/><w:p >\n<w:p><w:pPr>",
       "\n<w:p w:a=\"1\"><w:p/>\n<w:p >\n\n<w:p><w:pPr>"},
      {pre_render, "<w:pict/><w:proofErr/><w:pPr><w:p", "<w:pict/><w:proofErr/><w:pPr><w:p"},
      {strip_paragraph_breaks, "\n<w:p w:a=\"1\">\n\n<w:p>", "<w:p w:a=\"1\">\n<w:p>"},
      {strip_paragraph_breaks, "\n<w:pPr>\n<w:p", "\n<w:pPr>\n<w:p"},
      {post_render, "\n<w:p><w:r><w:t>{_{a}_}\tb</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>{{a}}</w:t></w:r><w:r><w:tab/></w:r><w:r>" + KEPT + "b</w:t></w:r></w:p>"},
      {post_render, "{_{_%", "{{%"},
      {post_render, "{_%_}", "{%}"},
      {post_render, "_{_{", "_{{"},
      {post_render, "a_b __ {_ _} %_ _%" + underscores, "a_b __ {_ _} %_ _%" + underscores},
      {post_render, underscores + "%_}", underscores + "%}"},
  });
}

TEST(Render, ListingResolution) {
  const std::string italic = "<w:rPr><w:i/></w:rPr>", split = paragraph("", "<w:rPr>\a</w:rPr>");
  std::vector<Row> rows = {
      {resolve_listing,
       "<w:p><w:r>" + italic + "<w:t>a\tb\tc</w:t><w:t>x</w:t><w:t>d\te</w:t></w:r></w:p>",
       "<w:p><w:r>" + italic + "<w:t>a" + tab(italic) + "b" + tab(italic) +
           "c</w:t><w:t>x</w:t><w:t>d" + tab(italic) + "e</w:t></w:r></w:p>"},
      // Properties are looked up per paragraph and per run.
      {resolve_listing,
       "<w:p><w:pPr>1</w:pPr><w:r><w:rPr>a</w:rPr><w:t>\a</w:t></w:r><w:r><w:rPr>b</w:rPr><w:t>\a"
       "</w:t></w:r></w:p><w:p><w:pPr>2</w:pPr><w:r><w:t>\a</w:t></w:r></w:p>",
       "<w:p><w:pPr>1</w:pPr><w:r><w:rPr>a</w:rPr><w:t></w:t></w:r></w:p><w:p><w:pPr>1</w:pPr><w:r>"
       "<w:rPr>a</w:rPr>" + KEPT + "</w:t></w:r><w:r><w:rPr>b</w:rPr><w:t></w:t></w:r></w:p><w:p>"
       "<w:pPr>1</w:pPr><w:r><w:rPr>b</w:rPr>" + KEPT + "</w:t></w:r></w:p><w:p><w:pPr>2</w:pPr>"
       "<w:r><w:t></w:t></w:r></w:p><w:p><w:pPr>2</w:pPr><w:r>" + KEPT + "</w:t></w:r></w:p>"},
      // Paragraphs and runs without control characters are passed over, also where
      // a closing tag follows text or lies inside a start tag.
      {resolve_listing,
       "<w:p><w:r><w:t>a</w:t></w:r>x</w:p><w:p a</w:p><w:r>" + italic +
           "<w:t>b\tc</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>a</w:t></w:r>x</w:p><w:p a</w:p><w:r>" + italic + "<w:t>b" + tab(italic) +
           "c</w:t></w:r></w:p>"},
      {resolve_listing, "<w:p><w:r><w:t a=\"\n\">b</w:t></w:r></w:p>",
       "<w:p><w:r><w:t a=\"" + LINE + "\">b</w:t></w:r></w:p>"},
      {resolve_listing, "<w:pPr/><w:p><w:rPr/><w:r><w:tab/><w:t>a\nb</w:t></w:r></w:p>",
       "<w:pPr/><w:p><w:rPr/><w:r><w:tab/><w:t>a" + LINE + "b</w:t></w:r></w:p>"},
      {resolve_listing,
       "<w:p w:a=\"1\"/><w:p><w:pPr><w:b/></w:pPr><w:r><w:t>a\ab</w:t></w:r></w:p>",
       "<w:p w:a=\"1\"/><w:p><w:pPr><w:b/></w:pPr><w:r><w:t>a</w:t></w:r></w:p><w:p><w:pPr><w:b/>"
       "</w:pPr><w:r>" + KEPT + "b</w:t></w:r></w:p>"},
      // Attributes end at the first ">"; runs are searched from the paragraph start.
      {resolve_listing, "<w:p a<w:r><w:t>a\nb</w:t></w:r></w:p>",
       "<w:p a<w:r><w:t>a" + LINE + "b</w:t></w:r></w:p>"},
      {resolve_listing, "<w:p><w:r><w:t>\n</w:t></w:r></w:p><w:p \n",
       "<w:p><w:r><w:t>" + LINE + "</w:t></w:r></w:p><w:p \n"},
      // Properties are repeated as they are: a TAB inside stays, and a BEL there is
      // split by the later paragraph replacement, whose own copy is not searched again.
      {resolve_listing, "<w:p><w:r><w:rPr>\a</w:rPr><w:t>\t</w:t></w:r></w:p>",
       "<w:p><w:r><w:rPr>\a</w:rPr><w:t></w:t></w:r><w:r><w:rPr>" + split +
           "</w:rPr><w:tab/></w:r><w:r><w:rPr>" + split + "</w:rPr>" + KEPT + "</w:t></w:r></w:p>"},
      // Left alone: control characters outside text elements, carriage returns,
      // incomplete runs and text elements, and a paragraph nested in a run.
      {resolve_listing, "\n<w:p w:a=\"\t\"><w:r>\n<w:t>x</w:t>\n</w:r></w:p>\n",
       "\n<w:p w:a=\"\t\"><w:r>\n<w:t>x</w:t>\n</w:r></w:p>\n"},
      {resolve_listing, "<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>"},
      {resolve_listing, "<w:p><w:r><w:t>a\nb</w:t></w:p>", "<w:p><w:r><w:t>a\nb</w:t></w:p>"},
      {resolve_listing, "<w:p><w:r><w:t>a\nb</w:r></w:p>", "<w:p><w:r><w:t>a\nb</w:r></w:p>"},
      {resolve_listing, "<w:p><w:r><w:p><w:r><w:t>a</w:t></w:r></w:p><w:t>b\nc</w:t></w:r></w:p>",
       "<w:p><w:r><w:p><w:r><w:t>a</w:t></w:r></w:p><w:t>b\nc</w:t></w:r></w:p>"},
  };
  // Every kind once, with properties free of control characters and with
  // properties whose TAB and BEL no later replacement reaches.
  for (const auto& [ppr, rpr] : std::vector<std::pair<std::string, std::string>>{
           {"<w:pPr><w:jc/></w:pPr>", "<w:rPr><w:b/></w:rPr>"},
           {"<w:pPr>\t\a</w:pPr>", "<w:rPr>\t</w:rPr>"}}) {
    const std::string head = "<w:p>" + ppr + "<w:r>" + rpr + "<w:t>";
    rows.push_back({resolve_listing, head + "1\t2\a3\n4\f5</w:t></w:r></w:p>",
                    head + "1" + tab(rpr) + "2" + paragraph(ppr, rpr) + "3" + LINE + "4" +
                        page(ppr, rpr) + "5</w:t></w:r></w:p>"});
  }
  // Paragraph properties broken by FF are not repeated: each copy would feed the
  // page-break replacement once more.
  const std::string ff(80, '\f'), bel(80, '\a');
  rows.push_back({resolve_listing,
                  "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>" + bel + ff + "</w:t></w:r></w:p>",
                  "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>" + test::repeat(paragraph("", ""), 80) +
                      test::repeat(page("", ""), 80) + "</w:t></w:r></w:p>"});
  check(rows);
}

TEST(Render, FindPropertiesAndReplaceAll) {
  const std::pair<std::string, std::string> lookups[] = {
      {"<w:r><w:rPr><w:b/></w:rPr><w:rPr><w:i/></w:rPr>", "<w:rPr><w:b/></w:rPr>"},
      {"<w:rPr>\n</w:rPr><w:rPr><w:i/></w:rPr>", "<w:rPr><w:i/></w:rPr>"},
      {"<w:rPr>\f</w:rPr>", ""},
      {"<w:rPr>\t\a</w:rPr>x</w:rPr>", "<w:rPr>\t\a</w:rPr>"},  // the first closing tag after it
      // A retry starts one byte after the rejected opening tag.
      {"<w:rPr>\n<w:rPr>a</w:rPr>", "<w:rPr>a</w:rPr>"},
      {"<w:rPr>a", ""},
      {"</w:rPr><w:rPr/>", ""},
  };
  for (const auto& [region, expected] : lookups)
    EXPECT_EQ(find_properties(region, "<w:rPr>", "</w:rPr>"), expected) << region;
  check({
      {[](std::string_view t) { return replace_all(t, "aa", "b"); }, "aaaaa", "bba"},
      {[](std::string_view t) { return replace_all(t, "aa", "b"); }, "xyz", "xyz"},
      {[](std::string_view t) { return replace_all(t, "a", "aa"); }, "a-a", "aa-aa"},
  });
}

// Shapes that a literal lookup or eager markup would make quadratic.
TEST(Render, HostileShapesKeepTheirResults) {
  const std::string region = test::repeat("<w:pPr>\n", 200000) + "<w:pPr>ok</w:pPr>";
  EXPECT_EQ(find_properties(region, "<w:pPr>", "</w:pPr>"), "<w:pPr>ok</w:pPr>");
  const std::string broken = region.substr(0, region.size() - 10) + "\fok</w:pPr>";
  EXPECT_EQ(find_properties(broken, "<w:pPr>", "</w:pPr>"), "");
  const std::string text = "<w:p><w:pPr>" + std::string(20000, 'x') + "</w:pPr>" +
                           test::repeat("<w:r><w:t>a\nb</w:t></w:r>", 2000) + "</w:p>";
  PassResult r = resolve_listing(text);
  ASSERT_TRUE(r.is_rewritten());
  EXPECT_EQ(r.text().size(), text.size() + 2000 * (LINE.size() - 1));
}

}  // namespace
}  // namespace tesserine
