// The render steps: pre_render, post_render and its parts, listing resolution.
#include "render/render.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "render/code_units.h"
#include "test_util.h"

namespace tesserine {
namespace {

using Step = PassResult (*)(std::string_view);

struct Row {
  Step step;
  std::string input;
  std::string expected;  // equal to `input` when the step must report Unchanged
};

Row same(Step step, const std::string& text) { return {step, text, text}; }

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
      same(pre_render, "<w:pict/><w:proofErr/><w:pPr><w:p"),
      {strip_paragraph_breaks, "\n<w:p w:a=\"1\">\n\n<w:p>", "<w:p w:a=\"1\">\n<w:p>"},
      same(strip_paragraph_breaks, "\n<w:pPr>\n<w:p"),
      {post_render, "\n<w:p><w:r><w:t>{_{a}_}\tb</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>{{a}}</w:t></w:r><w:r><w:tab/></w:r><w:r>" + KEPT + "b</w:t></w:r></w:p>"},
      {post_render, "{_%_}", "{%}"},
      {post_render, "_{_{", "_{{"},  // a sequence that ends the text
      same(post_render, "a_b __ {_ _} %_ _%" + underscores),
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
       "<w:rPr>a</w:rPr>" +
           KEPT +
           "</w:t></w:r><w:r><w:rPr>b</w:rPr><w:t></w:t></w:r></w:p><w:p>"
           "<w:pPr>1</w:pPr><w:r><w:rPr>b</w:rPr>" +
           KEPT +
           "</w:t></w:r></w:p><w:p><w:pPr>2</w:pPr>"
           "<w:r><w:t></w:t></w:r></w:p><w:p><w:pPr>2</w:pPr><w:r>" +
           KEPT + "</w:t></w:r></w:p>"},
      // Properties are repeated as they are: a TAB inside stays, and a BEL there is
      // split by the later paragraph replacement, whose own copy is not searched again.
      {resolve_listing, "<w:p><w:r><w:rPr>\a</w:rPr><w:t>\t</w:t></w:r></w:p>",
       "<w:p><w:r><w:rPr>\a</w:rPr><w:t></w:t></w:r><w:r><w:rPr>" + split +
           "</w:rPr><w:tab/></w:r><w:r><w:rPr>" + split + "</w:rPr>" + KEPT + "</w:t></w:r></w:p>"},
      // Left alone: control characters outside text elements, carriage returns, a
      // text element without its end tag, and a paragraph nested in a run.
      same(resolve_listing, "\n<w:p w:a=\"\t\"><w:r>\n<w:t>x</w:t>\n</w:r></w:p>\n"),
      same(resolve_listing, "<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>"),
      same(resolve_listing, "<w:p><w:r><w:t>a\nb</w:r></w:p>"),
      same(resolve_listing,
           "<w:p><w:r><w:p><w:r><w:t>a</w:t></w:r></w:p><w:t>b\nc</w:t></w:r></w:p>"),
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
  std::string breaks;
  for (int i = 0; i < 160; ++i) breaks += i < 80 ? paragraph("", "") : page("", "");
  rows.push_back({resolve_listing,
                  "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>" + bel + ff + "</w:t></w:r></w:p>",
                  "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>" + breaks + "</w:t></w:r></w:p>"});
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
      {"</w:rPr><w:rPr/><w:rPr>a", ""},
  };
  for (const auto& [region, expected] : lookups)
    EXPECT_EQ(find_properties(region, "<w:rPr>", "</w:rPr>"), expected) << region;
  check({
      {[](std::string_view t) { return replace_all(t, "aa", "b"); }, "aaaaa", "bba"},
      same([](std::string_view t) { return replace_all(t, "aa", "b"); }, "xyz"),
      {[](std::string_view t) { return replace_all(t, "a", "aa"); }, "a-a", "aa-aa"},
  });
}

// The code-unit route gives the UTF-8 route's text, asks once for room (of the
// final size when post_render counts first), and says where it cannot be taken.
TEST(Render, CodeUnitRoute) {
  using Kind = UnitsResult::Kind;
  struct Case {
    bool insert;
    std::u16string text;
    Kind kind;
    std::u16string want = {};  // the text written, for Rewritten
    size_t room = 0;           // the room asked for, for Rewritten
  };
  const Case cases[] = {
      {true, u"<w:p>\u201c<w:p a>", Kind::Rewritten, u"\n<w:p>\u201c\n<w:p a>", 15},
      {true, u"<w:pPr>\u201c", Kind::Unchanged},
      {true, u"<w:p>\xd800", Kind::NeedsUtf8},  // no UTF-8 form
      {false, u"\n<w:p>\u201c\n<w:p a>", Kind::Rewritten, u"<w:p>\u201c<w:p a>", 15},
      {false, u"<w:p>x\n<w:p>", Kind::Rewritten, u"<w:p>x<w:p>", 11},  // counted first
      {false, u"<w:p>x", Kind::Unchanged},
      {false, u"\n<w:p>\t", Kind::NeedsUtf8},   // a listing control
      {false, u"\n<w:p>{_{", Kind::NeedsUtf8},  // a delimiter to restore
  };
  auto no_room = [](size_t) -> uint16_t* { return nullptr; };
  for (const Case& c : cases) {
    std::u16string room;
    size_t asked = 0;
    auto allocate = [&](size_t units) {
      ++asked;
      room.assign(units, u'#');
      return reinterpret_cast<uint16_t*>(room.data());
    };
    const std::span text(reinterpret_cast<const uint16_t*>(c.text.data()), c.text.size());
    auto run = [&](AllocateUnits<uint16_t> with) {
      return c.insert ? pre_render_units(text, with) : post_render_units(text, with);
    };
    const UnitsResult got = run(allocate);
    EXPECT_EQ(std::tuple(got.kind, got.kind == Kind::Rewritten ? room.size() : 0),
              std::tuple(c.kind, c.room))
        << c.insert << " " << c.text.size();
    EXPECT_LE(asked, 1u);
    if (c.kind != Kind::Rewritten) continue;
    EXPECT_EQ(room.substr(0, got.length), c.want);
    EXPECT_EQ(run(no_room).kind, Kind::NoRoom);
  }
}

}  // namespace
}  // namespace tesserine
