// Buffer: an owned, growable byte string.
//
// Used for every text the core produces. Growth follows one rule everywhere: when
// an append needs more room, the new capacity is the largest of the required
// length, twice the old capacity and 8 bytes. Blocks of `MAPPED_BLOCK` bytes and
// more are mapped from the system in whole 2 MiB huge pages (so the capacity is
// rounded up to a multiple of 2 MiB); blocks of `POOLED_BLOCK` bytes and more are
// recycled through a per-thread pool, see ScratchScope.
// A failed allocation throws std::bad_alloc and leaves the buffer as it was; the
// blocks kept for reuse go back to the system first and the allocation is tried
// once more. A size that overflows size_t is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "scan/simd.h"

namespace tesserine {

class Buffer {
 public:
  Buffer() noexcept = default;
  // An empty buffer that already holds `capacity` bytes of room.
  explicit Buffer(size_t capacity);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer();

  // Inline: rewrites append once per edit, often only a few bytes.
  void append(std::string_view bytes) {
    const size_t n = bytes.size();
    if (n > capacity_ - size_) return append_growing(bytes);
    if (n >= 256) {
      simd::copy_bytes(data_ + size_, bytes.data(), n);
    } else if (n != 0) {
      std::memcpy(data_ + size_, bytes.data(), n);
    }
    size_ += n;
  }
  void push_back(char byte) { append(std::string_view(&byte, 1)); }
  // Room for `n` more bytes, written in place by the caller and then counted
  // with commit: for producers that do not know their output length up front.
  char* reserve_tail(size_t n);
  void commit(size_t n);
  void clear() noexcept { size_ = 0; }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  const char* data() const noexcept { return data_; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void append_growing(std::string_view bytes);
  void grow(size_t required);
  void release() noexcept;

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Large blocks released on a thread are kept for the next large Buffer of a
// similar size on that thread instead of going back to the system: faulting in
// fresh pages costs more than the copy a pass makes into them, and in several
// threads at once the faults contend for the process's address space. While a
// ScratchScope lives on the thread, the six blocks released last are kept
// whatever their size: a call works in a copy of the argument and the current
// text and the next that the passes alternate between, the latter two in a
// larger size once a pass outgrows the first. When the outermost scope ends, and at any time outside a scope, the
// thread keeps at most `BLOCK_POOL_KEPT_BYTES`, so repeated calls on ordinary
// parts reuse their blocks while an idle thread holds a bounded amount. When a
// thread exits, its blocks pass to a store shared by the threads that start
// later (bounded the same way), so a thread started for one call still finds
// blocks to reuse.
class ScratchScope {
 public:
  ScratchScope() noexcept;
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;
  ~ScratchScope();
};

// The smallest block that is kept for reuse rather than freed: from about this
// size on, malloc maps and unmaps each block, so every use faults in fresh pages.
inline constexpr size_t POOLED_BLOCK = size_t{128} << 10;
// The smallest block that is mapped in huge pages rather than taken from malloc.
inline constexpr size_t MAPPED_BLOCK = size_t{2} << 20;
// What a thread keeps between calls, at most.
inline constexpr size_t BLOCK_POOL_KEPT_BYTES = size_t{64} << 20;

// The bytes of the blocks the calling thread keeps for reuse.
size_t kept_block_bytes() noexcept;
// Returns every kept block to the system, for an embedder that wants the memory
// back between batches.
void release_kept_blocks() noexcept;

// Asks the system to back the whole 2 MiB pages inside [data, data + n) with huge
// pages, for a large block about to be written from end to end that was
// allocated elsewhere; advice only, ignored where unsupported.
void advise_huge_pages(void* data, size_t n) noexcept;

// Checked a + b for buffer sizes: overflow is an internal fault.
size_t checked_add(size_t a, size_t b);

// For tests of memory exhaustion: on the calling thread, the next `count`
// allocations of fresh memory succeed and every one after them fails, until
// called again (with ALLOCATIONS_UNLIMITED to stop failing). Blocks taken from
// the pool are not counted: they need no fresh memory.
inline constexpr size_t ALLOCATIONS_UNLIMITED = SIZE_MAX;
void limit_allocations(size_t count) noexcept;

}  // namespace tesserine
