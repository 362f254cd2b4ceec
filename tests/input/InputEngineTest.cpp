// The input engine on a phone with a virtual clock: calibration's rules, moves and their corrections,
// the exact reports of travel, gestures and keys, and what happens when the link goes away.
#include "FakePhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>

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
    InputEngine::Timing timing = InputEngine::Timing::adaptive;

    void SetUp() override { make(); }
    void make() {
        InputEngine::Options options;
        options.calibrationFile = file;
        options.log = [this](const std::string& line) { lines.push_back(line); };
        options.timer = &timer;
        options.readText = [this](const Image&) { return texts; };
        options.timing = [this] { return timing; };
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
        return Calibration{gain, gain, 0, 0, std::nullopt, std::nullopt, 1178, 1.5, std::nullopt};
    }
    // Pointer reports as (buttons, dx, dy), or with `keys` every report as (modifiers, first usage).
    std::vector<std::vector<int>> pointerBytes(std::size_t from = 0, bool keys = false) const {
        std::vector<std::vector<int>> out;
        auto reports = keys ? phone->reports : phone->pointerReports();
        for (std::size_t i = from; i < reports.size(); ++i)
            out.push_back(keys ? std::vector<int>{reports[i].first, reports[i].usages.empty() ? 0 : reports[i].usages[0]}
                               : std::vector<int>{reports[i].first, reports[i].dx, reports[i].dy});
        return out;
    }
};

} // namespace

// Both timings measure the same: the exact one parks in the right-hand corner and looks for the pointer
// there, then takes the single steps out of it; the adaptive one takes the corner as the left one mirrored
// and the single steps from where the last sample left the pointer, in less time.
TEST_F(EngineTest, CalibrationMeasuresGainsParksAndFineSteps) {
    std::map<InputEngine::Timing, Duration> took;
    for (auto chosen : {InputEngine::Timing::exact, InputEngine::Timing::adaptive}) {
        SCOPED_TRACE(chosen == InputEngine::Timing::exact ? "exact" : "adaptive");
        timing = chosen;
        make();
        lines.clear();
        const auto reportsBefore = phone->pointerReports().size();
        const TimePoint started = timer.t;
        Calibration c = engine->calibrate();
        took[chosen] = timer.t - started;
        EXPECT_NEAR(c.gainX, 2.0, 0.1);
        EXPECT_NEAR(c.gainY, 2.0, 0.1); // no sample is taken that the bottom edge would stop
        // In a corner only part of the disc shows, so the park points are seen a little inside the screen.
        EXPECT_NEAR(c.offsetX, 0, 30);
        EXPECT_NEAR(c.offsetY, 0, 30);
        ASSERT_TRUE(c.rightX);
        EXPECT_NEAR(*c.rightX, 1178, 30); // the pointer is pinned at the edge, its disc half off the screen
        const auto sent = pointerBytes(reportsBefore);
        EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const auto& r) { return r[1] == 127; }),
                  chosen == InputEngine::Timing::exact ? 45 : 0);
        ASSERT_TRUE(c.fineGain);
        EXPECT_NEAR(*c.fineGain, 1.5, 0.1);
        ASSERT_TRUE(c.curveX && c.curveY);
        EXPECT_EQ(c.curveX->front().first, 0);
        // X stops once it passes 85 % of the width (520 units → 1040 px); Y goes on alone.
        EXPECT_EQ(c.curveX->back().first, 520);
        EXPECT_GT(c.curveY->size(), c.curveX->size());
        EXPECT_EQ(engine->calibration(), c);
        EXPECT_FALSE(engine->pointer());
        EXPECT_TRUE(logged("input: calibration sample 24 units -> ") && logged("input: fine gain 1.") &&
                    logged("input: right park at 11") && logged("input: calibrated "));
        EXPECT_EQ(Calibration::load(file, {}), c); // stored, and read back by the next engine
        make();
        EXPECT_EQ(engine->calibration(), c);
    }
    EXPECT_LT(took[InputEngine::Timing::adaptive] * 3, took[InputEngine::Timing::exact] * 2);
}

TEST_F(EngineTest, TooFastOrInvisiblePointersFailWithoutTouchingTheOldCalibration) {
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

    // Single steps of more than 14 px are too fast too. They are measured over 30 units near the first
    // point, within a quarter of the frame's width: on a wide frame 30 steps of 15 px stay within reach.
    phone = std::make_shared<FakePhone>(timer, 2400, 2556);
    phone->fine = 15;
    std::filesystem::remove(file);
    make();
    EXPECT_EQ(failure([&] { engine->calibrate(); }), ErrorCase::tooFast);
    auto line = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("input: fine gain "); });
    ASSERT_NE(line, lines.end());
    EXPECT_NEAR(std::stod(line->substr(17)), 15, 0.5) << *line;
    EXPECT_TRUE(line->ends_with(" px/unit"));
    EXPECT_FALSE(engine->calibration());
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

