#include "support/arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Copies made across many blocks, with large ones among them, must each
// keep their own text: a piece carved over another, or a large block linked
// so that the newest block's room is lost or reused, shows here.
TEST(ArenaTest, CopiesStayIntactAcrossBlocksAndLargePieces) {
  Arena arena{};
  std::vector<std::string> texts;
  std::vector<char*> copies;
  for (int i = 0; i < 20000; ++i) {
    // Every 997th text is larger than the first block, and one larger
    // than any ordinary block.
    size_t length = i == 15000     ? size_t{5} << 20
                    : i % 997 == 0 ? 70000 + static_cast<size_t>(i)
                                   : static_cast<size_t>(i % 300);
    std::string text(length, static_cast<char>('a' + i % 26));
    texts.push_back(text);
    copies.push_back(arena_strdup(&arena, text.c_str()));
  }
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(texts[i], copies[i]) << "copy " << i;
  EXPECT_EQ(arena_strdup(&arena, nullptr), nullptr);
  arena_release(&arena);
  EXPECT_EQ(arena.newest, nullptr);
  EXPECT_EQ(arena.oldest, nullptr);
}

// Pieces of odd sizes between aligned ones must not shift the alignment.
TEST(ArenaTest, CarvedPiecesAreAlignedAndDisjoint) {
  Arena arena{};
  std::vector<std::pair<uintptr_t, size_t>> pieces;
  for (int i = 0; i < 5000; ++i) {
    size_t align = size_t{1} << (i % 5);  // 1 to 16
    size_t size = static_cast<size_t>(i % 37) + 1;
    auto* piece = static_cast<char*>(arena_carve(&arena, size, align));
    ASSERT_EQ(reinterpret_cast<uintptr_t>(piece) % align, 0u) << "piece " << i;
    std::memset(piece, 0xA5, size);
    pieces.emplace_back(reinterpret_cast<uintptr_t>(piece), size);
  }
  std::sort(pieces.begin(), pieces.end());
  for (size_t i = 1; i < pieces.size(); ++i) {
    ASSERT_LE(pieces[i - 1].first + pieces[i - 1].second, pieces[i].first) << "overlap";
  }
  arena_release(&arena);
}

// A walk that knows each piece's size from its content meets every piece in
// carving order; pieces too large for any ordinary block, which get blocks
// of their own, must not break that order.
TEST(ArenaTest, WalkFindsThePiecesInCarvingOrder) {
  Arena arena{};
  std::vector<uint32_t> carved;
  for (uint32_t i = 0; i < 40000; ++i) {
    uint32_t size = i % 10000 == 5000 ? (5u << 20) : 8 + 8 * (i % 11);
    auto* piece = static_cast<uint32_t*>(arena_carve(&arena, size, 8));
    piece[0] = size;
    piece[1] = i;
    carved.push_back(i);
  }
  std::vector<std::vector<uint32_t>> blocks;
  arena_walk(
      &arena,
      [](char* begin, char* end, void* closure) {
        auto* found = static_cast<std::vector<std::vector<uint32_t>>*>(closure);
        found->emplace_back();
        for (char* piece = begin; piece < end;) {
          auto* words = reinterpret_cast<uint32_t*>(piece);
          found->back().push_back(words[1]);
          piece += words[0];
        }
      },
      &blocks);
  std::vector<uint32_t> walked;
  for (const auto& block : blocks) walked.insert(walked.end(), block.begin(), block.end());
  EXPECT_EQ(walked, carved);
  EXPECT_GT(blocks.size(), 8u);
  arena_release(&arena);
}

}  // namespace
