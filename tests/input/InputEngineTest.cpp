// The input engine on a phone with a virtual clock: calibration's rules, moves and their corrections,
// the exact reports of travel, gestures and keys, and what happens when the link goes away.
#include "FakePhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using ErrorCase = InputEngine::ErrorCase;

namespace {

class EngineTest : public testing::Test {
protected:
    VirtualTimer timer;
    std::shared_ptr<FakePhone> phone = std::make_shared<FakePhone>(timer);
    TempFolder folder;
    std::filesystem::path file = folder.path() / "Pokescope" / "calibration.json";
    std::vector<std::string> lines;
    std::vector<ActionMark> marks;
    std::vector<TextItem> texts;
    std::unique_ptr<InputEngine> engine;

    void SetUp() override { make(); }
    void make() {
        InputEngine::Options options;
        options.calibrationFile = file;
        options.log = [this](const std::string& line) { lines.push_back(line); };
        options.timer = &timer;
        options.readText = [this](const Image&) { return texts; };
        engine = std::make_unique<InputEngine>(phone, phone, options);
        engine->setMarkSink([this](const ActionMark& mark) { marks.push_back(mark); });
    }
    ErrorCase failure(const std::function<void()>& action) {
        try {
            action();
        } catch (const InputEngine::InputError& error) {
            EXPECT_EQ(error.what(), InputEngine::InputError::text(error.which));
            return error.which;
        }
        ADD_FAILURE() << "no input error";
        return ErrorCase::notConnected;
    }
    bool logged(const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.starts_with(prefix); });
    }
    static Calibration linear(double gain) {
        return Calibration{gain, gain, 0, 0, std::nullopt, std::nullopt, 1178, 1.5};
    }
    std::vector<std::vector<int>> pointerBytes(std::size_t from = 0) const {
        std::vector<std::vector<int>> out;
        auto reports = phone->pointerReports();
        for (std::size_t i = from; i < reports.size(); ++i)
            out.push_back({reports[i].first, reports[i].dx, reports[i].dy});
        return out;
    }
};

} // namespace

TEST_F(EngineTest, CalibrationMeasuresGainsParksAndFineSteps) {
    Calibration c = engine->calibrate();
    EXPECT_NEAR(c.gainX, 2.0, 0.1);
    EXPECT_NEAR(c.gainY, 1.8, 0.1); // the last Y sample is stopped by the bottom edge
    // In a corner only part of the disc shows, so the park points are seen a little inside the screen.
    EXPECT_NEAR(c.offsetX, 0, 30);
    EXPECT_NEAR(c.offsetY, 0, 30);
    ASSERT_TRUE(c.rightX);
    EXPECT_NEAR(*c.rightX, 1178, 30); // found with the wiggle mirrored: the pointer is pinned at the edge
    ASSERT_TRUE(c.fineGain);
    EXPECT_NEAR(*c.fineGain, 1.5, 0.1);
    ASSERT_TRUE(c.curveX && c.curveY);
    EXPECT_EQ(c.curveX->front().first, 0);
    // X stops once it passes 85 % of the width (520 units → 1040 px); Y goes on alone.
    EXPECT_EQ(c.curveX->back().first, 520);
    EXPECT_GT(c.curveY->size(), c.curveX->size());
    EXPECT_EQ(engine->calibration(), c);
    EXPECT_FALSE(engine->pointer());
    EXPECT_TRUE(logged("input: calibration sample 24 units -> "));
    EXPECT_TRUE(logged("input: fine gain 1.") && logged("input: fine gain ") && !logged("input: fine gain ?"));
    EXPECT_TRUE(logged("input: right park at 11"));
    EXPECT_TRUE(logged("input: calibrated "));
    // Stored, and read back by the next engine.
    auto stored = Calibration::load(file, {});
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, c);
    make();
    EXPECT_EQ(engine->calibration(), c);
}

TEST_F(EngineTest, TooFastPointersAndInvisiblePointersFailWithoutTouchingTheOldCalibration) {
    engine->setCalibration(linear(2));
    std::string failed;
    ASSERT_TRUE(linear(2).save(file, failed)); // the file a previous run left
    const std::string before = readFile(file);

    phone->coarse = 40; // the first sample lands beyond 60 % of the width
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::tooFast);
    phone->coarse = 2;
    phone->showPointer = false;
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::pointerNotFound);

    EXPECT_EQ(engine->calibration(), linear(2));
    EXPECT_EQ(readFile(file), before);
    EXPECT_TRUE(engine->landed()[0].empty());
}

