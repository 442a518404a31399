#include "patch/pipeline.h"

#include <gtest/gtest.h>

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
