#include "app/Entry.hpp"

#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

using namespace pokescope;
using namespace pokescope::test;
using Kind = Entry::Mode::Kind;
using namespace std::chrono_literals;

namespace {

Entry::Mode parse(std::vector<std::string> arguments, std::optional<std::string> variable = std::nullopt) {
    arguments.insert(arguments.begin(), "/usr/bin/pokescope");
    return Entry::parse(arguments, variable);
}

} // namespace

TEST(EntryParse, NoArgumentsOrSelftestLastStartTheApplication) {
    auto mode = parse({});
    EXPECT_EQ(mode.kind, Kind::application);
    EXPECT_FALSE(mode.options.headless);
    EXPECT_EQ(Entry::serverPort(mode.options), 47811);
    // So does --selftest as the last argument.
    EXPECT_EQ(parse({"--selftest"}).kind, Kind::application);
    EXPECT_EQ(parse({"--headless", "--selftest", "--port", "5000"}).kind, Kind::application);
}

TEST(EntryParse, SelftestTakesTheModeAndEveryLaterArgumentInOrder) {
    auto mode = parse({"--selftest", "transcribe", "/tmp/a.mp4", "en-US"});
    EXPECT_EQ(std::tuple(mode.kind, mode.selftestMode, mode.extra),
              std::tuple(Kind::selftest, "transcribe", std::vector<std::string>{"/tmp/a.mp4", "en-US"}));

    EXPECT_TRUE(parse({"--selftest", "usb"}).extra.empty());

    auto first = parse({"ignored", "--selftest", "input", "--selftest", "x"});
    EXPECT_EQ(first.selftestMode, "input");
    EXPECT_EQ(first.extra, (std::vector<std::string>{"--selftest", "x"}));
    // --stdio anywhere wins.
    EXPECT_EQ(parse({"--selftest", "usb", "--stdio"}).kind, Kind::stdio);
    EXPECT_EQ(parse({"--stdio", "--selftest", "usb"}).kind, Kind::stdio);
    EXPECT_EQ(parse({"--stdio=yes"}).kind, Kind::application);
}

TEST(EntryParse, ProjectSwitchesAreTakenOutFirst) {
    auto mode = parse({"--simulate", "--selftest", "--port", "5000", "wiggle", "--headless", "extra"});
    EXPECT_EQ(std::tuple(mode.kind, mode.selftestMode, mode.extra),
              std::tuple(Kind::selftest, "wiggle", std::vector<std::string>{"extra"}));
    EXPECT_TRUE(mode.options.simulate);
    EXPECT_TRUE(mode.options.headless);
    EXPECT_EQ(mode.options.port, 5000);

    EXPECT_EQ(parse({"--port=0"}).options.port, 0);
    EXPECT_EQ(parse({"--port=65535"}).options.port, 65535);
    // The port option beats the environment.
    EXPECT_EQ(parse({}, "6000").options.port, 6000);
    EXPECT_EQ(parse({"--port", "7000"}, "6000").options.port, 7000);
    EXPECT_EQ(parse({}, "").options.port, std::nullopt);
}

TEST(EntryParse, ABadPortIsAClearError) {
    for (auto arguments : std::vector<std::vector<std::string>>{
             {"--port"}, {"--port", "abc"}, {"--port", "65536"}, {"--port=-1"}, {"--port="}, {"--port", "1e3"}}) {
        try {
            parse(arguments);
            ADD_FAILURE() << "accepted " << testing::PrintToString(arguments);
        } catch (const Entry::UsageError& e) {
            EXPECT_THAT(e.what(), testing::HasSubstr("--port needs a port number from 0 to 65535"));
        }
    }
    EXPECT_THROW(parse({}, "http"), Entry::UsageError);
}

// The executable itself.

TEST(EntryProcess, ABadPortStopsBeforeAnythingStarts) {
    TempHome home;
    Child child({binaryPath().string(), "--headless", "--port", "http"}, home.environment());
    EXPECT_EQ(child.wait(60s), 2);
    EXPECT_THAT(child.errors(), testing::HasSubstr("pokescope: --port needs a port number from 0 to 65535"));
}

class EntrySignals : public testing::TestWithParam<int> {};

TEST_P(EntrySignals, EndTheApplicationWithStatusZero) {
    TempHome home;
    auto app = startApp(home);
    app.child->signal(GetParam());
    EXPECT_EQ(app.child->wait(30s), 0) << app.child->errors();
}

INSTANTIATE_TEST_SUITE_P(TermIntHup, EntrySignals, testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST(EntryProcess, ASelftestAppendsToTheRunningApplicationsLogAndASecondOnItsPortEndsWithStatusOneSayingWhy) {
    TempHome home;
    auto app = startApp(home);
    auto log = home.path() / ".local/state/pokescope/Pokescope.log";
    Child selftest({binaryPath().string(), "--selftest", "nonsense"}, home.environment());
    EXPECT_EQ(selftest.wait(60s), 2);
    EXPECT_THAT(selftest.output(), testing::HasSubstr(" unknown selftest nonsense\n"));
    EXPECT_THAT(readFile(log), testing::AllOf(testing::HasSubstr("mcp: listening on"), testing::HasSubstr("unknown selftest nonsense")));

    // A second application on the port the first one listens on (no lock: the first chose its port) ends,
    // and keeps a log of its own for that port.
    const std::string sentence = "Port " + std::to_string(app.port) +
                                 " is already in use by another program; start Pokescope with --port or POKESCOPE_PORT.";
    Child second({binaryPath().string(), "--headless", "--port", std::to_string(app.port)}, home.environment());
    EXPECT_EQ(second.wait(60s), 1);
    EXPECT_THAT(second.errors(), testing::HasSubstr("pokescope: " + sentence + "\n"));
    EXPECT_THAT(readFile(home.path() / (".local/state/pokescope/Pokescope-" + std::to_string(app.port) + ".log")),
                testing::AllOf(testing::HasSubstr("mcp: can't listen on " + std::to_string(app.port) + ": "),
                               testing::HasSubstr("app: " + sentence)));
    EXPECT_THAT(readFile(log), testing::Not(testing::HasSubstr("can't listen")));
    app.child->signal(SIGTERM);
    EXPECT_EQ(app.child->wait(30s), 0);
    // A new application run starts a new file.
    auto again = startApp(home);
    EXPECT_THAT(readFile(log), testing::Not(testing::HasSubstr("unknown selftest")));
}
