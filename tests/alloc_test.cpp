#include "support/alloc.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// A fixed name in the working directory: a re-executed child (the
// threadsafe death-test style) must reach the same file.
const char kFlushed[] = "alloc_test_flushed.out";

}  // namespace

TEST(Alloc, BlocksAreZeroFilledEvenWhenReused) {
  for (int32_t size : {0, 1, 7, 64, 4096, 1 << 20}) {
    auto* bytes = static_cast<unsigned char*>(util_alloc(size));
    ASSERT_NE(bytes, nullptr);  // zero bytes too
    std::memset(bytes, 0xAB, static_cast<size_t>(size));
    util_free(bytes);
    bytes = static_cast<unsigned char*>(util_alloc(size));
    for (int32_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << "size " << size << " at " << i;
    util_free(bytes);
  }
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

// Every fatal exit: the message with the request (as a signed count), the
// status, the clean-up after the message, and open streams flushed.
TEST(AllocDeathTest, FatalExitsPrintTheirMessageAndStatus) {
  struct Case {
    void (*body)();
    int status;
    std::string message;
  };
  const Case cases[] = {
      {[] {
         limit_address_space(kHeadroom);
         util_alloc(INT32_MAX);
       },
       3, fatal_text("malloc error: requested 2147483647 bytes")},
      {[] {
         // The text exists before the cap; only its copy cannot be had.
         constexpr size_t kLength = size_t{128} << 20;
         auto* text = static_cast<char*>(std::malloc(kLength + 1));
         if (text == nullptr) std::abort();
         std::memset(text, 'x', kLength);
         text[kLength] = '\0';
         limit_address_space(kHeadroom);
         util_strdup(text);
       },
       3, fatal_text("strdup error")},
      {[] {
         util_set_fatal_cleanup(report_cleanup);
         limit_address_space(kHeadroom);
         util_alloc(1 << 28);
       },
       3, fatal_text("malloc error: requested 268435456 bytes") + "clean-up ran\n"},
      // A clean-up that fails in turn ends the process once more, not forever.
      {[] {
         util_set_fatal_cleanup(failing_cleanup);
         util_alloc(-2);
       },
       3,
       fatal_text("malloc error: requested -2 bytes") +
           fatal_text("malloc error: requested -1 bytes")},
      // Cleared: no clean-up runs.
      {[] {
         util_set_fatal_cleanup(report_cleanup);
         util_set_fatal_cleanup(nullptr);
         util_alloc(-1);
       },
       3, fatal_text("malloc error: requested -1 bytes")},
      {[] {
         FILE* out = std::fopen(kFlushed, "w");
         if (out == nullptr) std::abort();
         std::fputs("written so far", out);  // still in the stream's buffer
         util_fatal(5, "%s %i\n", "odd", 7);
       },
       5, "Unrecoverable error (5): odd 7\n\n"},
  };
  std::remove(kFlushed);
  for (const Case& c : cases) {
    EXPECT_EXIT(c.body(), ::testing::ExitedWithCode(c.status), ::testing::Eq(c.message));
  }
  char buffer[64] = {};
  FILE* in = std::fopen(kFlushed, "r");
  ASSERT_NE(in, nullptr);
  size_t got = std::fread(buffer, 1, sizeof buffer - 1, in);
  std::fclose(in);
  std::remove(kFlushed);
  EXPECT_EQ(std::string(buffer, got), "written so far");
}