// When no frame follows the first nudge, nothing moved with it: detection gives up at once and puts the
// pointer back where it was, instead of wiggling twice more at an unchanging screen.
TEST_F(EngineTest, DetectionStopsAfterOneNudgeWhenTheScreenStaysStill) {
    phone->showPointer = false;
    engine->locatePointer(std::nullopt); // the first frame is drawn
    const auto from = phone->pointerReports().size();
    const auto started = timer.now();
    EXPECT_FALSE(engine->locatePointer(std::nullopt));
    EXPECT_EQ(pointerBytes(from), (std::vector<std::vector<int>>{{0, 10, 0}, {0, -10, 0}}));
    EXPECT_LT(timer.now() - started, 1500ms); // three cycles would take more than two seconds

    // A pointer that shows moves the screen with every nudge: all three cycles run and it is found.
    phone->showPointer = true;
    engine->locatePointer(std::nullopt);
    const auto again = phone->pointerReports().size();
    EXPECT_TRUE(engine->locatePointer(std::nullopt));
    EXPECT_EQ(pointerBytes(again).size(), 4u);
}

TEST_F(EngineTest, SingleStepsOfMoreThanFourteenPixelsAreTooFast) {
    // Single steps are measured over 30 units near the first point, within a quarter of the frame's
    // width: on a wide frame 30 steps of 15 px stay within reach.
    phone = std::make_shared<FakePhone>(timer, 2400, 2556);
    phone->fine = 15;
    make();
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::tooFast);
    auto line = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("input: fine gain "); });
    ASSERT_NE(line, lines.end());
    EXPECT_NEAR(std::stod(line->substr(17)), 15, 0.5) << *line;
    EXPECT_TRUE(line->ends_with(" px/unit"));
    EXPECT_FALSE(engine->calibration());
}

TEST_F(EngineTest, NothingRunsWithoutALinkAFrameOrACalibration) {
    phone->linkReady = false;
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::notConnected);
    EXPECT_EQ(failure([&] { engine->type("x"); }), ErrorCase::notConnected);
    EXPECT_EQ(failure([&] { engine->goHome(); }), ErrorCase::notConnected);
    phone->linkReady = true;
    phone->showScreen = false;
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::noScreen);
    EXPECT_EQ(failure([&] { engine->back(); }), ErrorCase::noScreen);
    phone->showScreen = true;
    EXPECT_EQ(failure([&] { engine->moveTo({100, 100}, true, 0); }), ErrorCase::notCalibrated);
    EXPECT_EQ(failure([&] { engine->swipe({100, 100}, {300, 100}, 300); }), ErrorCase::notCalibrated);
    EXPECT_TRUE(phone->reports.empty());
}

TEST_F(EngineTest, MovesLandWithinTwelvePixelsAndLearnFromEachOther) {
    phone->coarse = 2.6; // the calibration is off by 30 %: the correction loop must fix it
    engine->setCalibration(linear(2));
    for (PointD target : {PointD{300, 500}, PointD{200, 2000}, PointD{900, 1200}, PointD{1100, 300}}) {
        engine->moveTo(target, true, 0);
        EXPECT_NEAR(phone->position().x, target.x, 12) << target.x << "," << target.y;
        EXPECT_NEAR(phone->position().y, target.y, 12) << target.x << "," << target.y;
        ASSERT_TRUE(engine->pointer());
    }
    EXPECT_FALSE(engine->landed()[1].empty());
    EXPECT_TRUE(logged("input: move to 300,500 with "));
}

TEST_F(EngineTest, RightHandTargetsParkRightAndTravelLeft) {
    engine->setCalibration(linear(2));
    engine->moveTo({0.6 * 1179, 400}, false, 0);
    auto reports = pointerBytes();
    ASSERT_GE(reports.size(), 46u);
    EXPECT_EQ(reports[0], (std::vector<int>{0, 127, -127}));
    EXPECT_EQ(reports[45], (std::vector<int>{0, -8, 0}));
    EXPECT_NEAR(phone->position().x, 0.6 * 1179, 4);
    EXPECT_EQ(engine->pointer(), (PointD{0.6 * 1179, 400}));
}