TEST_F(EngineTest, NothingRunsWithoutALinkAFrameOrACalibration) {
    phone->linkReady = false;
    for (const auto& action : std::vector<std::function<void()>>{[&] { engine->calibrate(); }, [&] { engine->type("x"); },
                                                                 [&] { engine->goHome(); }})
        EXPECT_EQ(failure(action), ErrorCase::notConnected);
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
        EXPECT_TRUE(std::abs(phone->position().x - target.x) <= 12 && std::abs(phone->position().y - target.y) <= 12)
            << target.x << "," << target.y << " reached " << phone->position().x << "," << phone->position().y;
        ASSERT_TRUE(engine->pointer());
    }
    EXPECT_FALSE(engine->landed()[1].empty());
    EXPECT_TRUE(logged("input: move to 300,500 with "));
}

// With adaptive timing a move starts from where the pointer was last seen and waits only until the frames
// show each report; a report lost on the way is noticed and sent again. Fixed timing, a stale sighting or
// a swipe (which drags the pointer by the phone's own measure) park first.
TEST_F(EngineTest, AdaptiveMovesStartFromTheLastSightingAndCatchALostReport) {
    engine->setCalibration(linear(2));
    phone->coarse = 2;
    auto parks = [&](std::size_t from) {
        auto all = pointerBytes(from);
        return std::count_if(all.begin(), all.end(), [](const auto& r) { return std::abs(r[1]) == 127; });
    };
    auto moveAndTime = [&](PointD target) {
        const auto from = phone->pointerReports().size();
        const auto started = timer.now();
        engine->moveTo(target, true, 0);
        EXPECT_TRUE(std::abs(phone->position().x - target.x) <= 12 && std::abs(phone->position().y - target.y) <= 12)
            << target.x << "," << target.y << " reached " << phone->position().x << "," << phone->position().y;
        return std::pair{parks(from), timer.now() - started};
    };
    // The parked move's wiggle loses its last report (the one that brings the pointer back) once.
    int restores = 0;
    phone->lose = [&](const FakePhone::Report& r) { return r.dx == -10 && ++restores == 2; };
    EXPECT_EQ(moveAndTime({300, 500}).first, 45);
    phone->lose = nullptr;
    EXPECT_TRUE(logged("input: the pointer did not come back from its wiggle"));
    // From the sighting, the move's own frames show where the pointer went: no park and no wiggle.
    const auto reportsBefore = phone->pointerReports().size();
    auto [adaptiveParks, adaptive] = moveAndTime({500, 900});
    EXPECT_EQ(adaptiveParks, 0);
    const auto sent = pointerBytes(reportsBefore);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const auto& r) { return std::abs(r[1]) == 10; }), 0);
    // Straight there: the travel's reports carry both axes, neither beyond eight units.
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(sent[0][1] > 0 && sent[0][2] > 0) << testing::PrintToString(sent[0]);
    EXPECT_TRUE(std::all_of(sent.begin(), sent.end(), [](const auto& r) { return std::abs(r[1]) <= 8 && std::abs(r[2]) <= 8; }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
        return l.starts_with("input: move from ") && l.find(" to 500,900 ") != std::string::npos && l.ends_with(", seen in the move");
    })) << testing::PrintToString(lines);

    timing = InputEngine::Timing::exact;
    auto [exactParks, exact] = moveAndTime({500, 900});
    EXPECT_EQ(exactParks, 45);
    EXPECT_LT(adaptive * 2, exact);

    timing = InputEngine::Timing::adaptive;
    timer.t += InputEngine::kSightingLife + 1s;
    EXPECT_EQ(moveAndTime({300, 500}).first, 45);
    // After a drag the pointer is believed where the drag should have ended: the next move starts there
    // without a park, and its own frames say where it really went.
    engine->swipe({300, 500}, {300, 900}, 300);
    EXPECT_EQ(moveAndTime({300, 500}).first, 0);
    EXPECT_TRUE(logged("input: move from 300,900 (where a drag ended) to 300,500 with "));
}

