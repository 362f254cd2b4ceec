// The drawing self-tests as a developer runs them: each writes its PNG at the stated size with something
// drawn in several places, through a private file that replaces (never follows) whatever is planted at
// the fixed name; and the window application's single instance: a second start shows the first's window.
#include "app/InstanceLock.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/ui/ImageChecks.hpp"

#include <QImage>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;

namespace {

struct Run {
    int status = -1;
    std::string output;
};

Run selftest(const TempHome& home, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{binaryPath().string(), "--selftest"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Child child(command, home.environment());
    auto status = child.wait(90s);
    return {status.value_or(-1), child.output() + child.errors()};
}


// Plants a symlink at `name` pointing at a file of the test's, so a write that follows it would show.
class PlantedLink {
public:
    explicit PlantedLink(std::filesystem::path name) : name_(std::move(name)), victim_(folder_.path() / "victim") {
        writeFile(victim_, "keep me");
        std::filesystem::remove_all(name_);
        std::filesystem::create_symlink(victim_, name_);
    }
    ~PlantedLink() { std::filesystem::remove(name_); }
    // The write replaced the link with a regular file only this user can read, and left the victim alone.
    void expectReplaced() const {
        EXPECT_EQ(readFile(victim_), "keep me");
        struct stat info {};
        ASSERT_EQ(::lstat(name_.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }

private:
    TempFolder folder_;
    std::filesystem::path name_, victim_;
};

} // namespace

TEST(RenderModes, WelcomeIsTheSetupsFirstStepAt980By720) {
    TempHome home;
    PlantedLink planted("/tmp/pokescope-welcome.png");
    auto run = selftest(home, {"render-welcome"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("selftest rendered welcome"), std::string::npos) << run.output;
    planted.expectReplaced();
    QImage image("/tmp/pokescope-welcome.png");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(980, 720));
    EXPECT_GT(busy(image, QRect(420, 190, 140, 130)), 0.3);  // the product tile
    EXPECT_GT(busy(image, QRect(200, 330, 580, 60)), 0.05);  // the title
    EXPECT_GT(busy(image, QRect(780, 660, 150, 40)), 0.3);   // "Get Started"
    EXPECT_LT(busy(image, QRect(20, 20, 150, 150)), 0.01);   // a calm background
}

TEST(RenderModes, MainIsTheMainViewAtTheWindowsDefaultSizeAndShowsThePhoneLive) {
    TempHome home;
    auto run = selftest(home, {"render-main"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("selftest rendered main 1100x780"), std::string::npos) << run.output;
    QImage image("/tmp/pokescope-main.png");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1100, 780));
    EXPECT_GT(busy(image, QRect(30, 80, 280, 600)), 0.05);   // the phone card
    EXPECT_GT(busy(image, QRect(340, 20, 740, 200)), 0.05);  // status, recording
    EXPECT_GT(busy(image, QRect(340, 240, 740, 240)), 0.05); // the agent's texts
    const double emptyPhone = busy(image, QRect(60, 150, 220, 350));

    // With the simulated phone the view shows it live (same file name: one test, one after the other).
    run = selftest(home, {"render-main", "--simulate", "--port", "0"});
    EXPECT_EQ(run.status, 0) << run.output;
    image = QImage("/tmp/pokescope-main.png");
    ASSERT_FALSE(image.isNull());
    // The home screen's icons, where the empty phone is one flat colour with a line of text.
    EXPECT_GT(busy(image, QRect(60, 150, 220, 350)), 0.5);
    EXPECT_LT(emptyPhone, 0.1);
}

TEST(RenderModes, SettingsShowsEverySectionWithoutScrolling) {
    TempHome home;
    auto run = selftest(home, {"render-settings"});
    EXPECT_EQ(run.status, 0) << run.output;
    auto at = run.output.find("selftest rendered settings 560x");
    ASSERT_NE(at, std::string::npos) << run.output;
    QImage image("/tmp/pokescope-settings.png");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), 560);
    EXPECT_GT(image.height(), 900); // seven sections
    EXPECT_EQ(run.output.substr(at, 36).find(std::to_string(image.height())), 31u) << run.output.substr(at, 40);
    for (int y = 40; y + 100 < image.height(); y += 200)
        EXPECT_GT(busy(image, QRect(20, y, 500, 100)), 0.02) << "at " << y;
}

