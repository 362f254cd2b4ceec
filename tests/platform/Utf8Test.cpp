#include "platform/Utf8.hpp"

#include <gtest/gtest.h>

using namespace pokescope;

TEST(Utf8, AcceptsWellFormedTextAndRejectsIllFormedSequences) {
    for (std::string text : {"", "plain ascii", "caf\xC3\xA9", "\xE2\x86\x92 arrow", "\xF0\x9F\x98\x80",
                             "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"})
        EXPECT_TRUE(utf8::isValid(text)) << text;
    for (std::string text : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xF5\x80\x80\x80", "\xC3", "abc\xE2\x86", "\xFF"})
        EXPECT_FALSE(utf8::isValid(text)) << testing::PrintToString(text);
}

TEST(Utf8, SanitizingReplacesEachBadByteAndKeepsTheRest) {
    EXPECT_EQ(utf8::sanitized("ok\xFFok"), "ok\xEF\xBF\xBDok");
    EXPECT_EQ(utf8::sanitized("\xC3\xA9\xC3"), "\xC3\xA9\xEF\xBF\xBD");
    EXPECT_EQ(utf8::sanitized("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(utf8::isValid(utf8::sanitized("\x80\x81\xC0\xF5 tail")));
}
