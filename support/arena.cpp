#include "support/arena.h"

#include <algorithm>
#include <cstring>

#include "support/alloc.h"

// The head of a block; the pieces follow it.
struct ArenaBlock {
  ArenaBlock* before;  // the block made before this one, or null
  size_t used;         // bytes in use, set once a newer block is made (the
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
  if (arena->blocks != nullptr && start + size <= arena->size) {
    arena->used = start + size;
    return reinterpret_cast<char*>(arena->blocks) + start;
  }
  // The next block, large enough for the piece, becomes the newest, so the
  // blocks stay in carving order; the rest of the block before it, less
  // than the piece, is left unused.
  size_t ordinary = std::min(kLargestBlockBytes, std::max(kBlockBytes, 2 * arena->size));
  size_t bytes = std::max(ordinary, kBlockHead + size);
  // Beyond what one allocation can ask for: util_alloc's exhaustion.
  auto* block =
      static_cast<ArenaBlock*>(util_alloc(bytes > INT32_MAX ? -1 : static_cast<int32_t>(bytes)));
  if (arena->blocks != nullptr) arena->blocks->used = arena->used;
  block->before = arena->blocks;
  arena->blocks = block;
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
  for (ArenaBlock* block = arena->blocks; block != nullptr; block = block->before) {
    size_t used = block == arena->blocks ? arena->used : block->used;
    char* base = reinterpret_cast<char*>(block);
    visit(base + kBlockHead, base + used, closure);
  }
}

void arena_release(Arena* arena) {
  ArenaBlock* block = arena->blocks;
  while (block != nullptr) {
    ArenaBlock* before = block->before;
    util_free(block);
    block = before;
  }
  *arena = Arena{};
}
