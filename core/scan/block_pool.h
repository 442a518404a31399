// The memory of Buffers: blocks from the system, and the large ones that a
// thread keeps for reuse.
//
// Blocks of MAPPED_BLOCK bytes and more are mapped from the system in whole
// 2 MiB huge pages (so their capacity is a multiple of 2 MiB); smaller ones come
// from malloc. Each block records which of the two owns it, and goes back there.
//
// Large blocks (POOLED_BLOCK bytes and more) released on a thread are kept for
// the next large Buffer of a similar size on that thread instead of going back
// to the system: faulting in fresh pages costs more than the copy a pass makes
// into them, and in several threads at once the faults contend for the
// process's address space (200 pipeline runs on a 10 MB part: 965,341 page
// faults without, 9,119 with). While a ScratchScope lives on the thread, the six
// blocks released last are kept whatever their size: a call works in a copy of
// the argument and in the two texts that the passes alternate between, the
// latter in a larger size too once a pass outgrows the first. When the
// outermost scope ends, and at any time outside a scope, the thread keeps at
// most BLOCK_POOL_KEPT_BYTES; when it ends, it keeps nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tesserine {

// The smallest block that is kept for reuse rather than freed: from about this
// size on, malloc maps and unmaps each block, so every use faults in fresh pages.
inline constexpr size_t POOLED_BLOCK = size_t{128} << 10;
// The smallest block that is mapped in huge pages rather than taken from malloc.
inline constexpr size_t MAPPED_BLOCK = size_t{2} << 20;
// What a thread keeps between calls, at most.
inline constexpr size_t BLOCK_POOL_KEPT_BYTES = size_t{64} << 20;

enum class BlockOwner : uint8_t { Malloc, Mapped };

struct Block {
  char* data = nullptr;
  size_t capacity = 0;
  BlockOwner owner = BlockOwner::Malloc;
};

// A block of at least `capacity` (> 0) bytes: a kept block of a similar size
// (holding `capacity`, at most twice as large) when the thread has one, the one
// released last among them as the likeliest to be in the cache; otherwise fresh
// memory. When the system has none, the thread's kept blocks go back to it and
// the allocation is tried once more before std::bad_alloc is thrown.
Block acquire_block(size_t capacity);

// `block` (possibly empty) with room for `capacity` bytes and its first `used`
// bytes kept: resized by malloc when it owns the block and the size stays below
// MAPPED_BLOCK, otherwise moved into a block from acquire_block. A failure throws
// std::bad_alloc and leaves `block` as it was.
Block grow_block(Block block, size_t used, size_t capacity);

// Gives back a block: to the thread's pool when it is large, to its owner
// otherwise.
void release_block(Block block) noexcept;

// Marks a stretch of work that alternates between large blocks; see above.
class ScratchScope {
 public:
  ScratchScope() noexcept;
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;
  ~ScratchScope();
};

// The bytes of the blocks the calling thread keeps for reuse.
size_t kept_block_bytes() noexcept;
// Returns every block the calling thread keeps to the system, for an embedder
// that wants the memory back between batches.
void release_kept_blocks() noexcept;

// Asks the system to back the whole 2 MiB pages inside [data, data + n) with huge
// pages, for a large block about to be written from end to end that was
// allocated elsewhere; advice only, ignored where unsupported.
void advise_huge_pages(void* data, size_t n) noexcept;

// For tests of memory exhaustion: on the calling thread, the next `count`
// allocations of fresh memory succeed and every one after them fails, until
// called again (with ALLOCATIONS_UNLIMITED to stop failing). Blocks taken from
// the pool are not counted: they need no fresh memory.
inline constexpr size_t ALLOCATIONS_UNLIMITED = SIZE_MAX;
void limit_allocations(size_t count) noexcept;

}  // namespace tesserine
