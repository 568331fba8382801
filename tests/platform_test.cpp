// The small layer that stands in for the runtime: folding comparison and the
// stamp's time text.
#include "support/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/text.h"

namespace {

TEST(Text, ComparisonFoldsOnlyAsciiLettersAndKeepsTheMagnitude) {
  EXPECT_EQ(text_icompare("General:Foo", "GENERAL:FOO"), 0);
  EXPECT_EQ(text_icompare("Warbird", "Javelin"), 'w' - 'j');
  EXPECT_EQ(text_icompare("S", "Shark"), -'h');
  // '[' (0x5B) is not a letter: it compares as itself against '{' (0x7B).
  EXPECT_EQ(text_icompare("[", "{"), 0x5B - 0x7B);
  // Bytes above 0x7F compare as unsigned and are never folded.
  EXPECT_EQ(text_icompare("\xC4", "a"), 0xC4 - 'a');
  EXPECT_EQ(text_icompare("\xC4", "\xE4"), 0xC4 - 0xE4);
}

TEST(Platform, TimeTextHasALeadingZeroDayAndEnglishNames) {
  const char* old = std::getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  char text[kTimeTextChars + 1];
  format_local_time(text, 0);
  EXPECT_STREQ(text, "Thu Jan 01 00:00:00 1970");
  format_local_time(text, 1796713509);
  EXPECT_STREQ(text, "Tue Dec 08 07:05:09 2026");
  // The last weekday of the week's table: a weekday taken modulo 6 would
  // make every Saturday a Sunday.
  format_local_time(text, 2 * 86400);
  EXPECT_STREQ(text, "Sat Jan 03 00:00:00 1970");
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