TEST_F(EngineTest, TravelSendsEightUnitsAReportAndOneAxisAtATimeWithoutAButton) {
    engine->travel(20, 0, 0);
    EXPECT_EQ(pointerBytes(), (std::vector<std::vector<int>>{{0, 8, 0}, {0, 8, 0}, {0, 4, 0}}));
    auto start = phone->reports.size();
    engine->travel(5, 5, 0);
    auto reports = phone->pointerReports();
    ASSERT_EQ(reports.size(), start + 2);
    EXPECT_EQ(pointerBytes(start), (std::vector<std::vector<int>>{{0, 5, 0}, {0, 0, 5}}));
    EXPECT_EQ(reports[start + 1].at - reports[start].at, 8ms + 200ms);
    start = reports.size();
    engine->travel(5, 5, 1);
    EXPECT_EQ(pointerBytes(start), (std::vector<std::vector<int>>{{1, 5, 5}}));
    start = phone->pointerReports().size();
    engine->travel(0, 0, 0);
    EXPECT_EQ(phone->pointerReports().size(), start);
}

TEST_F(EngineTest, UnitsUseWhatLandedThenTheCurveThenTheAverage) {
    Calibration c{2, 3, 10, 20, Calibration::Curve{{0, 10}, {100, 210}}, std::nullopt, std::nullopt, std::nullopt};
    engine->setCalibration(c);
    EXPECT_EQ(engine->units(410, 0, 2, 10), 200); // extrapolated on the only segment
    EXPECT_EQ(engine->units(5, 0, 2, 10), 0);     // below the park point
    EXPECT_EQ(engine->units(320, 1, 3, 20), 100); // no Y curve: (320 − 20) / 3
    EXPECT_EQ(engine->units(21.5, 1, 3, 20), 1);  // 0.5 rounds away from zero
    engine->remember(50, 0, 100);
    engine->remember(150, 0, 400);
    engine->remember(0, 0, 9999); // ignored
    EXPECT_EQ(engine->units(250, 0, 2, 10), 100); // between the two remembered moves
    EXPECT_EQ(engine->units(500, 0, 2, 10), 245); // beyond them: the curve
    engine->remember(150, 0, 300);                // the same units replace the old result
    ASSERT_EQ(engine->landed()[0].size(), 2u);
    EXPECT_EQ(engine->landed()[0][1], (std::pair<int, double>{150, 300}));
    for (int u = 1; u <= 60; ++u)
        engine->remember(u * 10, 1, u * 30.0);
    EXPECT_EQ(engine->landed()[1].size(), 40u);
    EXPECT_EQ(engine->landed()[1].front().first, 210);
}

TEST_F(EngineTest, KeysAndTextSendTheExactReportsAndMarks) {
    engine->press("Cmd + Space");
    engine->press("?");
    std::vector<std::vector<int>> got;
    for (const auto& r : phone->reports)
        got.push_back({r.first, r.usages.empty() ? 0 : r.usages[0]});
    EXPECT_EQ(got, (std::vector<std::vector<int>>{
                       {8, 0}, {8, 0x2C}, {8, 0}, {0, 0}, {0, 0}, {0, 0x38}, {0, 0}, {0, 0}}));
    EXPECT_EQ(phone->reports[2].at - phone->reports[1].at, 60ms);
    phone->reports.clear();
    engine->type("Hi!");
    got.clear();
    for (const auto& r : phone->reports)
        got.push_back({r.first, r.usages.empty() ? 0 : r.usages[0]});
    EXPECT_EQ(got, (std::vector<std::vector<int>>{{2, 0x0B}, {0, 0}, {0, 0x0C}, {0, 0}, {2, 0x1E}, {0, 0}}));
    EXPECT_EQ(phone->reports[1].at - phone->reports[0].at, 30ms);
    EXPECT_EQ(phone->reports[2].at - phone->reports[1].at, 50ms);
    phone->reports.clear();
    engine->goHome();
    ASSERT_EQ(phone->reports.size(), 4u);
    EXPECT_EQ(phone->reports[1].usages, std::vector<std::uint8_t>{0x0B});
    EXPECT_EQ(phone->reports[1].first, 0x08);
    ASSERT_EQ(marks.size(), 4u);
    EXPECT_EQ(marks[0].text, "⌘ Space");
    EXPECT_EQ(marks[2].text, "⌨  Hi!");
    EXPECT_EQ(marks[3].text, "Home");
}

