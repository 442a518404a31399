// The pool of large blocks: what it hands out again, and what it gives back to
// the system (a block given back is no longer mapped).
#include "scan/block_pool.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <latch>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scan/buffer.h"

namespace tesserine {
namespace {

bool mapped(const char* block) {
  unsigned char resident;
  return mincore(const_cast<char*>(block), 1, &resident) == 0 || errno != ENOMEM;
}

// Both kinds of block: from malloc, and mapped.
TEST(BlockPool, ReusesLargeBlocksOfSimilarSizeOnly) {
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
  release_kept_blocks();
  EXPECT_EQ(kept_block_bytes(), 0u);
}

// Inside a scope the pool keeps what a call alternates between, whatever its
// size; after it, and outside any scope, no more than its bound. Blocks it drops
// go back to their owners: a mapped one is unmapped, one from malloc is freed
// (freeing a mapped block, or unmapping malloc's memory, would abort the test).
TEST(BlockPool, KeepsWithinItsBoundOutsideScopesAndGivesBlocksBack) {
  release_kept_blocks();
  const size_t large = BLOCK_POOL_KEPT_BYTES / 2;
  std::vector<const char*> addresses;
  {
    ScratchScope scope;
    {
      std::vector<Buffer> held;
      for (size_t size : {large, large, large, POOLED_BLOCK, MAPPED_BLOCK - 1}) {
        held.emplace_back(size);
        held.back().append("kept");
        addresses.push_back(held.back().data());
      }
    }
    EXPECT_GT(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
  }
  EXPECT_LE(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
  EXPECT_FALSE(mapped(addresses[0]));  // released first: dropped first
  {
    Buffer outside(large);
    outside.append("kept");
  }
  EXPECT_LE(kept_block_bytes(), BLOCK_POOL_KEPT_BYTES);
  // A block from malloc that the pool handed out still grows in place through malloc.
  Buffer small(POOLED_BLOCK);
  small.append(std::string(POOLED_BLOCK, 's'));
  small.append(std::string(MAPPED_BLOCK / 2, 't'));
  small.append(std::string(MAPPED_BLOCK, 'u'));
  EXPECT_EQ(small.size(), POOLED_BLOCK + MAPPED_BLOCK / 2 + MAPPED_BLOCK);
  EXPECT_EQ(small.view().substr(POOLED_BLOCK - 1, 2), "st");
  release_kept_blocks();
  EXPECT_EQ(kept_block_bytes(), 0u);
  for (const char* address : {addresses[1], addresses[2]}) EXPECT_FALSE(mapped(address));
}

// The blocks of threads that have ended serve the others, and a forked child;
// release_kept_blocks gives them back to the system.
TEST(BlockPool, EndedThreadsLeaveTheirBlocksToOthers) {
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
  {
    std::vector<Buffer> here;
    for (int i = 0; i < 6; ++i) {
      here.emplace_back(2 * MAPPED_BLOCK);
      EXPECT_EQ(std::string_view(here.back().data(), 4), "kept");
    }
  }
  release_kept_blocks();
  std::thread([&] { released = Buffer(4 * MAPPED_BLOCK).data(); }).join();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);  // a lock left held would stop the child here
    _exit(Buffer(4 * MAPPED_BLOCK).data() == released ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  release_kept_blocks();
  EXPECT_FALSE(mapped(released));
}

}  // namespace
}  // namespace tesserine
