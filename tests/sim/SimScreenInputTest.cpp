// Typing into the simulated screen: hardware keys, the on-screen keyboard, Notes and Spotlight.
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

TEST_F(SimScreenInputTest, HardwareKeysTypeIntoTheNote) {
    openNote();
    EXPECT_EQ(screen.fieldText(), "");
    key(0x0B, kShift); // H
    typeKeys("i");
    key(0x36); // ,
    typeKeys(" there");
    key(0x1E, kShift); // !
    EXPECT_EQ(screen.fieldText(), "Hi, there!");
    key(kBackspace);
    key(kReturn);
    typeKeys("ok");
    EXPECT_EQ(screen.fieldText(), "Hi, there\nok");

    key(0, kShift);      // a report with modifiers only
    key(0x04, kControl); // control and option combinations type nothing
    key(0x04, kOption);
    EXPECT_EQ(screen.fieldText(), "Hi, there\nok");

    render();
    EXPECT_TRUE(shows("Hi, there"));
    EXPECT_TRUE(shows("ok"));
    EXPECT_LT(find("Hi, there")->y, find("ok")->y);
    savePng("notes");
}

TEST_F(SimScreenInputTest, PunctuationFollowsTheUsLayout) {
    openNote();
    for (int usage = 0x1E; usage <= 0x27; ++usage)
        key(usage);
    for (int usage = 0x1E; usage <= 0x27; ++usage)
        key(usage, kShift);
    for (int usage : {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38})
        key(usage);
    for (int usage : {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38})
        key(usage, kShift);
    EXPECT_EQ(screen.fieldText(), "1234567890!@#$%^&*()-=[]\\;'`,./_+{}|:\"~<>?");
    key(0x32); // not on the US layout
    key(0x65); // nor any key without a character
    EXPECT_EQ(screen.fieldText().size(), 42u);
}

TEST_F(SimScreenInputTest, ArrowsMoveTheCaretAndTabIndents) {
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
    key(kBackspace); // removes a whole character, not one byte
    key(kBackspace);
    EXPECT_EQ(screen.fieldText(), "bx\ncd\t");
}

TEST_F(SimScreenInputTest, LettersDoNothingWithoutAFocusedField) {
    open("Notes");
    typeKeys("abc");
    EXPECT_EQ(screen.fieldText(), "");
    tapAt(600, 900);
    EXPECT_EQ(screen.fieldText(), "");
    typeKeys("abc");
    tapText("Done");
    EXPECT_EQ(screen.fieldText(), ""); // nothing focused any more
    EXPECT_FALSE(shows("space"));      // the keyboard went down
    EXPECT_TRUE(shows("abc"));
    typeKeys("z");
    tapAt(600, 900);
    EXPECT_EQ(screen.fieldText(), "abc");
    key(kEscape);
    EXPECT_EQ(screen.fieldText(), "");
}

TEST_F(SimScreenInputTest, OnScreenKeyboardKeysType) {
    openNote();
    savePng("keyboard");
    for (const char* cap : {"q", "w", "a", "z", "m", "space", "return", "123"})
        EXPECT_TRUE(shows(cap)) << cap;
    EXPECT_GT(find("q")->y, 1683);
    tapText("h");
    tapText("i");
    tapText("space");
    auto shift = find("z");
    tapAt(75, shift->y + shift->height / 2.0); // shift, left of "z"
    EXPECT_TRUE(shows("Q"));
    tapText("Q");
    EXPECT_TRUE(shows("q")); // shift lasts one letter
    tapText("123");
    EXPECT_TRUE(shows("ABC"));
    tapText("7");
    tapText("ABC");
    tapText("return");
    tapAt(1107, shift->y + shift->height / 2.0); // delete, right of "m"
    tapText("x");
    EXPECT_EQ(screen.fieldText(), "hi Q7x");
}

TEST_F(SimScreenInputTest, CommandSpaceOpensSpotlightAndReturnOpensTheTopHit) {
    open("Settings");
    key(kSpace, kCommand);
    EXPECT_EQ(screen.location(), "spotlight");
    settle();
    EXPECT_TRUE(shows("Siri Suggestions"));
    typeKeys("not");
    EXPECT_EQ(screen.fieldText(), "not");
    render();
    EXPECT_TRUE(shows("Top Hit"));
    EXPECT_TRUE(shows("Notes"));
    savePng("spotlight");
    key(kReturn);
    settle();
    EXPECT_EQ(screen.location(), "Notes");
    EXPECT_EQ(screen.fieldText(), "");
}

