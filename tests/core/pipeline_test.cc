#include "patch/pipeline.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "patch/passes.h"
#include "scan/rewriter.h"

namespace tesserine {
namespace {

// Records what each test pass saw, to check that every pass gets the text the
// previous one left.
std::vector<std::string> seen;

PassResult append_a(std::string_view text) {
  seen.emplace_back(text);
  Rewriter rw(text);
  rw.copy_until(text.size(), text.size());
  rw.push_str("a");
  return rw.finish();
}
PassResult leave(std::string_view text) {
  seen.emplace_back(text);
  return PassResult::unchanged();
}
PassResult give_up(std::string_view text) {
  seen.emplace_back(text);
  return PassResult::fallback("test reason");
}

TEST(Pipeline, EachPassSeesThePreviousOutput) {
  seen.clear();
  const PatchPass passes[] = {{"a", append_a}, {"leave", leave}, {"a", append_a}, {"leave", leave}};
  PassResult r = run_patch_pipeline("x", passes);
  ASSERT_TRUE(r.is_rewritten());
  EXPECT_EQ(r.text().view(), "xaa");
  EXPECT_EQ(seen, (std::vector<std::string>{"x", "xa", "xa", "xaa"}));
}

TEST(Pipeline, FallbackAfterRewritesAbandonsEverything) {
  seen.clear();
  const PatchPass passes[] = {{"a", append_a}, {"give_up", give_up}, {"a", append_a}};
  PassResult r = run_patch_pipeline("x", passes);
  ASSERT_TRUE(r.is_fallback());
  EXPECT_STREQ(r.reason(), "test reason");
  EXPECT_EQ(seen.size(), 2u);  // the pass after the fallback never ran
}

TEST(Pipeline, UnchangedTextComesBackAsAnOwnedCopy) {
  seen.clear();
  const std::string src = "<w:t>plain</w:t>";
  const PatchPass passes[] = {{"leave", leave}};
  PassResult r = run_patch_pipeline(src, passes);
  ASSERT_TRUE(r.is_rewritten());
  EXPECT_EQ(r.text().view(), src);
  EXPECT_NE(r.text().data(), src.data());

  PassResult empty = run_patch_pipeline("", passes);
  ASSERT_TRUE(empty.is_rewritten());
  EXPECT_TRUE(empty.text().empty());
  EXPECT_EQ(empty.text().capacity(), 0u);  // no allocation for an empty text
}

PassResult append_comment(std::string_view text) {
  seen.emplace_back(text);
  Rewriter rw(text);
  rw.copy_until(text.size(), text.size());
  rw.push_str("{#");
  return rw.finish();
}

TEST(Pipeline, PassesRunOnlyOnTextsWithWhatTheyNeed) {
  const PatchPass passes[] = {{"brace", leave, "{"},
                              {"comment", leave, "{#"},
                              {"append", append_comment},
                              {"comment again", leave, "{#"},
                              {"statement", leave, "{%"}};
  seen.clear();
  ASSERT_TRUE(run_patch_pipeline("<w:t>plain</w:t>", passes).is_rewritten());
  // Only the pass that needs nothing ran on the text without "{"; after it
  // wrote "{#", the next pass that needs it saw the new text.
  EXPECT_EQ(seen, (std::vector<std::string>{"<w:t>plain</w:t>", "<w:t>plain</w:t>{#"}));
  seen.clear();
  ASSERT_TRUE(run_patch_pipeline("{% x %}", passes).is_rewritten());
  EXPECT_EQ(seen, (std::vector<std::string>{"{% x %}", "{% x %}", "{% x %}{#", "{% x %}{#"}));
}

// What a pass needs must lie in every tag it acts on: on texts without it, the
// pass itself reports Unchanged, so skipping it changes nothing.
TEST(Pipeline, PassesLeaveTextsWithoutWhatTheyNeedUnchanged) {
  const std::string_view pieces[] = {
      "{", "{{", "{%", "{#", "}}", "%}", "#}", "{%-", "-%}", "%", "#", " ", "\t", "\u3000",
      "colspan ", "cellbg ", "vm", "hm", "tr ", "tc ", "p ", "r ", "x", "\\", "&lt;", "\u201c",
      "<w:tc>", "</w:tc>", "<w:tcPr>", "</w:tcPr>", "<w:tr>", "</w:tr>", "<w:p>", "</w:p>",
      "<w:r>", "</w:r>", "<w:t>", "</w:t>", "<w:t></w:t>", "<w:gridSpan w:val=\"\u0662\"/>"};
  std::mt19937 rng(31);
  for (const PatchPass& pass : PATCH_PASSES) {
    if (pass.needs.empty()) continue;
    for (int round = 0; round < 3000; ++round) {
      std::string text;
      for (size_t i = rng() % 24; i > 0; --i) {
        const std::string_view piece = pieces[rng() % std::size(pieces)];
        if ((text + std::string(piece)).find(pass.needs) == std::string::npos) text += piece;
      }
      ASSERT_TRUE(pass.run(text).is_unchanged()) << pass.name << ": " << text;
    }
  }
}

TEST(Pipeline, TableHoldsEighteenPassesInOrder) {
  ASSERT_EQ(PATCH_PASSES.size(), 18u);
  EXPECT_EQ(PATCH_PASSES[0].run, &join_split_delimiters);
  EXPECT_EQ(PATCH_PASSES[4].run, &preserve_tag_text_space);
  EXPECT_EQ(PATCH_PASSES[8].run, &replace_row_tags);
  EXPECT_EQ(PATCH_PASSES[14].run, &replace_paragraph_comments);
  EXPECT_EQ(PATCH_PASSES[17].run, &clean_tag_bodies);
  // Text with nothing for any pass passes through unchanged.
  PassResult r = run_patch_pipeline("<w:p><w:r><w:t>Hello</w:t></w:r></w:p>");
  ASSERT_TRUE(r.is_rewritten());
  EXPECT_EQ(r.text().view(), "<w:p><w:r><w:t>Hello</w:t></w:r></w:p>");
}

}  // namespace
}  // namespace tesserine
