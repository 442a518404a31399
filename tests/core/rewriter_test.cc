// The copy-on-write Rewriter's faults, and the Buffer with its mapped blocks and the pool
// that recycles large blocks.
#include "scan/rewriter.h"

#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "fault.h"
#include "test_util.h"

namespace tesserine {
namespace {

TEST(Rewriter, OffsetViolationsAreFaults) {
  const std::string src = "a\xC3\xA9z";  // offset 2 is inside the "é"
  const std::function<void(Rewriter&)> misuses[] = {
      [](Rewriter& rw) { rw.copy_until(2, 2); },
      [](Rewriter& rw) { rw.copy_until(3, 3); rw.copy_until(1, 1); },  // before what was copied
      [](Rewriter& rw) { rw.copy_until(5, 5); },                      // past the end
      [](Rewriter& rw) { rw.copy_until(1, 2); rw.finish(); },         // resumed inside a character
      [](Rewriter& rw) { rw.copy_until(0, 9); rw.finish(); },
  };
  for (const auto& misuse : misuses) {
    Rewriter rw(src);
    EXPECT_THROW(misuse(rw), Fault);
  }
}

// Blocks from the mapping threshold on are whole huge pages; a size that
// overflows is a fault.
TEST(Buffer, GrowsIntoMappedBlocksAndMoves) {
  Buffer b;
  std::string want;
  for (size_t n : {size_t{1}, size_t{9}, size_t{300}, MAPPED_BLOCK - 300, size_t{1}}) {
    b.append(std::string(n, static_cast<char>('a' + n % 26)));
    want += std::string(n, static_cast<char>('a' + n % 26));
  }
  EXPECT_EQ(b.capacity(), 2 * MAPPED_BLOCK);
  EXPECT_EQ(Buffer(3 * MAPPED_BLOCK + 1).capacity(), 4 * MAPPED_BLOCK);
  Buffer moved = std::move(b);
  EXPECT_TRUE(moved.view() == want);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_THROW(checked_add(SIZE_MAX, 1), Fault);
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
      EXPECT_NE(Buffer(big / 4).data(), reused);  // far smaller: must not take the kept block
      Buffer similar(big - big / 4);
      EXPECT_EQ(similar.data(), reused);
      EXPECT_EQ(similar.capacity(), big);
      EXPECT_TRUE(similar.empty());
    }
    EXPECT_EQ(Buffer(big).data(), reused);  // kept across scopes while within the bound
  }
}

// The block released last is the one still in the cache.
TEST(Buffer, PoolHandsOutTheFittingBlockReleasedLast) {
  release_kept_blocks();
  ScratchScope scope;
  const char* first = nullptr;
  {
    Buffer a(4 * MAPPED_BLOCK), b(4 * MAPPED_BLOCK);
    first = a.data();
  }  // b goes back first, then a
  EXPECT_EQ(Buffer(4 * MAPPED_BLOCK).data(), first);
}

// The blocks of a thread that has ended serve the others, and a forked child.
TEST(Buffer, PoolOfEndedThreadsServesOthersAndAForkedChild) {
  release_kept_blocks();
  const char* released = nullptr;
  std::thread([&] { released = Buffer(4 * MAPPED_BLOCK).data(); }).join();
  EXPECT_EQ(Buffer(4 * MAPPED_BLOCK).data(), released);
  // Two threads that end together leave all their blocks to the next one: each
  // block comes back with the mark written into it (a block mapped afresh would
  // read as zeros, whatever address the system gives it).
  release_kept_blocks();
  std::latch both_hold_theirs(2);
  auto three_blocks = [&] {
    ScratchScope scope;
    Buffer a(2 * MAPPED_BLOCK), b(2 * MAPPED_BLOCK), c(2 * MAPPED_BLOCK);
    for (Buffer* block : {&a, &b, &c}) block->append("kept");
    both_hold_theirs.arrive_and_wait();
  };
  std::thread one(three_blocks), two(three_blocks);
  one.join();
  two.join();
  std::vector<Buffer> here;
  for (int i = 0; i < 6; ++i) {
    here.emplace_back(2 * MAPPED_BLOCK);
    EXPECT_EQ(std::string_view(here.back().data(), 4), "kept");
  }
  here.clear();
  release_kept_blocks();
  std::thread([] { Buffer block(4 * MAPPED_BLOCK); }).join();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);  // a lock left held would stop the child here
    _exit(Buffer(4 * MAPPED_BLOCK).capacity() == 4 * MAPPED_BLOCK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tesserine
