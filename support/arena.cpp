#include "support/arena.h"

#include <algorithm>
#include <cstring>

#include "support/alloc.h"

// The head of a block; the pieces follow it.
struct ArenaBlock {
  ArenaBlock* after;  // the block made after this one, or null
  size_t used;        // bytes in use, set once a newer block is made (the
                      // newest block's count is the arena's `used`)
};

namespace {

// Bytes of the first block.
constexpr size_t kBlockBytes = 1 << 16;
// Each ordinary block is twice the one before, up to this: an arena of a
// few keys stays small, one of millions is a few dozen blocks, large
// enough for large pages (see util_alloc).
constexpr size_t kLargestBlockBytes = 1 << 22;

// Where a block's first piece may begin: past the head, at the strictest
// alignment a piece may ask for.
constexpr size_t kBlockHead = (sizeof(ArenaBlock) + alignof(std::max_align_t) - 1) /
                              alignof(std::max_align_t) * alignof(std::max_align_t);

size_t round_up(size_t value, size_t align) { return (value + align - 1) & ~(align - 1); }

}  // namespace

void* arena_carve(Arena* arena, size_t size, size_t align) {
  size_t start = round_up(arena->used, align);
  if (arena->newest != nullptr && start + size <= arena->size) {
    arena->used = start + size;
    return reinterpret_cast<char*>(arena->newest) + start;
  }
  // The next block, large enough for the piece, becomes the newest, so the
  // blocks stay in carving order; the rest of the block before it, less
  // than the piece, is left unused.
  size_t ordinary = std::min(kLargestBlockBytes, std::max(kBlockBytes, 2 * arena->size));
  // Whole words of the strictest alignment: a reader may read the word a
  // piece ends in without leaving the block.
  size_t bytes = std::max(ordinary, round_up(kBlockHead + size, alignof(std::max_align_t)));
  auto* block = reinterpret_cast<ArenaBlock*>(
      util_alloc_array<unsigned char>(bytes > INT64_MAX ? -1 : static_cast<int64_t>(bytes)));
  if (arena->newest != nullptr) {
    arena->newest->used = arena->used;
    arena->newest->after = block;
  } else {
    arena->oldest = block;
  }
  arena->newest = block;
  arena->size = bytes;
  arena->used = kBlockHead + size;
  return reinterpret_cast<char*>(block) + kBlockHead;
}

char* arena_strdup(Arena* arena, const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(arena_carve(arena, length, 1));
  std::memcpy(copy, text, length);
  return copy;
}

void arena_walk(const Arena* arena, void (*visit)(char* begin, char* end, void* closure),
                void* closure) {
  for (ArenaBlock* block = arena->oldest; block != nullptr; block = block->after) {
    size_t used = block == arena->newest ? arena->used : block->used;
    char* base = reinterpret_cast<char*>(block);
    visit(base + kBlockHead, base + used, closure);
  }
}

void arena_release(Arena* arena) {
  ArenaBlock* block = arena->oldest;
  while (block != nullptr) {
    ArenaBlock* after = block->after;
    util_free(block);
    block = after;
  }
  *arena = Arena{};
}
