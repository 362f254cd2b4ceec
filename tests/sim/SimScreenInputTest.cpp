// Typing into the simulated screen as a hardware keyboard does: every character the engine's key map
// types arrives as itself, the caret keys, and text that is not UTF-8.
#include "input/Keymap.hpp"
#include "tests/sim/SimScreenFixture.hpp"

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

constexpr int kShift = 0x02, kControl = 0x01, kOption = 0x04;
constexpr int kReturn = 0x28, kBackspace = 0x2A, kTab = 0x2B;
constexpr int kRight = 0x4F, kLeft = 0x50, kDown = 0x51, kUp = 0x52;

class SimScreenInputTest : public SimScreenFixture {
protected:
    void SetUp() override {
        open("Notes");
        tapAt(600, 900);
        ASSERT_TRUE(shows("return"));
    }
    void type(const std::string& text) {
        for (const auto& character : Keymap::graphemes(text)) {
            auto usage = Keymap::usage(character);
            ASSERT_TRUE(usage) << character;
            key(usage->usage, usage->shift ? kShift : 0);
        }
    }
};

TEST_F(SimScreenInputTest, EveryCharacterOfTheKeyMapTypesItselfAndModifierCombinationsTypeNothing) {
    std::string printable;
    for (char c = ' '; c <= '~'; ++c)
        printable += c;
    type(printable + "\n\t");
    key(0, kShift);      // a report with modifiers only
    key(0x04, kControl); // control and option combinations type nothing
    key(0x04, kOption);
    key(0x32); // not on the US layout
    key(0x65); // nor any key without a character
    EXPECT_EQ(screen.fieldText(), printable + "\n\t");
}

TEST_F(SimScreenInputTest, ArrowsMoveTheCaretAndBackspaceTakesWholeCharacters) {
    type("ab\ncd");
    key(kUp);
    type("x"); // "ab" line, second column
    EXPECT_EQ(screen.fieldText(), "abx\ncd");
    key(kLeft);
    key(kLeft);
    key(kBackspace);
    EXPECT_EQ(screen.fieldText(), "bx\ncd");
    key(kDown); // to the start of "cd"
    key(kRight);
    key(kRight);
    key(kTab);
    EXPECT_EQ(screen.fieldText(), "bx\ncd\t");
    screen.typeText("é!", now);
    key(kBackspace);
    key(kBackspace);
    EXPECT_EQ(screen.fieldText(), "bx\ncd\t");

    // Bytes that are not UTF-8 arrive as replacement characters, each removed whole.
    screen.typeText("a\xFF\xFE"
                    "b",
                    now);
    EXPECT_EQ(screen.fieldText(), "bx\ncd\ta\xEF\xBF\xBD\xEF\xBF\xBD"
                                  "b");
    key(kBackspace);
    key(kBackspace);
    EXPECT_EQ(screen.fieldText(), "bx\ncd\ta\xEF\xBF\xBD");
    screen.showBanner("bad \xC3 byte");
    render();
    EXPECT_TRUE(shows("bad \xEF\xBF\xBD byte"));
}

} // namespace
