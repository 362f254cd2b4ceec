// Typing into the simulated screen as a hardware keyboard does: the US layout the engine's key map
// targets, the caret keys, Spotlight, and text that is not UTF-8.
#include "tests/sim/SimScreenFixture.hpp"

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

constexpr int kShift = 0x02, kCommand = 0x08, kControl = 0x01, kOption = 0x04;
constexpr int kReturn = 0x28, kEscape = 0x29, kBackspace = 0x2A, kTab = 0x2B, kSpace = 0x2C;
constexpr int kRight = 0x4F, kLeft = 0x50, kDown = 0x51, kUp = 0x52;

class SimScreenInputTest : public SimScreenFixture {
protected:
    void openNote() {
        open("Notes");
        tapAt(600, 900);
        ASSERT_TRUE(shows("return"));
    }
    void typeKeys(const std::string& letters) {
        for (char c : letters)
            key(c == ' ' ? kSpace : 0x04 + (c - 'a'));
    }
};

TEST_F(SimScreenInputTest, KeysTypeTheUsLayoutAndModifierCombinationsTypeNothing) {
    openNote();
    key(0x0B, kShift); // H
    typeKeys("i");
    key(0x36); // ,
    typeKeys(" there");
    key(0x1E, kShift); // !
    EXPECT_EQ(screen.fieldText(), "Hi, there!");
    key(kBackspace);
    key(kReturn);
    typeKeys("ok");
    key(0, kShift);      // a report with modifiers only
    key(0x04, kControl); // control and option combinations type nothing
    key(0x04, kOption);
    EXPECT_EQ(screen.fieldText(), "Hi, there\nok");

    key(kReturn);
    for (int usage = 0x1E; usage <= 0x27; ++usage)
        key(usage);
    for (int usage = 0x1E; usage <= 0x27; ++usage)
        key(usage, kShift);
    for (int usage : {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38})
        key(usage);
    for (int usage : {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38})
        key(usage, kShift);
    EXPECT_EQ(screen.fieldText(), "Hi, there\nok\n1234567890!@#$%^&*()-=[]\\;'`,./_+{}|:\"~<>?");
    key(0x32); // not on the US layout
    key(0x65); // nor any key without a character
    EXPECT_EQ(screen.fieldText().size(), 13u + 42u);
}

TEST_F(SimScreenInputTest, ArrowsMoveTheCaretAndBackspaceTakesWholeCharacters) {
    openNote();
    typeKeys("ab");
    key(kReturn);
    typeKeys("cd");
    key(kUp);
    typeKeys("x"); // "ab" line, second column
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

TEST_F(SimScreenInputTest, AHardwareKeyboardHidesTheOnScreenOneButTypingRemains) {
    screen.setHardwareKeyboard(true);
    open("Notes");
    tapAt(600, 900);
    EXPECT_FALSE(shows("space"));
    EXPECT_TRUE(shows("Done")); // the note is being edited
    key(0x0B, kShift);
    typeKeys("ello");
    EXPECT_EQ(screen.fieldText(), "Hello");

    // Unplugged while editing, the on-screen keyboard slides up; plugged again, it goes away.
    screen.setHardwareKeyboard(false);
    settle();
    EXPECT_TRUE(shows("space"));
    screen.setHardwareKeyboard(true);
    settle();
    EXPECT_FALSE(shows("space"));
    EXPECT_EQ(screen.fieldText(), "Hello");
}

// The agent's open_app goes through Spotlight: Command-Space, the app's name, Return.
TEST_F(SimScreenInputTest, CommandSpaceOpensSpotlightAndReturnOpensTheTopHit) {
    openNote();
    key(kSpace, kCommand);
    EXPECT_EQ(screen.location(), "spotlight");
    key(kEscape);
    EXPECT_EQ(screen.location(), "Notes");
    screen.goHome(now);
    settle();
    key(kSpace, kCommand);
    typeKeys("not");
    render();
    key(kReturn);
    settle();
    EXPECT_EQ(screen.location(), "Notes");
}

} // namespace
