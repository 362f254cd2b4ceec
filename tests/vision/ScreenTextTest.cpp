// The tap-text matching rule, the item order and encoding, and how reading fails.
#include "vision/ScreenText.hpp"

#include "core/Log.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/LogLines.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope;

namespace {

std::vector<TextItem> list(std::initializer_list<const char*> texts) {
    std::vector<TextItem> items;
    int y = 100;
    for (const char* t : texts) {
        items.push_back({t, 50, y, 200, 40});
        y += 100;
    }
    return items;
}

std::string found(std::string_view query, const std::vector<TextItem>& items, int occurrence = 1) {
    auto item = ScreenText::find(query, items, occurrence);
    return item ? item->text + "@" + std::to_string(item->y) : "none";
}

TEST(ScreenTextFind, ExactBeatsPrefixBeatsContainsWhereverTheyAre) {
    const auto items = list({"About General", "General Settings", "General"});
    EXPECT_EQ(found("general", items), "General@300");
    EXPECT_EQ(found("general", items, 2), "General@300"); // only one exact match: back to the first
    EXPECT_EQ(found("GENERAL SET", items), "General Settings@200");
    EXPECT_EQ(found("about", items), "About General@100");
    EXPECT_EQ(found("neral", items), "About General@100");
    EXPECT_EQ(found("neral", items, 3), "General@300"); // three contain it, counted from the top
    EXPECT_EQ(found("neral", items, 4), "About General@100");
    EXPECT_EQ(found("Privacy", items), "none");
    EXPECT_EQ(found("general", {}), "none");
}

TEST(ScreenTextFind, QueryIsTrimmedOfSpacesAndTabsOnlyAndCaseIgnored) {
    const auto items = list({"Wi-Fi Settings", "WI-FI"});
    EXPECT_EQ(found("  Wi-Fi ", items), "WI-FI@200");
    EXPECT_EQ(found("\tWi-Fi\t", items), "WI-FI@200");
    // A line break is part of the query, so nothing matches it.
    EXPECT_EQ(found("Wi-Fi\n", items), "none");
    // The item's own spaces are kept: a padded text is no exact match.
    EXPECT_EQ(found("wi-fi", list({" Wi-Fi", "Wi-Fi Calling"})), "Wi-Fi Calling@200");
}

TEST(ScreenTextFind, OccurrenceCountsFromTheTopAndFallsBackToTheFirst) {
    const auto items = list({"On", "Off", "On", "On"});
    EXPECT_EQ(found("on", items, 1), "On@100");
    EXPECT_EQ(found("on", items, 2), "On@300");
    EXPECT_EQ(found("on", items, 3), "On@400");
    EXPECT_EQ(found("on", items, 4), "On@100");
    EXPECT_EQ(found("on", items, 0), "On@100");
    EXPECT_EQ(found("on", items, -2), "On@100");
    // Lower ranks never stand in for a missing occurrence of the best one.
    EXPECT_EQ(found("of", list({"Off", "Proof of Work"}), 2), "Off@100");
}

TEST(ScreenTextFind, EmptyQueryIsAPrefixOfEverything) {
    const auto items = list({"Settings", "Notes", ""});
    EXPECT_EQ(found("", items), "@300"); // the empty text is its one exact match
    EXPECT_EQ(found("   ", list({"Settings", "Notes"})), "Settings@100");
    EXPECT_EQ(found("", list({"Settings", "Notes"}), 2), "Notes@200");
}

TEST(ScreenTextFind, FullUnicodeLowerCasingWithoutOtherFolding) {
    const auto items = list({"ECOLE", "ÉCOLE", "ΣΟΦΊΑ"});
    EXPECT_EQ(found("école", items), "ÉCOLE@200");
    EXPECT_EQ(found("ecole", items), "ECOLE@100"); // accents must match
    EXPECT_EQ(found("σοφία", items), "ΣΟΦΊΑ@300");
    EXPECT_EQ(found("İstanbul", list({"i̇stanbul"})), "i̇stanbul@100"); // İ lower-cases to i + dot above
    EXPECT_EQ(found("wi-fi", list({"Wi–Fi"})), "none");               // an en dash is no hyphen
}

TEST(ScreenTextItems, NumbersAreTruncatedTowardZero) {
    const auto items =
        ScreenText::items({{"Settings", 100.99, 100.5, 500.7, 99.999}, {"Edge", -0.7, 2555.9, 0.4, -1.5}});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (TextItem{"Settings", 100, 100, 500, 99}));
    EXPECT_EQ(items[1], (TextItem{"Edge", 0, 2555, 0, -1}));
}