TEST_F(EngineTest, UnknownKeysAndModifiersSendNothing) {
    auto general = [&](const std::string& key) {
        try {
            engine->press(key);
        } catch (const InputEngine::GeneralError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(general("hyper+a"), "Unknown modifier hyper");
    EXPECT_EQ(general("f13"), "Unknown key f13");
    EXPECT_EQ(general("é"), "Unknown key é");
    std::size_t marksBefore = marks.size();
    EXPECT_EQ(general(""), "Unknown key ");
    EXPECT_EQ(general("+"), "Unknown key +");
    EXPECT_EQ(general("  "), "Unknown key   ");
    EXPECT_EQ(marks.size(), marksBefore); // nothing to show for a key that has no pieces
    EXPECT_TRUE(phone->reports.empty());
}

TEST_F(EngineTest, LongTextCaptionsAreCutAtCharactersNotBytes) {
    engine->type(std::string(39, 'a') + "éé");
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].text, "⌨  " + std::string(39, 'a') + "é…");
}

TEST_F(EngineTest, SwipesAndLongPressesKeepTheirTiming) {
    engine->setCalibration(linear(2));
    engine->swipe({300, 1000}, {500, 1000}, 600); // 100 units: 12 steps of 8 or 9
    auto reports = phone->pointerReports();
    std::vector<FakePhone::Report> held;
    for (const auto& r : reports)
        if (r.first == 1 && (r.dx != 0 || r.dy != 0))
            held.push_back(r);
    ASSERT_EQ(held.size(), 12u);
    int sum = 0;
    for (const auto& r : held) {
        EXPECT_TRUE(r.dx == 8 || r.dx == 9) << r.dx;
        sum += r.dx;
    }
    EXPECT_EQ(sum, 100);
    EXPECT_EQ(held[1].at - held[0].at, 50ms);
    EXPECT_EQ(reports.back().first, 0);
    EXPECT_EQ(marks.back().kind, ActionMark::Kind::swipe);

    auto holdTime = [&](double seconds) {
        engine->longPress({400, 800}, seconds);
        auto r = phone->pointerReports();
        return r[r.size() - 1].at - r[r.size() - 2].at;
    };
    EXPECT_EQ(holdTime(2.5), 2500ms);
    EXPECT_EQ(holdTime(std::nan("")), 0ms);
    EXPECT_EQ(holdTime(-3), 0ms);
    EXPECT_EQ(marks.back().kind, ActionMark::Kind::press);
}

TEST_F(EngineTest, ALostLinkMidwayThrowsAndReleasesTheButton) {
    engine->setCalibration(linear(2));
    phone->passingFailures = 1; // one failed write on a link that stays up is tried again
    engine->type("ab");
    EXPECT_EQ(phone->reports.size(), 4u);

    // The link fails for good while the finger is down in a swipe: an error, and a release is tried.
    phone->failAfterHeld = 4;
    EXPECT_EQ(failure([&] { engine->swipe({300, 1000}, {300, 1400}, 300); }), ErrorCase::notConnected);
    ASSERT_FALSE(phone->attempts.empty());
    EXPECT_EQ(phone->attempts.back().first, 0);
    EXPECT_EQ(phone->attempts.back().dy, 0);
    phone->linkReady = true; // the link comes back; the next request works
    phone->reports.clear();
    engine->type("c");
    EXPECT_EQ(phone->reports.size(), 2u);
}

TEST_F(EngineTest, BackTapsAReadableBackButtonOrSwipesFromTheEdge) {
    engine->setCalibration(linear(2));
    phone->clicksChangePage = true;
    texts = {TextItem{"9:41", 100, 40, 120, 50}, TextItem{"‹ Settings", 40, 190, 200, 50},
             TextItem{"General", 400, 190, 300, 50}};
    engine->back();
    EXPECT_EQ(engine->lastBackMethod(), "tapped \"‹ Settings\"");
    EXPECT_NEAR(phone->position().x, 140, 12);
    EXPECT_NEAR(phone->position().y, 215, 12);

    phone->clicksChangePage = false; // the tap does nothing: an edge swipe follows
    texts = {TextItem{"General", 400, 190, 300, 50}};
    engine->back();
    EXPECT_EQ(engine->lastBackMethod(), "no back button found; tried an edge swipe");
    EXPECT_EQ(marks.back().kind, ActionMark::Kind::swipe);
    EXPECT_EQ(marks.back().point, (PointD{4, 0.45 * 2556}));
}
