#include "core/AppSettings.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <mutex>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;

namespace {

class AppSettingsTest : public testing::Test {
protected:
    TempFolder folder;
    std::filesystem::path file = folder.path() / "settings.json";
};

} // namespace

TEST_F(AppSettingsTest, AFreshStoreReadsTheDefaultsAndWritesNothing) {
    Preferences store(file);
    AppSettings settings(store);
    EXPECT_TRUE(settings.recordAudio());
    EXPECT_TRUE(settings.showActions());
    EXPECT_EQ(settings.recordingLimitMinutes(), 10);
    EXPECT_EQ(settings.recordingLimitSeconds(), 600.0);
    EXPECT_EQ(settings.quality(), AppSettings::Quality::full);
    EXPECT_TRUE(settings.copyScreenshots());
    EXPECT_EQ(settings.transcriptionLanguage(), "");
    EXPECT_FALSE(settings.transcriptionEnabled());
    EXPECT_TRUE(settings.keepAudioConnected());
    EXPECT_TRUE(settings.playAudioOnMac());
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(AppSettingsTest, AZeroOrNegativeLimitMeansNoLimit) {
    writeFile(file, R"({"recordingLimitMinutes": -5})");
    Preferences store(file);
    AppSettings settings(store);
    EXPECT_EQ(settings.recordingLimitSeconds(), std::nullopt);
    settings.setRecordingLimitMinutes(0);
    EXPECT_EQ(settings.recordingLimitSeconds(), std::nullopt);
    settings.setRecordingLimitMinutes(240);
    EXPECT_EQ(settings.recordingLimitSeconds(), 14400.0);
}

TEST_F(AppSettingsTest, StoredValuesOfTheWrongTypeOrUnknownReadAsTheFallbackWithoutRewritingTheStore) {
    const std::string stored = R"({"recordAudio": "yes", "recordingLimitMinutes": "30", "videoQuality": 1,
                                   "transcriptionLanguage": false, "playAudioOnMac": 1})";
    writeFile(file, stored);
    Preferences store(file);
    AppSettings settings(store);
    EXPECT_FALSE(settings.recordAudio());
    EXPECT_EQ(settings.recordingLimitMinutes(), 0);
    EXPECT_EQ(settings.recordingLimitSeconds(), std::nullopt);
    EXPECT_EQ(settings.quality(), AppSettings::Quality::full);
    EXPECT_EQ(settings.transcriptionLanguage(), "");
    EXPECT_FALSE(settings.playAudioOnMac());
    EXPECT_EQ(readFile(file), stored);
    store.set("videoQuality", "ultra");
    EXPECT_EQ(settings.quality(), AppSettings::Quality::full);
    EXPECT_EQ(json::parse(readFile(file))["videoQuality"], "ultra");
}

TEST_F(AppSettingsTest, EachWriteIsStoredUnderItsKeyWithItsType) {
    {
        Preferences store(file);
        AppSettings settings(store);
        settings.setRecordAudio(false);
        settings.setShowActions(false);
        settings.setRecordingLimitMinutes(30);
        settings.setQuality(AppSettings::Quality::smaller);
        settings.setCopyScreenshots(false);
        settings.setTranscriptionLanguage("en-GB");
        settings.setTranscriptionEnabled(true);
        settings.setKeepAudioConnected(false);
        settings.setPlayAudioOnMac(false);
    }
    EXPECT_EQ(json::parse(readFile(file)), json({{"recordAudio", false},
                                                 {"showActions", false},
                                                 {"recordingLimitMinutes", 30},
                                                 {"videoQuality", "smaller"},
                                                 {"copyScreenshots", false},
                                                 {"transcriptionLanguage", "en-GB"},
                                                 {"transcriptionEnabled", true},
                                                 {"keepAudioConnected", false},
                                                 {"playAudioOnMac", false}}));
    Preferences store(file);
    AppSettings reopened(store);
    EXPECT_EQ(std::tuple(reopened.quality(), reopened.transcriptionLanguage(), reopened.transcriptionEnabled()),
              std::tuple(AppSettings::Quality::smaller, "en-GB", true));
}

TEST_F(AppSettingsTest, TurningTranscriptionOffStopsListeningInTheBackgroundButTurningItOnDoesNot) {
    Preferences store(file);
    AppSettings settings(store);
    std::mutex mutex;
    std::vector<std::string> reasons;
    settings.setListeningStop([&](const std::string& reason) {
        std::lock_guard lock(mutex);
        reasons.push_back(reason);
    });
    settings.setTranscriptionEnabled(true);
    settings.setTranscriptionEnabled(false);
    ASSERT_TRUE(eventually([&] { return std::lock_guard(mutex), !reasons.empty(); }));
    EXPECT_EQ((std::lock_guard(mutex), reasons), std::vector<std::string>{"transcription was turned off in Settings"});
}

TEST_F(AppSettingsTest, SoundSettingsUpdateTheCaptureAtOnceOnTheWritingThread) {
    Preferences store(file);
    AppSettings settings(store);
    std::vector<std::pair<bool, bool>> seen;
    settings.setAudioUpdate([&] { seen.emplace_back(settings.keepAudioConnected(), settings.playAudioOnMac()); });
    settings.setPlayAudioOnMac(false);
    settings.setKeepAudioConnected(false);
    settings.setRecordAudio(false); // no side effect
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{true, false}, {false, false}}));
}

