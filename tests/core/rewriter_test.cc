// The copy-on-write Rewriter's faults, and the Buffer's growth.
#include "scan/rewriter.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fault.h"
#include "test_util.h"

namespace tesserine {
namespace {

TEST(Rewriter, OffsetViolationsAreFaults) {
  const std::string src = "a\xC3\xA9z";  // offset 2 is inside the "é"
  const std::function<void(Rewriter&)> misuses[] = {
      [](Rewriter& rw) { rw.copy_until(2, 2); },
      [](Rewriter& rw) {
        rw.copy_until(3, 3);
        rw.copy_until(1, 1);
      },                                          // before what was copied
      [](Rewriter& rw) { rw.copy_until(5, 5); },  // past the end
      [](Rewriter& rw) {
        rw.copy_until(1, 2);
        rw.finish();
      },  // resumed inside a character
      [](Rewriter& rw) {
        rw.copy_until(0, 9);
        rw.finish();
      },
  };
  for (const auto& misuse : misuses) {
    Rewriter rw(src);
    EXPECT_THROW(misuse(rw), Fault);
  }
}

// Blocks from the mapping threshold on are whole huge pages.
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
}

}  // namespace
}  // namespace tesserine
