// Arena: many small pieces of memory made one after another and released
// all at once.
//
// Pieces are carved in order from large blocks the arena holds, so making
// one costs no allocation of its own and releasing them all costs one
// release per block, not a visit to every piece. A piece cannot be released
// alone: its memory is reused only after arena_release. Blocks keep their
// pieces in carving order, and arena_walk visits the blocks oldest first,
// so a walk can find every piece again in the order it was carved.
// Running out of memory ends the process (util_fatal).
#pragma once

#include <cstddef>
#include <cstdint>

// A block of pieces (defined by the arena's code).
struct ArenaBlock;

// A plain value: all zero is an empty arena, ready for use.
struct Arena {
  ArenaBlock* oldest;  // the first block made; each links to the next
  ArenaBlock* newest;  // the block pieces are carved from now
  size_t used;         // bytes of the newest block in use
  size_t size;         // bytes of the newest block
};

// `size` bytes aligned to `align` (a power of two, at most that of any
// type), valid until arena_release. Their content is unspecified. A piece
// that does not fit in the newest block starts a new one (as large as it
// needs), leaving the rest of the old one unused. Blocks are a whole number
// of words of the strictest alignment, so the aligned word a piece ends in
// can be read whole.
void* arena_carve(Arena* arena, size_t size, size_t align);

// Visits every block, oldest first, as `visit(begin, end, closure)`: the
// block's first piece begins at `begin` (aligned for any type) and its last
// ends at `end`; in between lie its pieces in carving order, each at the
// alignment it was carved with. A walk that knows each piece's size and
// alignment from its content therefore meets every piece in carving order.
void arena_walk(const Arena* arena, void (*visit)(char* begin, char* end, void* closure),
                void* closure);

// A copy of `text` with its terminator, valid until arena_release; null in,
// null out (nothing is carved then).
char* arena_strdup(Arena* arena, const char* text);

// Releases every block: every piece carved so far becomes invalid, and the
// arena is empty again.
void arena_release(Arena* arena);