TEST_F(SimScreenInputTest, SpotlightListsPrefixMatchesFirstAndOpensATappedResult) {
    render();
    key(kSpace, kCommand);
    key(0x10, kShift); // "M": the match ignores case
    settle();
    auto texts = screen.drawnTexts();
    std::vector<std::string> results;
    for (const DrawnText& t : texts)
        if (t.y > 400 && t.y < 1683 && t.text != "Top Hit" && t.text != "Apps")
            results.push_back(t.text);
    EXPECT_EQ(results, (std::vector<std::string>{"Messages", "Mail", "Maps", "Music", "Camera"}));
    tapText("Maps");
    EXPECT_EQ(screen.location(), "Maps");

    key(kSpace, kCommand);
    typeKeys("zzz");
    render();
    EXPECT_TRUE(shows("No Results"));
    key(kReturn);
    EXPECT_EQ(screen.location(), "spotlight");
    key(kEscape);
    EXPECT_EQ(screen.location(), "Maps");
}

TEST_F(SimScreenInputTest, SwipingDownOnTheHomeScreenOpensSpotlight) {
    render();
    drag(590, 1000, 590, 1300, 200ms);
    EXPECT_EQ(screen.location(), "spotlight");
    settle();
    tapText("Cancel");
    EXPECT_EQ(screen.location(), "home");
    drag(590, 1000, 590, 1060, 200ms); // too short
    EXPECT_EQ(screen.location(), "home");
    tapText("Search");
    EXPECT_EQ(screen.location(), "spotlight");
    key(0x0B, kCommand);
    settle();
    EXPECT_EQ(screen.location(), "home");
}

TEST_F(SimScreenInputTest, KeyboardLayersOfferDigitsAndSymbols) {
    openNote();
    tapText("123");
    for (const char* cap : {"1", "0", "-", "@", "#+=", "ABC"})
        EXPECT_TRUE(shows(cap)) << cap;
    tapText("@");
    tapText("#+=");
    EXPECT_TRUE(shows("{"));
    tapText("{");
    tapText("123");
    tapText("ABC");
    tapText("k");
    EXPECT_EQ(screen.fieldText(), "@{k");
}

TEST_F(SimScreenInputTest, SpotlightOverAnAppReturnsToItAndCommandSpaceToggles) {
    openNote();
    typeKeys("draft");
    key(kSpace, kCommand);
    EXPECT_EQ(screen.location(), "spotlight");
    EXPECT_EQ(screen.fieldText(), "");
    typeKeys("x");
    EXPECT_EQ(screen.fieldText(), "x");
    key(kSpace, kCommand);
    EXPECT_EQ(screen.location(), "Notes");
    EXPECT_EQ(screen.fieldText(), ""); // the note lost its focus to Spotlight
    tapAt(600, 900);
    EXPECT_EQ(screen.fieldText(), "draft");
}

TEST_F(SimScreenInputTest, SwipingUpFromTheBottomClosesSpotlight) {
    render();
    key(kSpace, kCommand);
    settle();
    drag(590, 2545, 590, 2300, 150ms);
    EXPECT_EQ(screen.location(), "home");
}

} // namespace

namespace {

TEST_F(SimScreenInputTest, AHardwareKeyboardHidesTheOnScreenOneButTypingAndTheCaretRemain) {
    screen.setHardwareKeyboard(true);
    open("Notes");
    tapAt(600, 900);
    EXPECT_TRUE(screen.hardwareKeyboard());
    EXPECT_FALSE(shows("space"));
    EXPECT_TRUE(shows("Done")); // the note is being edited
    key(0x0B, kShift);
    typeKeys("ello");
    EXPECT_EQ(screen.fieldText(), "Hello");
    render();
    EXPECT_TRUE(shows("Hello"));
    // The caret still blinks.
    auto next = screen.nextChange(now);
    ASSERT_TRUE(next);
    EXPECT_LE(*next - now, 500ms);
    Image lit = frame;
    now = *next;
    render();
    EXPECT_GT(differences(lit, frame), 50);

    // Unplugged while editing, the on-screen keyboard slides up; plugged again, it goes away.
    screen.setHardwareKeyboard(false);
    settle();
    EXPECT_TRUE(shows("space"));
    screen.setHardwareKeyboard(true);
    settle();
    EXPECT_FALSE(shows("space"));
    EXPECT_EQ(screen.fieldText(), "Hello");
}

} // namespace
