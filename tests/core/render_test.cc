#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "render/render.h"

namespace tesserine {
namespace {

struct Case {
  const char* name;
  std::string input;
  std::string expected;  // equal to `input` when the step must report Unchanged
};

void expect_cases(PassResult (*step)(std::string_view), const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PassResult result = step(c.input);
    if (c.expected == c.input) {
      EXPECT_TRUE(result.is_unchanged());
    } else {
      ASSERT_TRUE(result.is_rewritten());
      EXPECT_EQ(result.text().view(), c.expected);
    }
  }
}

const std::string PRESERVE = "<w:t xml:space=\"preserve\">";

TEST(RenderPost, StripsParagraphBreaks) {
  expect_cases(strip_paragraph_breaks, {
      {"with attributes", "\n<w:p w:a=\"1\">\n<w:p>", "<w:p w:a=\"1\"><w:p>"},
      {"ends in the prefix", "\n<w:p", "\n<w:p"},
  });
}

TEST(RenderPost, RunsEveryStep) {
  expect_cases(post_render, {
      {"all steps", "\n<w:p><w:r><w:t>{_{a}_}\tb</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>{{a}}</w:t></w:r><w:r><w:tab/></w:r><w:r>" + PRESERVE +
           "b</w:t></w:r></w:p>"},
  });
}

// Underscore sequences: each replacement sees what the one before left, and
// plain underscores, however many, change nothing.
TEST(RenderPost, RestoresDelimiters) {
  const std::string underscores(100, '_');
  expect_cases(post_render, {
      {"created by an earlier replacement", "{_{_%", "{{%"},
      {"overlapping sequences", "{_%_}", "{%}"},
      {"underscore at the start", "_{_{", "_{{"},
      {"near misses", "a_b __ {_ _} %_ _%", "a_b __ {_ _} %_ _%"},
      {"many underscores", underscores + "{ _ }", underscores + "{ _ }"},
      {"sequence after many underscores", underscores + "%_}", underscores + "%}"},
  });
}

std::string tab(const std::string& rpr) {
  return "</w:t></w:r><w:r>" + rpr + "<w:tab/></w:r><w:r>" + rpr + PRESERVE;
}
std::string paragraph_break(const std::string& ppr, const std::string& rpr) {
  return "</w:t></w:r></w:p><w:p>" + ppr + "<w:r>" + rpr + PRESERVE;
}
std::string page_break(const std::string& ppr, const std::string& rpr) {
  return "</w:t></w:r></w:p><w:p><w:r><w:br w:type=\"page\"/></w:r></w:p><w:p>" + ppr + "<w:r>" +
         rpr + PRESERVE;
}
const std::string LINE_BREAK = "</w:t><w:br/>" + PRESERVE;

// Each kind once, with properties that hold no control character and with
// properties whose TAB and BEL no later replacement reaches.
TEST(RenderListing, EveryKindInOneElement) {
  for (const auto& [ppr, rpr] : std::vector<std::pair<std::string, std::string>>{
           {"<w:pPr><w:jc/></w:pPr>", "<w:rPr><w:b/></w:rPr>"},
           {"<w:pPr>\t\a</w:pPr>", "<w:rPr>\t</w:rPr>"},
       }) {
    const std::string head = "<w:p>" + ppr + "<w:r>" + rpr + "<w:t>";
    expect_cases(resolve_listing, {
        {"all four", head + "1\t2\a3\n4\f5</w:t></w:r></w:p>",
         head + "1" + tab(rpr) + "2" + paragraph_break(ppr, rpr) + "3" + LINE_BREAK + "4" +
             page_break(ppr, rpr) + "5</w:t></w:r></w:p>"},
    });
  }
}

// Paragraphs and runs without control characters are passed over, also where a
// closing tag follows text or lies inside a start tag.
TEST(RenderListing, PassesOverElementsWithoutControlCharacters) {
  const std::string first = "<w:p><w:r><w:t>a</w:t></w:r>x</w:p>";
  const std::string second = "<w:p a</w:p><w:r><w:rPr><w:i/></w:rPr><w:t>b";
  const std::string third = "</w:t></w:r></w:p><w:p><w:r><w:rPr>1</w:rPr><w:t>";
  const std::string fourth =
      "</w:t></w:r><w:r><w:rPr>2</w:rPr><w:t>d</w:t>e</w:r><w:r><w:rPr>3</w:rPr><w:t>";
  expect_cases(resolve_listing, {
      {"mixed", first + second + "\tc" + third + "\n" + fourth + "\t</w:t></w:r></w:p>",
       first + second + tab("<w:rPr><w:i/></w:rPr>") + "c" + third + LINE_BREAK + fourth +
           tab("<w:rPr>3</w:rPr>") + "</w:t></w:r></w:p>"},
  });
}

TEST(RenderListing, ScopeOfRewriting) {
  const std::string br = "</w:t><w:br/>" + PRESERVE;
  const std::string italic = "<w:rPr><w:i/></w:rPr>";
  const std::string tab =
      "</w:t></w:r><w:r>" + italic + "<w:tab/></w:r><w:r>" + italic + PRESERVE;
  expect_cases(resolve_listing, {
      {"two characters, untouched neighbour, shared run properties",
       "<w:p><w:r>" + italic + "<w:t>a\tb\tc</w:t><w:t>x</w:t><w:t>d\te</w:t></w:r></w:p>",
       "<w:p><w:r>" + italic + "<w:t>a" + tab + "b" + tab + "c</w:t><w:t>x</w:t><w:t>d" + tab +
           "e</w:t></w:r></w:p>"},
      {"properties looked up per paragraph and per run",
       "<w:p><w:pPr>1</w:pPr><w:r><w:rPr>a</w:rPr><w:t>\a</w:t></w:r><w:r><w:rPr>b</w:rPr><w:t>\a"
       "</w:t></w:r></w:p><w:p><w:pPr>2</w:pPr><w:r><w:t>\a</w:t></w:r></w:p>",
       "<w:p><w:pPr>1</w:pPr><w:r><w:rPr>a</w:rPr><w:t></w:t></w:r></w:p><w:p><w:pPr>1</w:pPr><w:r>"
       "<w:rPr>a</w:rPr>" + PRESERVE + "</w:t></w:r><w:r><w:rPr>b</w:rPr><w:t></w:t></w:r></w:p><w:p>"
       "<w:pPr>1</w:pPr><w:r><w:rPr>b</w:rPr>" + PRESERVE + "</w:t></w:r></w:p><w:p><w:pPr>2</w:pPr>"
       "<w:r><w:t></w:t></w:r></w:p><w:p><w:pPr>2</w:pPr><w:r>" + PRESERVE + "</w:t></w:r></w:p>"},
      {"outside text elements", "\n<w:p w:a=\"\t\"><w:r>\n<w:t>x</w:t>\n</w:r></w:p>\n",
       "\n<w:p w:a=\"\t\"><w:r>\n<w:t>x</w:t>\n</w:r></w:p>\n"},
      {"inside a text start tag", "<w:p><w:r><w:t a=\"\n\">b</w:t></w:r></w:p>",
       "<w:p><w:r><w:t a=\"" + br + "\">b</w:t></w:r></w:p>"},
      {"no complete run", "<w:p><w:r><w:t>a\nb</w:t></w:p>", "<w:p><w:r><w:t>a\nb</w:t></w:p>"},
      {"no complete text element", "<w:p><w:r><w:t>a\nb</w:r></w:p>",
       "<w:p><w:r><w:t>a\nb</w:r></w:p>"},
      {"carriage return", "<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>",
       "<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>"},
      {"look-alike prefixes", "<w:pPr/><w:p><w:rPr/><w:r><w:tab/><w:t>a\nb</w:t></w:r></w:p>",
       "<w:pPr/><w:p><w:rPr/><w:r><w:tab/><w:t>a" + br + "b</w:t></w:r></w:p>"},
      {"self-closing paragraph reaches the next end",
       "<w:p w:a=\"1\"/><w:p><w:pPr><w:b/></w:pPr><w:r><w:t>a\ab</w:t></w:r></w:p>",
       "<w:p w:a=\"1\"/><w:p><w:pPr><w:b/></w:pPr><w:r><w:t>a</w:t></w:r></w:p><w:p><w:pPr><w:b/>"
       "</w:pPr><w:r>" + PRESERVE + "b</w:t></w:r></w:p>"},
      {"nested paragraph ends the outer one",
       "<w:p><w:r><w:p><w:r><w:t>a</w:t></w:r></w:p><w:t>b\nc</w:t></w:r></w:p>",
       "<w:p><w:r><w:p><w:r><w:t>a</w:t></w:r></w:p><w:t>b\nc</w:t></w:r></w:p>"},
      {"attributes end at the first >, runs are searched from the paragraph start",
       "<w:p a<w:r><w:t>a\nb</w:t></w:r></w:p>", "<w:p a<w:r><w:t>a" + br + "b</w:t></w:r></w:p>"},
      {"unclosed paragraph tag at the end", "<w:p><w:r><w:t>\n</w:t></w:r></w:p><w:p \n",
       "<w:p><w:r><w:t>" + br + "</w:t></w:r></w:p><w:p \n"},
  });
}

TEST(RenderListing, PropertiesAreRepeatedAsTheyAre) {
  // A TAB inside inserted run properties stays; a BEL there is split by the later
  // paragraph replacement, whose own copy of the properties is not searched again.
  const std::string split = "</w:t></w:r></w:p><w:p><w:r><w:rPr>\a</w:rPr>" + PRESERVE;
  expect_cases(resolve_listing, {
      {"tab kept inside run properties", "<w:p><w:r><w:rPr>\t</w:rPr><w:t>a\tb</w:t></w:r></w:p>",
       "<w:p><w:r><w:rPr>\t</w:rPr><w:t>a</w:t></w:r><w:r><w:rPr>\t</w:rPr><w:tab/></w:r><w:r>"
       "<w:rPr>\t</w:rPr>" + PRESERVE + "b</w:t></w:r></w:p>"},
      {"BEL in run properties inserted by the tab markup is resolved",
       "<w:p><w:r><w:rPr>\a</w:rPr><w:t>\t</w:t></w:r></w:p>",
       "<w:p><w:r><w:rPr>\a</w:rPr><w:t></w:t></w:r><w:r><w:rPr>" + split + "</w:rPr><w:tab/>"
       "</w:r><w:r><w:rPr>" + split + "</w:rPr>" + PRESERVE + "</w:t></w:r></w:p>"},
  });
}

TEST(RenderListing, FindProperties) {
  struct Lookup {
    std::string region;
    std::string expected;
  };
  const std::vector<Lookup> lookups = {
      {"<w:r><w:rPr><w:b/></w:rPr><w:rPr><w:i/></w:rPr>", "<w:rPr><w:b/></w:rPr>"},
      {"<w:rPr>\n</w:rPr><w:rPr><w:i/></w:rPr>", "<w:rPr><w:i/></w:rPr>"},
      {"<w:rPr>\f</w:rPr><w:rPr><w:i/></w:rPr>", "<w:rPr><w:i/></w:rPr>"},
      {"<w:rPr>\f</w:rPr>", ""},
      // The closing tag found is the first one after the opening tag.
      {"<w:rPr>\t\a</w:rPr>x</w:rPr>", "<w:rPr>\t\a</w:rPr>"},
      // A retry starts one byte after the rejected opening tag, so a nested opening
      // tag before the shared closing tag is found next.
      {"<w:rPr>\n<w:rPr>a</w:rPr>", "<w:rPr>a</w:rPr>"},
      {"<w:rPr>a", ""},
      {"</w:rPr><w:rPr/>", ""},
  };
  for (const Lookup& l : lookups) {
    SCOPED_TRACE(l.region);
    EXPECT_EQ(find_properties(l.region, "<w:rPr>", "</w:rPr>"), l.expected);
  }
}

// Paragraph properties broken by FF are not repeated: repeating them into every
// paragraph break would feed the page-break replacement once per copy.
TEST(RenderListing, PropertiesWithFormFeedArePassedOver) {
  const std::string ff(80, '\f');
  const std::string bel(80, '\a');
  const std::string input =
      "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>" + bel + ff + "</w:t></w:r></w:p>";
  PassResult result = resolve_listing(input);
  ASSERT_TRUE(result.is_rewritten());
  ASSERT_LT(result.text().size(), 20'000u);

  std::string expected = "<w:p><w:pPr>" + ff + "</w:pPr><w:r><w:t>";
  for (int i = 0; i < 80; ++i) expected += "</w:t></w:r></w:p><w:p><w:r>" + PRESERVE;
  for (int i = 0; i < 80; ++i)
    expected +=
        "</w:t></w:r></w:p><w:p><w:r><w:br w:type=\"page\"/></w:r></w:p><w:p><w:r>" + PRESERVE;
  expected += "</w:t></w:r></w:p>";
  EXPECT_EQ(result.text().view(), expected);
}

// Hostile shapes that a literal lookup or eager markup would make quadratic;
// at these sizes a regression shows as a test that takes minutes.
TEST(RenderListing, LargeHostileInputsKeepTheirResults) {
  std::string region;
  for (int i = 0; i < 200000; ++i) region += "<w:pPr>\n";
  region += "<w:pPr>ok</w:pPr>";
  EXPECT_EQ(find_properties(region, "<w:pPr>", "</w:pPr>"), "<w:pPr>ok</w:pPr>");
  const std::string broken = region.substr(0, region.size() - 10) + "\f" + "ok</w:pPr>";
  EXPECT_EQ(find_properties(broken, "<w:pPr>", "</w:pPr>"), "");

  const std::string ppr = "<w:pPr>" + std::string(20000, 'x') + "</w:pPr>";
  std::string paragraph = "<w:p>" + ppr;
  for (int i = 0; i < 2000; ++i) paragraph += "<w:r><w:t>a\nb</w:t></w:r>";
  paragraph += "</w:p>";
  PassResult r = resolve_listing(paragraph);
  ASSERT_TRUE(r.is_rewritten());
  const std::string line = "</w:t><w:br/><w:t xml:space=\"preserve\">";
  EXPECT_EQ(r.text().size(), paragraph.size() + 2000 * (line.size() - 1));
}

TEST(RenderListing, ReplaceAll) {
  expect_cases([](std::string_view t) { return replace_all(t, "aa", "b"); }, {
      {"no overlap", "aaaaa", "bba"},
      {"replacement not searched again", "xaax", "xbx"},
      {"absent", "xyz", "xyz"},
  });
  PassResult grown = replace_all("a-a", "a", "aa");
  ASSERT_TRUE(grown.is_rewritten());
  EXPECT_EQ(grown.text().view(), "aa-aa");
}

// post_render undoes pre_render for texts without delimiter sequences and without
// listing control characters inside text elements.
TEST(RenderRoundTrip, PostRenderUndoesPreRender) {
  std::vector<std::string> texts = {
      "<?xml version=\"1.0\"?>\n<w:document><w:body><w:p w:rsidR=\"1\"><w:pPr/><w:r><w:t>a b"
      "</w:t></w:r></w:p><w:p/><w:p /><w:p><w:r><w:tab/></w:r></w:p></w:body></w:document>",
      "a\n<w:p>b\n\n<w:p>",
  };
  // Generated texts from fragments that stress the boundaries of the two steps.
  const std::vector<std::string> fragments = {
      "<w:p>", "<w:p ", "<w:p/>", "<w:pPr>", "\n", "<w:r>", "<w:t>", "x", "</w:t>", "</w:r>",
      "</w:p>", ">", "{", "_", "%", "}", "\t", "<w:p",
  };
  uint32_t state = 12345;
  for (int i = 0; i < 2000; ++i) {
    std::string text;
    int length = static_cast<int>(state % 12);
    for (int j = 0; j < length; ++j) {
      state = state * 1664525u + 1013904223u;
      text += fragments[(state >> 16) % fragments.size()];
    }
    state = state * 1664525u + 1013904223u;
    bool has_sequence = false;
    for (std::string_view seq : {"{_{", "}_}", "{_%", "%_}"})
      has_sequence |= text.find(seq) != std::string::npos;
    if (has_sequence || !resolve_listing(text).is_unchanged()) continue;
    texts.push_back(text);
  }
  ASSERT_GT(texts.size(), 500u);
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    PassResult pre = pre_render(text);
    PassResult post = post_render(pre.is_rewritten() ? pre.text().view() : text);
    if (pre.is_rewritten()) {
      ASSERT_TRUE(post.is_rewritten());
      EXPECT_EQ(post.text().view(), text);
    } else {
      EXPECT_TRUE(post.is_unchanged());
    }
  }
}

}  // namespace
}  // namespace tesserine
