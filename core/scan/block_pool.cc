#include "scan/block_pool.h"

#include <cstdlib>
#include <mutex>
#include <new>

#if __has_include(<pthread.h>)
#include <pthread.h>
#endif

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "scan/buffer.h"
#include "scan/simd.h"

namespace tesserine {
namespace {

constexpr size_t HUGE_PAGE = MAPPED_BLOCK;

size_t round_up(size_t n, size_t unit) { return checked_add(n, unit - 1) / unit * unit; }

#if __has_include(<sys/mman.h>)
// The first huge-page boundary at or after `address`.
uintptr_t huge_page_at_or_after(uintptr_t address) {
  return (address + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

// Maps `size` bytes (a multiple of HUGE_PAGE) starting on a HUGE_PAGE boundary,
// so that transparent huge pages can back all of it: one page fault per 2 MiB
// instead of one per 4 KiB. nullptr when the system has no room.
char* map_block(size_t size) {
  const size_t span = checked_add(size, HUGE_PAGE);
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = huge_page_at_or_after(start);
  const uintptr_t end = start + span;
  if (aligned > start) munmap(raw, aligned - start);
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<char*>(aligned);
}

void unmap_block(char* data, size_t size) noexcept { munmap(data, size); }
#else
char* map_block(size_t size) { return static_cast<char*>(std::malloc(size)); }

void unmap_block(char* data, size_t) noexcept { std::free(data); }
#endif

void give_back(const Block& block) noexcept {
  if (block.owner == BlockOwner::Mapped) {
    unmap_block(block.data, block.capacity);
  } else {
    std::free(block.data);
  }
}

// Blocks kept for reuse, the one released last on top. A fitting block is
// taken from the top down, as the last released is the likeliest to be in the
// cache; a block that finds every slot taken pushes out the one released
// longest ago, and so does trimming to a bound.
template <size_t SLOTS>
class KeptBlocks {
 public:
  Block take(size_t capacity) noexcept {
    for (size_t i = count_; i-- > 0;) {
      const Block block = kept_[i];
      if (block.capacity < capacity || block.capacity / 2 > capacity) continue;
      remove(i);
      return block;
    }
    return {};
  }

  // Keeps `block`; returns the block pushed out to make room, if any.
  Block keep(const Block& block) noexcept {
    const Block out = count_ == SLOTS ? oldest() : Block{};
    kept_[count_++] = block;
    return out;
  }

  // The block released longest ago while more than `bound` bytes are kept,
  // taken out; otherwise none.
  Block excess(size_t bound) noexcept { return bytes() > bound ? oldest() : Block{}; }

  Block pop() noexcept { return count_ > 0 ? kept_[--count_] : Block{}; }

  size_t bytes() const noexcept {
    size_t total = 0;
    for (size_t i = 0; i < count_; ++i) total += kept_[i].capacity;
    return total;
  }

 private:
  Block oldest() noexcept {
    const Block block = kept_[0];
    remove(0);
    return block;
  }

  void remove(size_t i) noexcept {
    for (--count_; i < count_; ++i) kept_[i] = kept_[i + 1];
  }

  Block kept_[SLOTS];
  size_t count_ = 0;
};

// The blocks of threads that have ended, for threads that start later: a server
// that runs each call on a thread of its own would otherwise map fresh blocks
// for every call (bench/thread_per_call.cc: half the calls per second). A thread
// takes from here only when it keeps no block that fits, as a block another
// thread wrote last is slower to write (its cache lines move between cores).
class SharedBlocks {
 public:
  Block take(size_t capacity) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.take(capacity);
  }

  // Keeps `block` within the bound on kept bytes; what no longer fits goes back
  // to the system outside the lock.
  void give(const Block& block) noexcept {
    Block out[SLOTS + 1];
    size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if ((out[count] = kept_.keep(block)).data != nullptr) ++count;
      while ((out[count] = kept_.excess(BLOCK_POOL_KEPT_BYTES)).data != nullptr) ++count;
    }
    for (size_t i = 0; i < count; ++i) give_back(out[i]);
  }

  void release_all() noexcept {
    Block out[SLOTS];
    size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while ((out[count] = kept_.pop()).data != nullptr) ++count;
    }
    for (size_t i = 0; i < count; ++i) give_back(out[i]);
  }

  // Held across fork(), so that the child's copy of the lock is not left held
  // by a thread that does not exist there.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

