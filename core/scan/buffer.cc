#include "scan/buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#if __has_include(<pthread.h>)
#include <pthread.h>
#endif

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "fault.h"
#include "scan/simd.h"

namespace tesserine {
namespace {

constexpr size_t HUGE_PAGE = MAPPED_BLOCK;

size_t round_up(size_t n, size_t unit) { return checked_add(n, unit - 1) / unit * unit; }

#if __has_include(<sys/mman.h>)
// Maps `size` bytes (a multiple of HUGE_PAGE) starting on a HUGE_PAGE boundary,
// so that transparent huge pages can back all of it: one page fault per 2 MiB
// instead of one per 4 KiB. nullptr when the system has no room.
char* map_block(size_t size) {
  const size_t span = checked_add(size, HUGE_PAGE);
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
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

// Blocks below MAPPED_BLOCK come from malloc, the others from map_block; the
// capacity tells which.
void free_block(char* data, size_t capacity) noexcept {
  if (capacity >= MAPPED_BLOCK) {
    unmap_block(data, capacity);
  } else {
    std::free(data);
  }
}

struct Block {
  char* data = nullptr;
  size_t capacity = 0;
  uint64_t released = 0;  // when the pool took it, in releases on this thread
};

// The block of `kept` released last among those that hold `capacity` bytes and
// are at most twice as large, taken out of `kept`. The bound keeps a small
// buffer from taking the block the next full text needs; the last released is
// the one most likely still in the cache, so a call that alternates between
// two texts keeps writing the same two blocks.
template <size_t N>
Block take_fitting(Block (&kept)[N], size_t capacity) noexcept {
  Block* best = nullptr;
  for (Block& block : kept) {
    if (block.data == nullptr || block.capacity < capacity || block.capacity / 2 > capacity)
      continue;
    if (best == nullptr || block.released > best->released) best = &block;
  }
  return best == nullptr ? Block{} : std::exchange(*best, Block{});
}

// An empty slot, or else the one whose block was released longest ago.
template <size_t N>
Block* oldest_slot(Block (&kept)[N]) noexcept {
  Block* slot = &kept[0];
  for (Block& candidate : kept) {
    if (candidate.data == nullptr) return &candidate;
    if (candidate.released < slot->released) slot = &candidate;
  }
  return slot;
}

template <size_t N>
size_t kept_bytes_of(const Block (&kept)[N]) noexcept {
  size_t total = 0;
  for (const Block& block : kept) total += block.capacity;
  return total;
}

// Moves the largest blocks of `kept` to `out` until the kept bytes are within
// bounds; returns how many.
template <size_t N>
size_t take_excess(Block (&kept)[N], Block* out) noexcept {
  size_t count = 0;
  while (kept_bytes_of(kept) > BLOCK_POOL_KEPT_BYTES) {
    Block* largest = &kept[0];
    for (Block& block : kept)
      if (block.capacity > largest->capacity) largest = &block;
    out[count++] = std::exchange(*largest, Block{});
  }
  return count;
}

// The blocks of threads that have ended, for threads that start later: a server
// that runs each call on a thread of its own would otherwise map fresh blocks
// for every call. A thread takes from here only when it keeps no block that
// fits, as a block another thread wrote last is slower to write (its cache
// lines move between cores).
class SharedBlocks {
 public:
  Block take(size_t capacity) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return take_fitting(kept_, capacity);
  }

  // Keeps `block` in place of the block released longest ago, within the bound
  // on kept bytes; what no longer fits goes back to the system, outside the lock.
  void give(Block block) noexcept {
    Block evicted[SLOTS + 1];
    size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Block* slot = oldest_slot(kept_);
      if (slot->data != nullptr) evicted[count++] = *slot;
      block.released = ++releases_;
      *slot = block;
      count += take_excess(kept_, evicted + count);
    }
    for (size_t i = 0; i < count; ++i) free_block(evicted[i].data, evicted[i].capacity);
  }

  // Held across fork(), so that the child's copy of the lock is not left held
  // by a thread that does not exist there.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

  void release_all() noexcept {
    Block evicted[SLOTS];
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < SLOTS; ++i) evicted[i] = std::exchange(kept_[i], Block{});
    }
    for (const Block& block : evicted)
      if (block.data != nullptr) free_block(block.data, block.capacity);
  }

 private:
  static constexpr size_t SLOTS = 12;
  std::mutex mutex_;
  Block kept_[SLOTS];
  uint64_t releases_ = 0;
};

SharedBlocks shared_blocks;

#if __has_include(<pthread.h>)
[[maybe_unused]] const int fork_handlers_registered = pthread_atfork(
    [] { shared_blocks.lock_for_fork(); }, [] { shared_blocks.unlock_after_fork(); },
    [] { shared_blocks.unlock_after_fork(); });
#endif

// The large blocks a thread keeps for reuse (see ScratchScope). Trivially
// destructible, so that a thread that never keeps a block registers nothing at
// thread exit (registering allocates); `give` registers the hand-over instead.
class BlockPool {
 public:
  Block take(size_t capacity) noexcept { return take_fitting(kept_, capacity); }