TEST(ScreenTextItems, SortedTopToBottomThenLeftToRightStably) {
    const auto items = ScreenText::items({{"lower left", 10, 201, 50, 30},
                                          {"right", 600, 200, 50, 30},
                                          {"left", 40.8, 200.2, 50, 30},
                                          {"top", 900, 50, 50, 30},
                                          {"twin b", 40, 200, 60, 30},
                                          {"twin c", 40, 200, 70, 30}});
    std::vector<std::string> order;
    for (const auto& item : items)
        order.push_back(item.text);
    // "left" truncates to (40, 200) like the twins and keeps its place among them.
    EXPECT_EQ(order, (std::vector<std::string>{"top", "left", "twin b", "twin c", "right", "lower left"}));
}

TEST(ScreenTextItems, EncodeWithExactlyTheFiveKeys) {
    const nlohmann::json j = TextItem{"Wi-Fi", 229, 1129, 122, 39};
    EXPECT_EQ(j.dump(), R"({"height":39,"text":"Wi-Fi","width":122,"x":229,"y":1129})");
    EXPECT_EQ(j.get<TextItem>(), (TextItem{"Wi-Fi", 229, 1129, 122, 39}));
    EXPECT_THROW(nlohmann::json({{"text", "a"}, {"x", 1}}).get<TextItem>(), nlohmann::json::exception);
}

class ScriptedRecognizer : public TextRecognizer {
public:
    std::vector<RecognizedText> result;
    bool fail = false;
    int calls = 0;
    std::vector<RecognizedText> recognize(const Image&) override {
        ++calls;
        if (fail)
            throw TextRecognitionError("the model is missing");
        return result;
    }
};

class ScreenTextReadFailure : public testing::Test {
protected:
    test::TempHome home;
    ScriptedRecognizer recognizer;

    static bool logged(const std::string& text) { return test::logged(text); }
};

TEST_F(ScreenTextReadFailure, RecognitionErrorGivesAnEmptyListAndALogLine) {
    recognizer.result = {{"Settings", 1, 2, 3, 4}};
    Image frame(40, 20, Image::Format::bgra);
    EXPECT_EQ(ScreenText::read(frame, recognizer).size(), 1u);
    recognizer.fail = true;
    EXPECT_TRUE(ScreenText::read(frame, recognizer).empty());
    EXPECT_TRUE(logged("ScreenText: text recognition failed: the model is missing"));
}

TEST_F(ScreenTextReadFailure, FramesOfAnotherFormatOrEmptyAreRejectedBeforeRecognition) {
    recognizer.result = {{"Settings", 1, 2, 3, 4}};
    EXPECT_TRUE(ScreenText::read(Image(40, 20, Image::Format::rgb), recognizer).empty());
    EXPECT_TRUE(logged("ScreenText: cannot read a RGB frame of 40x20 pixels; expected BGRA"));
    EXPECT_TRUE(ScreenText::read(Image(), recognizer).empty());
    EXPECT_TRUE(logged("ScreenText: cannot read a BGRA frame of 0x0 pixels; expected BGRA"));
    EXPECT_EQ(recognizer.calls, 0);
    // The real recogniser refuses them too, rather than reading garbage.
    EXPECT_THROW(TextRecognizer::system()->recognize(Image(40, 20, Image::Format::gray)),
                 TextRecognitionError);
}

} // namespace