// A miss beyond the tolerance is taken out by single steps without another look only where the move's own
// frames showed the whole disc; where a wiggle found the pointer (a parked move), the steps are checked.
TEST_F(EngineTest, AMissAWiggleFoundIsCorrectedWithALook) {
    engine->setCalibration(linear(2));
    phone->coarse = 2.1; // the parked move goes 5 % too far: 15 and 25 px beyond the target
    engine->moveTo({300, 500}, true, 0);
    EXPECT_TRUE(logged("input: move to 300,500 with 150,250 units: pointer at 31")) << testing::PrintToString(lines);
    EXPECT_TRUE(logged("input: fine to 300,500: pointer at ")) << testing::PrintToString(lines);
    EXPECT_NEAR(phone->position().x, 300, 12);
    EXPECT_NEAR(phone->position().y, 500, 12);
}

// A phone slow to show a report: the move's frames are read only once its last report can have shown, and
// the press waits as long after the last motion report as the phone was measured to take (not less than
// 40 ms, not more than the fixed 150 ms).
TEST_F(EngineTest, MovesAndPressesWaitAsLongAsThePhoneTakesToShowAReport) {
    for (const Duration lag : {Duration{}, Duration{110ms}}) {
        phone = std::make_shared<FakePhone>(timer);
        phone->showLag = lag;
        make();
        engine->setCalibration(linear(2));
        for (const PointD target : {PointD{300, 500}, PointD{500, 900}}) {
            engine->moveTo(target, true, 0);
            EXPECT_NEAR(phone->position().x, target.x, 12) << lag.count();
            EXPECT_NEAR(phone->position().y, target.y, 12) << lag.count();
        }
        EXPECT_TRUE(logged("input: move from ")) << testing::PrintToString(lines);
        engine->debugTravel(2, 0, 1, 0); // two single steps right before the press
        engine->click();
        const auto reports = phone->pointerReports();
        auto press = std::find_if(reports.begin(), reports.end(), [](const auto& r) { return r.first & 1; });
        ASSERT_NE(press, reports.end());
        const Duration rest = press->at - std::prev(press)->at;
        // The fake phone's frame shows a report 8 ms after the phone takes it.
        EXPECT_GE(rest, std::max<Duration>(lag + 8ms, 40ms)) << lag.count();
        EXPECT_LE(rest, std::max<Duration>(lag + 8ms, 40ms) + 5ms) << lag.count();
    }
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
    engine->travel(5, 5, 0);
    EXPECT_EQ(pointerBytes(3), (std::vector<std::vector<int>>{{0, 5, 0}, {0, 0, 5}}));
    EXPECT_EQ(phone->reports[4].at - phone->reports[3].at, 8ms + 200ms);
    engine->travel(5, 5, 1);
    engine->travel(0, 0, 0);
    EXPECT_EQ(pointerBytes(5), (std::vector<std::vector<int>>{{1, 5, 5}}));
    // Straight travel spreads the shorter axis over the longer one's reports.
    engine->travel(20, -5, 0, true);
    EXPECT_EQ(pointerBytes(6), (std::vector<std::vector<int>>{{0, 7, -2}, {0, 6, -1}, {0, 7, -2}}));
}

TEST_F(EngineTest, KeysAndTextSendTheExactReportsAndMarks) {
    engine->press("Cmd + Space");
    engine->press("?");
    EXPECT_EQ(pointerBytes(0, true),
              (std::vector<std::vector<int>>{{8, 0}, {8, 0x2C}, {8, 0}, {0, 0}, {0, 0}, {0, 0x38}, {0, 0}, {0, 0}}));
    EXPECT_EQ(phone->reports[2].at - phone->reports[1].at, 60ms);
    engine->type("Hi!");
    EXPECT_EQ(pointerBytes(8, true), (std::vector<std::vector<int>>{{2, 0x0B}, {0, 0}, {0, 0x0C}, {0, 0}, {2, 0x1E}, {0, 0}}));
    EXPECT_EQ(phone->reports[9].at - phone->reports[8].at, 30ms);
    EXPECT_EQ(phone->reports[10].at - phone->reports[9].at, 50ms);
    engine->goHome();
    ASSERT_EQ(phone->reports.size(), 18u);
    EXPECT_EQ(pointerBytes(15, true)[0], (std::vector<int>{8, 0x0B}));
    // Captions are cut at characters, not bytes.
    engine->type(std::string(39, 'a') + "éé");
    ASSERT_EQ(marks.size(), 5u);
    EXPECT_EQ(marks[0].text, "⌘ Space");
    EXPECT_EQ(marks[2].text, "⌨  Hi!");
    EXPECT_EQ(marks[3].text, "Home");
    EXPECT_EQ(marks[4].text, "⌨  " + std::string(39, 'a') + "é…");
}

