// Arena: many small pieces of memory made one after another and released
// all at once.
//
// Pieces are carved in order from large blocks the arena holds, so making
// one costs no allocation of its own and releasing them all costs one
// release per block, not a visit to every piece. A piece cannot be released
// alone: its memory is reused only after arena_release. Blocks keep their
// pieces in carving order, so arena_walk can find them again in that order.
// Running out of memory ends the process (util_fatal).
#pragma once

#include <cstddef>
#include <cstdint>

// A block of pieces (defined by the arena's code).
struct ArenaBlock;

// A plain value: all zero is an empty arena, ready for use.
struct Arena {
  ArenaBlock* blocks;  // the blocks pieces are carved from, newest first
  size_t used;         // bytes of the newest block in use
  size_t size;         // bytes of the newest block
};

// `size` bytes aligned to `align` (a power of two, at most that of any
// type), valid until arena_release. Their content is unspecified. A piece
// that does not fit in the newest block starts a new one (as large as it
// needs), leaving the rest of the old one unused.
void* arena_carve(Arena* arena, size_t size, size_t align);

// Visits every block, newest first, as `visit(begin, end, closure)`: the
// block's first piece begins at `begin` (aligned for any type) and its last
// ends at `end`; in between lie its pieces in carving order, each at the
// alignment it was carved with. A walk that knows each piece's size and
// alignment from its content therefore meets every piece, newest block
// first and, within a block, oldest piece first.
void arena_walk(const Arena* arena, void (*visit)(char* begin, char* end, void* closure),
                void* closure);

// A copy of `text` with its terminator, valid until arena_release; null in,
// null out (nothing is carved then).
char* arena_strdup(Arena* arena, const char* text);

// Releases every block: every piece carved so far becomes invalid, and the
// arena is empty again.
void arena_release(Arena* arena);
