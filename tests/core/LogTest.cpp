#include "core/Log.hpp"

#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> fileLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The console side of a log: a pipe whose read end the test drains.
struct ConsolePipe {
    int fds[2];
    ConsolePipe() { EXPECT_EQ(::pipe2(fds, O_NONBLOCK), 0); }
    ~ConsolePipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string drain() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
};

} // namespace

TEST(Log, StampsEachLineWithTheLocalTimeAndWritesItUnchangedToConsoleFileMemoryAndListener) {
    EXPECT_TRUE(std::regex_match(Log::format("mcp: hello"),
                                 std::regex(R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] mcp: hello)")));
    TempFolder folder;
    ConsolePipe console;
    Log log(folder.path() / "Pokescope.log", Log::FileMode::recreate, console.fds[1]);
    std::vector<std::string> heard;
    log.setOnLine([&](const std::string& line) { heard.push_back(line); });
    log.add("screen: first");
    log.add("mcp: two\nlines"); // a newline inside a message is not escaped
    auto memory = log.lines();
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_THAT(memory[0], testing::EndsWith(" screen: first"));
    EXPECT_THAT(memory[1], testing::EndsWith(" mcp: two\nlines"));
    EXPECT_EQ(heard, memory);
    EXPECT_EQ(console.drain(), memory[0] + "\n" + memory[1] + "\n");
    EXPECT_EQ(readFile(folder.path() / "Pokescope.log"), memory[0] + "\n" + memory[1] + "\n");
}

TEST(Log, KeepsTheLast500LinesInMemory) {
    TempFolder folder;
    Log log(folder.path() / "log", Log::FileMode::recreate, -1);
    for (int i = 1; i <= 501; ++i)
        log.add("test: " + std::to_string(i));
    auto memory = log.lines();
    ASSERT_EQ(memory.size(), 500u);
    EXPECT_THAT(memory.front(), testing::EndsWith(" test: 2"));
    EXPECT_THAT(memory.back(), testing::EndsWith(" test: 501"));
    EXPECT_EQ(fileLines(folder.path() / "log").size(), 501u);
}

TEST(Log, TheApplicationRecreatesTheFileAndOtherModesAppend) {
    TempFolder folder;
    fs::path path = folder.path() / "Pokescope.log";
    writeFile(path, "12:00:00 old: line of an earlier run\n");
    Log(path, Log::FileMode::recreate, -1).add("app: started");
    Log(path, Log::FileMode::append, -1).add("selftest: ran");
    auto lines = fileLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], testing::EndsWith(" app: started"));
    EXPECT_THAT(lines[1], testing::EndsWith(" selftest: ran"));
}

TEST(Log, WithoutAWritableFileItStillLogsToConsoleAndMemory) {
    TempFolder folder;
    writeFile(folder.path() / "not-a-folder", "x");
    ConsolePipe console;
    Log log(folder.path() / "not-a-folder/Pokescope.log", Log::FileMode::recreate, console.fds[1]);
    log.add("screen: still here");
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(console.drain(), testing::EndsWith(" screen: still here\n"));
}

TEST(Log, LinesFromManyThreadsArriveWhole) {
    TempFolder folder;
    Log log(folder.path() / "log", Log::FileMode::recreate, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                log.add("thread" + std::to_string(t) + ": line " + std::to_string(i) + " " + std::string(100, 'x'));
        });
    for (auto& thread : threads)
        thread.join();
    auto lines = fileLines(folder.path() / "log");
    EXPECT_EQ(lines.size(), 1600u);
    std::regex whole(R"(\d\d:\d\d:\d\d thread[0-7]: line \d+ x{100})");
    for (auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(log.lines().size(), 500u);
}

TEST(Log, TwoProcessesAppendingNeverInterleaveWithinALine) {
    TempFolder folder;
    fs::path path = folder.path() / "shared.log";
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Log log(path, Log::FileMode::append, -1);
            for (int i = 0; i < 1000; ++i)
                log.add("process" + std::to_string(p) + ": " + std::string(300, static_cast<char>('a' + p)));
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto lines = fileLines(path);
    EXPECT_EQ(lines.size(), 2000u);
    std::regex whole(R"(\d\d:\d\d:\d\d process(0: a{300}|1: b{300}))");
    for (auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
}