  // Keeps `block` in place of the block released longest ago: the latest are
  // the ones a call alternates between, and a thread that moves on to parts of
  // another size soon keeps blocks of that size.
  void give(Block block) noexcept {
    if (closed_) return shared_blocks.give(block);
    Block* slot = oldest_slot(kept_);
    release_at_thread_exit();
    drop(*slot);
    block.released = ++releases_;
    *slot = block;
    if (depth_ == 0) trim();
  }

  void enter() noexcept { ++depth_; }
  void leave() noexcept {
    if (--depth_ == 0) trim();
  }

  size_t kept_bytes() const noexcept { return kept_bytes_of(kept_); }

  void release_all() noexcept {
    for (Block& block : kept_) drop(block);
  }

  // At thread exit: the blocks go to the threads that remain.
  void close() noexcept {
    closed_ = true;
    for (Block& block : kept_)
      if (block.data != nullptr) shared_blocks.give(std::exchange(block, Block{}));
  }

 private:
  static void release_at_thread_exit() noexcept;

  static void drop(Block& block) noexcept {
    if (block.data != nullptr) free_block(block.data, block.capacity);
    block = Block{};
  }

  void trim() noexcept {
    Block excess[SLOTS];
    const size_t count = take_excess(kept_, excess);
    for (size_t i = 0; i < count; ++i) free_block(excess[i].data, excess[i].capacity);
  }

  // A call's argument copy and the texts its passes alternate between, some of
  // them in a larger size after a pass outgrows its first block.
  static constexpr size_t SLOTS = 6;
  Block kept_[SLOTS];
  uint64_t releases_ = 0;
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
// the kept blocks (this thread's and the shared ones) may be what stands in the
// way: they go back to the system and `allocate` runs once more before the
// failure is thrown.
template <class Allocate>
char* fresh(Allocate allocate) {
  if (char* data = allocation_allowed() ? allocate() : nullptr) return data;
  release_kept_blocks();
  if (char* data = allocation_allowed() ? allocate() : nullptr) return data;
  throw std::bad_alloc();
}

}  // namespace

void limit_allocations(size_t count) noexcept { allocations_left = count; }

size_t kept_block_bytes() noexcept { return pool.kept_bytes(); }

void release_kept_blocks() noexcept {
  pool.release_all();
  shared_blocks.release_all();
}

ScratchScope::ScratchScope() noexcept { pool.enter(); }

ScratchScope::~ScratchScope() { pool.leave(); }

size_t checked_add(size_t a, size_t b) {
  size_t sum;
  if (__builtin_add_overflow(a, b, &sum)) fault("buffer size overflows: %zu + %zu", a, b);
  return sum;
}

Buffer::Buffer(size_t capacity) {
  if (capacity == 0) return;
  if (capacity >= POOLED_BLOCK) {
    Block block = pool.take(capacity);
    if (block.data == nullptr) block = shared_blocks.take(capacity);
    if (block.data == nullptr && capacity >= MAPPED_BLOCK) {
      block.capacity = round_up(capacity, HUGE_PAGE);
      block.data = fresh([&] { return map_block(block.capacity); });
    }
    if (block.data != nullptr) {
      data_ = block.data;
      capacity_ = block.capacity;
      return;
    }
  }
  data_ = fresh([&] { return static_cast<char*>(std::malloc(capacity)); });
  capacity_ = capacity;
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() noexcept {
  if (data_ == nullptr) return;
  if (capacity_ >= POOLED_BLOCK) {
    pool.give({data_, capacity_, 0});
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
  size_ = 0;
}

void Buffer::grow(size_t required) {
  size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  size_t next = required;
  if (doubled > next) next = doubled;
  if (next < 8) next = 8;
  if (next >= MAPPED_BLOCK) {
    Buffer larger(next);
    larger.append(view());
    *this = std::move(larger);
    return;
  }
  // A failed realloc leaves the old block in place, so the buffer stays intact.
  data_ = fresh([&] { return static_cast<char*>(std::realloc(data_, next)); });
  capacity_ = next;
}

char* Buffer::reserve_tail(size_t n) {
  const size_t required = checked_add(size_, n);
  if (required > capacity_) grow(required);
  return data_ + size_;
}

void Buffer::commit(size_t n) {
  if (n > capacity_ - size_) fault("commit: %zu bytes past the %zu reserved", n, capacity_ - size_);
  size_ += n;
}

void advise_huge_pages(void* data, size_t n) noexcept {
#if __has_include(<sys/mman.h>) && defined(MADV_HUGEPAGE)
  const uintptr_t start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const uintptr_t last = (start + n) & ~(HUGE_PAGE - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)n;
#endif
}

void Buffer::append_growing(std::string_view bytes) {
  const size_t required = checked_add(size_, bytes.size());
  grow(required);
  simd::copy_bytes(data_ + size_, bytes.data(), bytes.size());
  size_ = required;
}

}  // namespace tesserine