TEST(RenderModes, TheWindowModeCapturesTheRealSettingsWindow) {
    TempHome home;
    auto run = selftest(home, {"window-settings"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("selftest settings window 560x720, screen "), std::string::npos) << run.output;
    QImage image("/tmp/pokescope-settings-window.png");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(560, 720));
    EXPECT_GT(busy(image, QRect(20, 20, 500, 300)), 0.05);
}

TEST(RenderModes, TheIconSetHasTenFilesAtTheirSizes) {
    TempHome home;
    const auto folder = home.path() / "AppIcon.iconset";
    auto run = selftest(home, {"render-icon", folder.string()});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("selftest wrote iconset to " + folder.string()), std::string::npos) << run.output;
    int files = 0;
    for (int size : {16, 32, 128, 256, 512})
        for (int scale : {1, 2}) {
            const std::string name = "icon_" + std::to_string(size) + "x" + std::to_string(size) +
                                     (scale == 2 ? "@2x" : "") + ".png";
            QImage image(QString::fromStdString((folder / name).string()));
            ASSERT_FALSE(image.isNull()) << name;
            EXPECT_EQ(image.size(), QSize(size * scale, size * scale)) << name;
            const int s = size * scale;
            EXPECT_GT(busy(image, QRect(s / 4, s / 4, s / 2, s / 2)), 0.1) << name;
            ++files;
        }
    EXPECT_EQ(files, 10);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 10);
}

TEST(RenderModes, AnIconFolderSomeoneElseCanWriteIntoIsRefused) {
    TempHome home;
    const auto folder = home.path() / "shared.iconset";
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0777);
    auto run = selftest(home, {"render-icon", folder.string()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("selftest couldn't write " + folder.string()), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("selftest wrote iconset"), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    // A symlink at the folder's name is refused too, and nothing lands where it points.
    TempFolder elsewhere;
    const auto link = home.path() / "linked.iconset";
    std::filesystem::create_directory_symlink(elsewhere.path(), link);
    run = selftest(home, {"render-icon", link.string()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

TEST(WindowApplication, ASecondStartShowsTheRunningWindowAndExitsZero) {
    TempHome home;
    const int port = freePort();
    auto environment = home.environment();
    environment.push_back("QT_QPA_PLATFORM=offscreen");
    Child first({binaryPath().string(), "--port", std::to_string(port)}, environment);
    ASSERT_TRUE(first.waitForLine("app: Pokescope 0.1.0 with windows", 60s)) << first.output() << first.errors();
    // The offscreen platform has no tray: closing the window would quit, and the log says so.
    EXPECT_NE(first.output().find("app: this desktop has no system tray; closing the window quits Pokescope"),
              std::string::npos);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(InstanceLock::socketPathFor(static_cast<std::uint16_t>(port))); }));

    Child second({binaryPath().string(), "--port", std::to_string(port)}, environment);
    auto status = second.wait(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << second.errors();
    EXPECT_NE(second.errors().find("already running on port " + std::to_string(port) + "; showing its window"),
              std::string::npos)
        << second.errors();
    // The second start left the first one's log alone.
    EXPECT_EQ(second.output().find("app: Pokescope"), std::string::npos);

    // Without windows a second start cannot show anything: it says the port is taken, as before.
    Child headless({binaryPath().string(), "--headless", "--port", std::to_string(port)}, home.environment());
    status = headless.wait(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_NE(headless.errors().find("another Pokescope is already running"), std::string::npos) << headless.errors();

    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(30s), 0);
}

TEST(WindowApplication, ADisplayThatDoesNotAnswerMeansNoWindowsNotACrash) {
    TempHome home;
    auto environment = home.environment();
    environment.push_back("DISPLAY=:57"); // no X server listens there
    Child app({binaryPath().string(), "--port", "0"}, environment);
    auto line = app.waitForLine("running without windows", 60s);
    ASSERT_TRUE(line) << app.output() << app.errors();
    EXPECT_NE(line->find("app: Pokescope 0.1.0 running without windows (the display :57 does not answer)"),
              std::string::npos)
        << *line;
    ASSERT_TRUE(app.waitForLine("mcp: listening on http://127.0.0.1:", 30s)) << app.output();
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(30s), 0);
}