TEST_F(EngineTest, UnknownKeysAndModifiersSendNothing) {
    for (auto [key, error] : {std::pair{"hyper+a", "Unknown modifier hyper"}, {"f13", "Unknown key f13"},
                              {"é", "Unknown key é"}, {"", "Unknown key "}, {"+", "Unknown key +"}, {"  ", "Unknown key   "}}) {
        const auto before = marks.size();
        try {
            engine->press(key);
            ADD_FAILURE() << "took " << key;
        } catch (const InputEngine::GeneralError& e) {
            EXPECT_STREQ(e.what(), error);
        }
        // A key with no pieces shows nothing.
        EXPECT_TRUE(std::string(key).find_first_not_of(" +") != std::string::npos || marks.size() == before) << key;
    }
    EXPECT_TRUE(phone->reports.empty());
}

TEST_F(EngineTest, SwipesAndLongPressesKeepTheirTiming) {
    engine->setCalibration(linear(2));
    engine->swipe({300, 1000}, {500, 1000}, 600); // 100 units: 12 steps of 8 or 9
    auto reports = phone->pointerReports();
    std::vector<FakePhone::Report> held;
    std::ranges::copy_if(reports, std::back_inserter(held), [](auto& r) { return r.first == 1 && (r.dx || r.dy); });
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

    for (auto [seconds, held] : {std::pair{2.5, Duration(2500ms)}, {std::nan(""), Duration(0ms)}, {-3.0, Duration(0ms)}}) {
        engine->longPress({400, 800}, seconds); // the time between pressing and letting go
        auto r = phone->pointerReports();
        EXPECT_EQ(r[r.size() - 1].at - r[r.size() - 2].at, held) << seconds;
    }
    EXPECT_EQ(marks.back().kind, ActionMark::Kind::press);
}

TEST_F(EngineTest, ALostLinkOrAGoneCallerMidwayThrowsAndReleasesTheButton) {
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

    // A caller that goes away during an hour's press stops it within a slice, with the finger lifted; one
    // gone before its action reached the queue starts nothing.
    auto gone = std::make_shared<std::atomic<bool>>(false);
    phone->lose = [&](const FakePhone::Report& report) {
        if (report.first != 0)
            gone->store(true);
        return false;
    };
    phone->reports.clear();
    const TimePoint pressed = timer.now();
    EXPECT_EQ(failure([&] {
                  InputEngine::Cancellation cancellation(*engine, gone);
                  engine->longPress({300, 1000}, 3600);
              }),
              ErrorCase::cancelled);
    EXPECT_LT(timer.now() - pressed, std::chrono::seconds(30)); // the move before the press, not the hour
    ASSERT_FALSE(phone->reports.empty());
    EXPECT_EQ(pointerBytes().back(), (std::vector<int>{0, 0, 0}));
    phone->reports.clear();
    EXPECT_EQ(failure([&] { InputEngine::Cancellation cancellation(*engine, gone); engine->type("d"); }),
              ErrorCase::cancelled);
    EXPECT_TRUE(phone->reports.empty());
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
    // The new page showed: no waiting out the 700 ms.
    EXPECT_LT(timer.now() - phone->reports.back().at, 300ms);

    phone->clicksChangePage = false; // the tap does nothing: an edge swipe follows
    texts = {TextItem{"General", 400, 190, 300, 50}};
    const auto before = phone->reports.size();
    engine->back();
    EXPECT_EQ(engine->lastBackMethod(), "no back button found; tried an edge swipe");
    // The swipe's press comes 700 ms after the tap's release, when nothing showed.
    std::vector<TimePoint> presses, releases;
    for (std::size_t i = before + 1; i < phone->reports.size(); ++i)
        if (!phone->reports[i].keyboard && (phone->reports[i].first & 1) != (phone->reports[i - 1].first & 1))
            ((phone->reports[i].first & 1) ? presses : releases).push_back(phone->reports[i].at);
    ASSERT_GE(presses.size(), 2u);
    ASSERT_GE(releases.size(), 1u);
    EXPECT_GE(presses[1] - releases[0], 700ms);
    EXPECT_EQ(marks.back().kind, ActionMark::Kind::swipe);
    EXPECT_EQ(marks.back().point, (PointD{4, 0.45 * 2556}));
}
