// The calibration file: what is accepted, what is ignored with a line in the log, and atomic writes.
#include "input/Calibration.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pokescope;
using namespace pokescope::test;

TEST(CalibrationFile, RoundTripsAndLeavesOutAbsentValues) {
    TempFolder folder;
    auto file = folder.path() / "deep" / "calibration.json";
    Calibration c{2.5, 2.25, 12, 40, Calibration::Curve{{0, 12}, {24, 70}, {48, 130}}, std::nullopt, 1170, 0.9, 2};
    std::string failure;
    ASSERT_TRUE(c.save(file, failure)) << failure;
    auto json = nlohmann::json::parse(readFile(file));
    EXPECT_FALSE(json.contains("curveY"));
    EXPECT_EQ(json["fineStep"], 2);
    EXPECT_EQ(json["curveX"][1], nlohmann::json::array({24, 70}));
    EXPECT_EQ(readFile(file).find('\n'), std::string::npos); // no pretty printing
    std::vector<std::string> lines;
    auto loaded = Calibration::load(file, [&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, c);
    EXPECT_TRUE(lines.empty());
    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);
}

TEST(CalibrationFile, AnythingCalibrationCouldNotHaveMadeCountsAsAbsent) {
    TempFolder folder;
    auto file = folder.path() / "calibration.json";
    const std::string good = R"("gainX": 2, "gainY": 2, "offsetX": 0, "offsetY": 0)";
    for (const std::string& text :
         {std::string("{not json"), std::string("[1, 2]"), std::string(R"({"gainX": 2})"),
          "{" + std::string(R"("gainX": 0.05, "gainY": 2, "offsetX": 0, "offsetY": 0)") + "}",
          "{" + std::string(R"("gainX": 30, "gainY": 2, "offsetX": 0, "offsetY": 0)") + "}",
          "{" + std::string(R"("gainX": "2", "gainY": 2, "offsetX": 0, "offsetY": 0)") + "}",
          "{" + std::string(R"("gainX": 1e400, "gainY": 2, "offsetX": 0, "offsetY": 0)") + "}",
          "{" + good + R"(, "curveX": [[1, 2, 3]])" + "}", "{" + good + R"(, "curveY": [[1]])" + "}",
          "{" + good + R"(, "curveX": [["a", 2]])" + "}", "{" + good + R"(, "curveX": 5)" + "}",
          "{" + good + R"(, "fineGain": 0)" + "}", "{" + good + R"(, "fineGain": -1)" + "}",
          "{" + good + R"(, "fineStep": 1)" + "}", "{" + good + R"(, "fineStep": 9)" + "}",
          "{" + good + R"(, "fineStep": 2.5)" + "}", "{" + good + R"(, "rightX": "far")" + "}"}) {
        writeFile(file, text);
        std::vector<std::string> lines;
        EXPECT_FALSE(Calibration::load(file, [&](const std::string& line) { lines.push_back(line); })) << text;
        ASSERT_EQ(lines.size(), 1u) << text;
        EXPECT_TRUE(lines[0].starts_with("input: ignoring ")) << lines[0];
    }
    writeFile(file, "{" + good + "}");
    auto plain = Calibration::load(file, {});
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->rightX);
    EXPECT_FALSE(plain->fineGain);
    EXPECT_FALSE(plain->fineStep);
    EXPECT_FALSE(Calibration::load(folder.path() / "missing.json", {}));
}
