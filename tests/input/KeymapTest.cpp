#include "input/Keymap.hpp"

#include <gtest/gtest.h>

using namespace pokescope;
using Keymap::KeyUsage;

TEST(Keymap, EveryPrintableAsciiCharacterHasAUsage) {
    for (int c = 32; c < 127; ++c)
        EXPECT_TRUE(Keymap::usage(std::string(1, static_cast<char>(c)))) << c;
    EXPECT_EQ(Keymap::usage("a"), (KeyUsage{0x04, false}));
    EXPECT_EQ(Keymap::usage("z"), (KeyUsage{0x1D, false}));
    EXPECT_EQ(Keymap::usage("A"), (KeyUsage{0x04, true}));
    EXPECT_EQ(Keymap::usage("1"), (KeyUsage{0x1E, false}));
    EXPECT_EQ(Keymap::usage("0"), (KeyUsage{0x27, false}));
    EXPECT_EQ(Keymap::usage("!"), (KeyUsage{0x1E, true}));
    EXPECT_EQ(Keymap::usage("@"), (KeyUsage{0x1F, true}));
    EXPECT_EQ(Keymap::usage("?"), (KeyUsage{0x38, true}));
    EXPECT_EQ(Keymap::usage("\t"), (KeyUsage{0x2B, false}));
    EXPECT_EQ(Keymap::usage("\n"), (KeyUsage{0x28, false}));
    EXPECT_EQ(Keymap::usage("\r\n"), (KeyUsage{0x28, false}));
}

TEST(Keymap, WhatAUsKeyboardCannotTypeHasNone) {
    EXPECT_FALSE(Keymap::usage("\x7F"));
    EXPECT_FALSE(Keymap::usage("\x01"));
    EXPECT_FALSE(Keymap::usage("é"));
    EXPECT_FALSE(Keymap::usage("e\xCC\x81")); // e + combining acute: one character, not a bare e
    EXPECT_FALSE(Keymap::usage(""));
}

TEST(Keymap, TextSplitsIntoUserPerceivedCharacters) {
    EXPECT_EQ(Keymap::graphemes("Hi!\r\n"), (std::vector<std::string>{"H", "i", "!", "\r\n"}));
    EXPECT_EQ(Keymap::graphemes("e\xCC\x81x"), (std::vector<std::string>{"e\xCC\x81", "x"}));
    EXPECT_TRUE(Keymap::graphemes("").empty());
}

TEST(Keymap, NamedKeysAndLabels) {
    EXPECT_EQ(Keymap::named().size(), 12u);
    EXPECT_EQ(Keymap::named().at("return"), 0x28);
    EXPECT_EQ(Keymap::named().at("up"), 0x52);
    EXPECT_EQ(Keymap::label("cmd+space"), "⌘ Space");
    EXPECT_EQ(Keymap::label("ctrl+alt+delete"), "⌃ ⌥ Delete ⌫");
    EXPECT_EQ(Keymap::label("return"), "Return ↩");
    EXPECT_EQ(Keymap::label("shift++a"), "⇧ A");
    EXPECT_EQ(Keymap::label("f5"), "F5");
}
