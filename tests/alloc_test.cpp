#include "support/alloc.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

// Under AddressSanitizer a failed allocation aborts unless told to return
// null, which is the failure these tests need util_alloc to see.
#if defined(__SANITIZE_ADDRESS__)
#define KEYFOLDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYFOLDER_ASAN 1
#endif
#endif
#if defined(KEYFOLDER_ASAN)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

// Caps the address space at what the process maps now plus `extra` bytes, so
// the next request larger than `extra` fails as on an exhausted machine.
void limit_address_space(size_t extra) {
  unsigned long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) std::abort();
  std::fclose(statm);
  rlimit limit{};
  limit.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + extra;
  limit.rlim_max = limit.rlim_cur;
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::abort();
}

constexpr size_t kHeadroom = size_t{64} << 20;

void report_cleanup() { std::fputs("clean-up ran\n", stderr); }

// A clean-up that itself runs out of memory: the fatal exit must not loop.
void failing_cleanup() { util_alloc(-1); }

std::string fatal_text(const std::string& message) {
  return "Unrecoverable error (3): " + message + "\n\n";
}

}  // namespace

TEST(Alloc, BlocksAreZeroFilledEvenWhenReused) {
  for (int32_t size : {1, 7, 64, 4096, 1 << 20}) {
    auto* bytes = static_cast<unsigned char*>(util_alloc(size));
    std::memset(bytes, 0xAB, static_cast<size_t>(size));
    util_free(bytes);
    bytes = static_cast<unsigned char*>(util_alloc(size));
    for (int32_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << "size " << size << " at " << i;
    util_free(bytes);
  }
}

TEST(Alloc, ZeroBytesGivesAPointerAndNullFreesQuietly) {
  void* block = util_alloc(0);
  EXPECT_NE(block, nullptr);
  util_free(block);
  util_free(nullptr);
}

TEST(Alloc, StrdupCopiesAndPassesNullThrough) {
  EXPECT_EQ(util_strdup(nullptr), nullptr);
  for (const char* text : {"", "General:Foo = 1"}) {
    char* copy = util_strdup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    util_free(copy);
  }
}

TEST(AllocDeathTest, ExhaustionPrintsTheRequestAndEndsWithStatusThree) {
  struct Case {
    int32_t size;
    bool limited;  // false: the size alone must fail (a negative count)
  };
  for (Case c : {Case{1 << 28, true}, Case{INT32_MAX, true}, Case{-1, false}}) {
    std::string expected =
        fatal_text("malloc error: requested " + std::to_string(c.size) + " bytes");
    EXPECT_EXIT(
        {
          if (c.limited) limit_address_space(kHeadroom);
          util_alloc(c.size);
        },
        ::testing::ExitedWithCode(3), ::testing::Eq(expected));
  }
}

TEST(AllocDeathTest, StrdupExhaustionHasItsOwnMessage) {
  EXPECT_EXIT(
      {
        // The text exists before the cap; only its copy cannot be had.
        constexpr size_t kLength = size_t{128} << 20;
        auto* text = static_cast<char*>(std::malloc(kLength + 1));
        if (text == nullptr) std::abort();
        std::memset(text, 'x', kLength);
        text[kLength] = '\0';
        limit_address_space(kHeadroom);
        util_strdup(text);
      },
      ::testing::ExitedWithCode(3), ::testing::Eq(fatal_text("strdup error")));
}

TEST(AllocDeathTest, FatalExitRunsTheCleanUpAfterTheMessage) {
  EXPECT_EXIT(
      {
        util_set_fatal_cleanup(report_cleanup);
        limit_address_space(kHeadroom);
        util_alloc(1 << 28);
      },
      ::testing::ExitedWithCode(3),
      ::testing::Eq(fatal_text("malloc error: requested 268435456 bytes") + "clean-up ran\n"));
  // A clean-up that fails in turn ends the process once more, not forever.
  EXPECT_EXIT(
      {
        util_set_fatal_cleanup(failing_cleanup);
        util_alloc(-2);
      },
      ::testing::ExitedWithCode(3),
      ::testing::Eq(fatal_text("malloc error: requested -2 bytes") +
                    fatal_text("malloc error: requested -1 bytes")));
  // Cleared: no clean-up runs.
  EXPECT_EXIT(
      {
        util_set_fatal_cleanup(report_cleanup);
        util_set_fatal_cleanup(nullptr);
        util_alloc(-1);
      },
      ::testing::ExitedWithCode(3), ::testing::Eq(fatal_text("malloc error: requested -1 bytes")));
}

TEST(AllocDeathTest, FatalExitKeepsItsStatusAndFlushesOpenStreams) {
  // A fixed name in the working directory: a re-executed child (the
  // threadsafe death-test style) must reach the same file.
  const char* path = "alloc_test_flushed.out";
  std::remove(path);
  EXPECT_EXIT(
      {
        FILE* out = std::fopen(path, "w");
        if (out == nullptr) std::abort();
        std::fputs("written so far", out);  // still in the stream's buffer
        util_fatal(5, "%s %i\n", "odd", 7);
      },
      ::testing::ExitedWithCode(5), ::testing::Eq("Unrecoverable error (5): odd 7\n\n"));
  char buffer[64] = {};
  FILE* in = std::fopen(path, "r");
  ASSERT_NE(in, nullptr);
  size_t got = std::fread(buffer, 1, sizeof buffer - 1, in);
  std::fclose(in);
  std::remove(path);
  EXPECT_EQ(std::string(buffer, got), "written so far");
}