 private:
  // Room for the blocks of two threads that end together.
  static constexpr size_t SLOTS = 12;
  std::mutex mutex_;
  KeptBlocks<SLOTS> kept_;
};

SharedBlocks shared_blocks;

#if __has_include(<pthread.h>)
[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork([] { shared_blocks.lock_for_fork(); }, [] { shared_blocks.unlock_after_fork(); },
                   [] { shared_blocks.unlock_after_fork(); });
#endif

// The large blocks a thread keeps (see block_pool.h). Trivially destructible, so
// that a thread that never keeps a block registers nothing at thread exit
// (registering allocates); `give` registers the hand-over instead.
class BlockPool {
 public:
  Block take(size_t capacity) noexcept {
    const Block block = kept_.take(capacity);
    return block.data != nullptr ? block : shared_blocks.take(capacity);
  }

  void give(const Block& block) noexcept {
    if (closed_) return shared_blocks.give(block);
    release_at_thread_exit();
    if (const Block out = kept_.keep(block); out.data != nullptr) give_back(out);
    if (depth_ == 0) trim();
  }

  void enter() noexcept { ++depth_; }
  void leave() noexcept {
    if (--depth_ == 0) trim();
  }

  size_t kept_bytes() const noexcept { return kept_.bytes(); }

  void release_all() noexcept {
    for (Block block; (block = kept_.pop()).data != nullptr;) give_back(block);
  }

  // At thread exit: the blocks go to the threads that remain, and so do those
  // released later (by other thread-local destructors).
  void close() noexcept {
    closed_ = true;
    for (Block block; (block = kept_.pop()).data != nullptr;) shared_blocks.give(block);
  }

 private:
  static void release_at_thread_exit() noexcept;

  void trim() noexcept {
    for (Block out; (out = kept_.excess(BLOCK_POOL_KEPT_BYTES)).data != nullptr;) give_back(out);
  }

  // A call's argument copy and the texts its passes alternate between, some of
  // them in a larger size after a pass outgrows its first block.
  KeptBlocks<6> kept_;
  int depth_ = 0;
  bool closed_ = false;
};

thread_local BlockPool pool;

struct PoolCloser {
  ~PoolCloser() { pool.close(); }
};

void BlockPool::release_at_thread_exit() noexcept { thread_local PoolCloser closer; }

// Fresh allocations that limit_allocations still lets through on this thread.
thread_local size_t allocations_left = ALLOCATIONS_UNLIMITED;

bool allocation_allowed() noexcept {
  if (allocations_left == ALLOCATIONS_UNLIMITED) return true;
  if (allocations_left == 0) return false;
  --allocations_left;
  return true;
}

// The memory that `allocate` returns, nullptr meaning none. When there is none,
// the kept blocks may be what stands in the way: they go back to the system and
// `allocate` runs once more before the failure is thrown.
template <class Allocate>
char* fresh(Allocate allocate) {
  if (char* data = allocation_allowed() ? allocate() : nullptr) return data;
  release_kept_blocks();
  if (char* data = allocation_allowed() ? allocate() : nullptr) return data;
  throw std::bad_alloc();
}

}  // namespace

Block acquire_block(size_t capacity) {
  if (capacity >= POOLED_BLOCK) {
    if (const Block kept = pool.take(capacity); kept.data != nullptr) return kept;
    if (capacity >= MAPPED_BLOCK) {
      const size_t size = round_up(capacity, HUGE_PAGE);
      return {fresh([&] { return map_block(size); }), size, BlockOwner::Mapped};
    }
  }
  return {fresh([&] { return static_cast<char*>(std::malloc(capacity)); }), capacity,
          BlockOwner::Malloc};
}

Block grow_block(Block block, size_t used, size_t capacity) {
  if (block.owner == BlockOwner::Malloc && capacity < MAPPED_BLOCK) {
    // A failed realloc leaves the old block in place.
    char* data = fresh([&] { return static_cast<char*>(std::realloc(block.data, capacity)); });
    return {data, capacity, BlockOwner::Malloc};
  }
  const Block larger = acquire_block(capacity);
  simd::copy_bytes(larger.data, block.data, used);
  if (block.data != nullptr) release_block(block);
  return larger;
}

void release_block(Block block) noexcept {
  if (block.capacity >= POOLED_BLOCK) return pool.give(block);
  give_back(block);
}

void limit_allocations(size_t count) noexcept { allocations_left = count; }

size_t kept_block_bytes() noexcept { return pool.kept_bytes(); }

void release_kept_blocks() noexcept {
  pool.release_all();
  shared_blocks.release_all();
}

ScratchScope::ScratchScope() noexcept { pool.enter(); }

ScratchScope::~ScratchScope() { pool.leave(); }

void advise_huge_pages(void* data, size_t n) noexcept {
#if __has_include(<sys/mman.h>) && defined(MADV_HUGEPAGE)
  const uintptr_t start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = huge_page_at_or_after(start);
  const uintptr_t last = (start + n) & ~(HUGE_PAGE - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)n;
#endif
}

}  // namespace tesserine
