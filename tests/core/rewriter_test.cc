#include "scan/rewriter.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "fault.h"

namespace tesserine {
namespace {

std::string text_of(PassResult r) { return std::string(r.text().view()); }

TEST(Rewriter, FreshRewriterIsUnchangedAndAllocatesNothing) {
  Rewriter rw("abc");
  EXPECT_FALSE(rw.writing());
  EXPECT_EQ(rw.output().capacity(), 0u);
  EXPECT_TRUE(rw.finish().is_unchanged());
}

TEST(Rewriter, EditsByCopyUntilAndPush) {
  struct Case {
    size_t end, resume;
    const char* push;
    const char* expected;
  };
  for (const Case& c : {Case{0, 0, "", "abc"}, Case{1, 2, "X", "aXc"}, Case{1, 1, "X", "aXbc"},
                        Case{1, 3, "", "a"}, Case{3, 3, "!", "abc!"}}) {
    Rewriter rw("abc");
    rw.copy_until(c.end, c.resume);
    rw.push_str(c.push);
    PassResult r = rw.finish();
    ASSERT_TRUE(r.is_rewritten());
    EXPECT_EQ(text_of(std::move(r)), c.expected) << c.end << "," << c.resume;
  }
}

TEST(Rewriter, SequentialEditsKeepUntouchedStretches) {
  Rewriter rw("one two three");
  rw.copy_until(4, 7);
  rw.push_str("2");
  rw.copy_until(8, 13);
  rw.push_str("3");
  EXPECT_EQ(text_of(rw.finish()), "one 2 3");
}

TEST(Rewriter, CapacityFollowsTheMarginRule) {
  Rewriter empty("");
  empty.copy_until(0, 0);
  EXPECT_EQ(empty.output().capacity(), 64u);

  std::string src(1600, 'x');
  Rewriter rw(src);
  rw.copy_until(0, 0);
  EXPECT_EQ(rw.output().capacity(), 1600u + 100u + 64u);
  rw.push_str(std::string(164, 'y'));
  rw.copy_until(1600, 1600);  // the source plus 164 inserted bytes fill it exactly
  EXPECT_EQ(rw.output().capacity(), 1764u);
  rw.push_str("z");  // one byte more doubles it
  EXPECT_EQ(rw.output().capacity(), 2 * 1764u);
}

TEST(Rewriter, OffsetViolationsAreFaults) {
  const std::string src = "a\xC3\xA9z";  // "aéz": offset 2 is inside "é"
  {
    Rewriter rw(src);
    EXPECT_THROW(rw.copy_until(2, 2), Fault);
  }
  {
    Rewriter rw(src);
    rw.copy_until(3, 3);
    EXPECT_THROW(rw.copy_until(1, 1), Fault);  // before `copied`
  }
  {
    Rewriter rw(src);
    EXPECT_THROW(rw.copy_until(5, 5), Fault);  // past the end
  }
  {
    Rewriter rw(src);
    rw.copy_until(1, 2);  // resume inside a character is caught by finish
    EXPECT_THROW(rw.finish(), Fault);
  }
  {
    Rewriter rw(src);
    rw.copy_until(0, 9);
    EXPECT_THROW(rw.finish(), Fault);
  }
}

TEST(Buffer, GrowthRuleAndOverflow) {
  Buffer b;
  b.push_back('a');
  EXPECT_EQ(b.capacity(), 8u);
  b.append(std::string(9, 'b'));
  EXPECT_EQ(b.capacity(), 16u);
  b.append(std::string(100, 'c'));
  EXPECT_EQ(b.capacity(), 110u);
  EXPECT_EQ(b.size(), 110u);
  EXPECT_THROW(checked_add(SIZE_MAX, 1), Fault);
  Buffer moved = std::move(b);
  EXPECT_EQ(moved.size(), 110u);
  EXPECT_EQ(b.size(), 0u);
}

TEST(Buffer, MappedBlocksAreWholeHugePagesAndGrowPastTheThreshold) {
  Buffer b(MAPPED_BLOCK - 1);
  EXPECT_EQ(b.capacity(), MAPPED_BLOCK - 1);
  b.append(std::string(MAPPED_BLOCK - 1, 'a'));
  b.push_back('b');  // doubles into a mapped block
  EXPECT_EQ(b.capacity(), 2 * MAPPED_BLOCK);
  EXPECT_EQ(b.size(), MAPPED_BLOCK);
  EXPECT_EQ(b.view().substr(MAPPED_BLOCK - 2), "ab");
  Buffer odd(3 * MAPPED_BLOCK + 1);
  EXPECT_EQ(odd.capacity(), 4 * MAPPED_BLOCK);
}

TEST(Buffer, PoolReusesLargeBlocksOfSimilarSizeOnly) {
  release_kept_blocks();
  for (const size_t big : {4 * POOLED_BLOCK, 8 * MAPPED_BLOCK}) {
    const char* reused = nullptr;
    {
      ScratchScope scope;
      {
        Buffer block(big);
        block.append("x");
        reused = block.data();
      }
      Buffer small(big / 4);  // far smaller: must not take the kept block
      EXPECT_NE(small.data(), reused);
      Buffer similar(big - big / 4);
      EXPECT_EQ(similar.data(), reused);
      EXPECT_EQ(similar.capacity(), big);
      EXPECT_TRUE(similar.empty());
    }
    // Kept across scopes while within the bound.
    Buffer again(big);
    EXPECT_EQ(again.data(), reused);
  }
}

TEST(Buffer, PoolServesEveryThread) {
  release_kept_blocks();
  const char* released = nullptr;
  std::thread([&] {
    Buffer block(4 * MAPPED_BLOCK);
    released = block.data();
  }).join();
  Buffer here(4 * MAPPED_BLOCK);  // the block of a thread that has ended
  EXPECT_EQ(here.data(), released);
  EXPECT_EQ(kept_block_bytes(), 0u);
}

TEST(Buffer, PoolKeepsABoundedAmountOutsideAScope) {
  release_kept_blocks();
  const size_t huge = BLOCK_POOL_KEPT_BYTES + 2 * MAPPED_BLOCK;
  {
    ScratchScope scope;
    { Buffer block(huge); }
    EXPECT_GE(kept_block_bytes(), huge);  // within a scope, even a block past the bound
  }
  EXPECT_LE(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
  { Buffer block(huge); }
  EXPECT_LE(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
  { Buffer block(4 * MAPPED_BLOCK); }
  EXPECT_EQ(kept_block_bytes(), 4 * MAPPED_BLOCK);
  release_kept_blocks();
  EXPECT_EQ(kept_block_bytes(), 0u);
}

TEST(Buffer, ThePoolOfEndedThreadsServesAForkedChild) {
  release_kept_blocks();
  std::thread([] { Buffer block(4 * MAPPED_BLOCK); }).join();  // now in the shared store
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);                       // a lock left held would stop the child here
    Buffer block(4 * MAPPED_BLOCK);
    _exit(block.capacity() == 4 * MAPPED_BLOCK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tesserine
