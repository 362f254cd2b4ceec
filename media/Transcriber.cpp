#include "media/Transcriber.hpp"

#include "core/Log.hpp"
#include "platform/SoundFile.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>

namespace pokescope {

using namespace transcription;

namespace {

std::string dashed(std::string identifier) {
    std::replace(identifier.begin(), identifier.end(), '_', '-');
    return identifier;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i ? separator : "") + parts[i];
    return text;
}

std::string timestamp(double seconds) {
    const long long ms = std::llround(std::max(0.0, seconds) * 1000.0);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, (ms / 60000) % 60,
                  (ms / 1000) % 60, ms % 1000);
    return text;
}

} // namespace

// One live listening session. The chunker is fed on the capture's audio queue; `resampler` is touched
// there only.
struct Transcriber::Session {
    std::shared_ptr<SpeechRecognizer> recognizer;
    std::string language;
    std::shared_ptr<Chunker> chunker;
    double startedAt = 0;
    std::mutex lock; // guards the two fields below
    std::optional<std::string> stopReason;
    double stoppedAfter = 0;
    SpeechResampler resampler;
};

Transcriber::TranscribeError::TranscribeError(ErrorCase which, const std::string& message)
    : std::runtime_error(message), which(which) {}

Transcriber::Transcriber(ScreenCapture& capture, AppSettings& settings, Options options)
    : capture_(capture), settings_(settings), options_(std::move(options)),
      backend_(options_.backend ? options_.backend : SpeechBackend::system()) {}

void Transcriber::screenLost(const std::string& reason) {
    // The stop waits for the last pass, so it runs on the transcriber's own queue, never on the caller's
    // (the main thread).
    queue_.async([this, reason] {
        if (listening())
            stop(reason.empty() ? std::string(kDisconnectedReason) : reason, nullptr);
    });
}

Transcriber::~Transcriber() {
    queue_.sync([] {}); // a screen-lost stop already asked for ends first
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(lock_);
        session = live_;
    }
    if (session)
        stop(std::nullopt, session.get());
}

void Transcriber::log(const std::string& line) const {
    if (options_.log)
        options_.log(line);
    else
        Log::shared().add(line);
}

double Transcriber::now() const {
    const Clock& clock = options_.clock ? *options_.clock : Clock::system();
    return std::chrono::duration<double>(clock.now().time_since_epoch()).count();
}

// ---- Permission and recogniser choice ----

void Transcriber::ensureAuthorized() {
    using Authorization = SpeechBackend::Authorization;
    auto status = backend_->authorizationStatus();
    if (status == Authorization::notDetermined) {
        struct Answer {
            std::mutex mutex;
            std::condition_variable answered;
            std::optional<Authorization> value;
        };
        auto answer = std::make_shared<Answer>();
        backend_->requestAuthorization([answer](Authorization value) {
            {
                std::lock_guard lock(answer->mutex);
                answer->value = value;
            }
            answer->answered.notify_all();
        });
        std::unique_lock lock(answer->mutex);
        if (!answer->answered.wait_for(lock, options_.permissionWait, [&] { return answer->value.has_value(); }))
            throw TranscribeError(ErrorCase::permission, "Waiting for Speech Recognition permission. Allow Pokescope "
                                                         "in the system prompt, then try again.");
        status = *answer->value;
    }
    switch (status) {
    case Authorization::authorized:
        return;
    case Authorization::notDetermined:
        throw TranscribeError(ErrorCase::permission, "Speech Recognition permission wasn't granted yet. Allow "
                                                     "Pokescope in the system prompt, then try again.");
    case Authorization::denied:
    case Authorization::restricted:
        break;
    }
    throw TranscribeError(ErrorCase::permission, "Pokescope isn't allowed to use Speech Recognition. Turn it on in "
                                                 "Pokescope › Settings › Transcription.");
}

std::vector<std::string> Transcriber::offlineLanguages() {
    std::vector<std::string> languages;
    for (const auto& locale : backend_->supportedLocales()) {
        auto recognizer = backend_->recognizer(locale);
        if (recognizer && recognizer->supportsOnDeviceRecognition())
            languages.push_back(dashed(locale));
    }
    std::sort(languages.begin(), languages.end());
    languages.erase(std::unique(languages.begin(), languages.end()), languages.end());
    return languages;
}

std::shared_ptr<SpeechRecognizer> Transcriber::recognizer(const std::optional<std::string>& language) {
    std::optional<std::string> requested;
    if (language && !language->empty())
        requested = *language;
    else if (auto stored = settings_.transcriptionLanguage(); !stored.empty())
        requested = stored;
    const std::string current = backend_->currentLocale();
    const std::vector<std::string> candidates =
        requested ? std::vector<std::string>{dashed(*requested)} : std::vector<std::string>{dashed(current), "en-US"};
    for (const auto& candidate : candidates) {
        auto made = backend_->recognizer(candidate);
        if (made && made->supportsOnDeviceRecognition())
            return made;
    }
    std::string message = "No offline speech model for " + (requested ? *requested : current) + " on this computer. ";
    if (auto available = offlineLanguages(); !available.empty())
        message += "Available: " + joined(available, ", ") + ". ";
    message += "To add a language, install its PocketSphinx model (Debian's pocketsphinx-en-us is US English).";
    throw TranscribeError(ErrorCase::language, message);
}

// ---- Files ----

Transcriber::FileResult Transcriber::transcribe(const std::filesystem::path& file,
                                                const std::optional<std::string>& language) {
    ensureAuthorized();
    auto chosen = recognizer(language);
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        throw TranscribeError(ErrorCase::failed, "No file at " + file.string() + ".");
    const std::string name = file.filename().string();

    std::unique_ptr<SoundFile> sound;
    try {
        sound = SoundFile::open(file.string(), std::chrono::duration_cast<std::chrono::milliseconds>(options_.openWait));
    } catch (const SoundFileError& e) {
        if (e.stage == SoundFileError::Stage::timedOut)
            throw TranscribeError(ErrorCase::failed, "Timed out opening the file.");
        throw TranscribeError(ErrorCase::failed, std::string("Couldn't open the file: ") + e.what());
    }
    if (sound->audioTrackCount() == 0)
        throw TranscribeError(ErrorCase::noAudio, name + " has no audio track (was it recorded with audio off?).");
    try {
        sound->startReading();
    } catch (const SoundFileError& e) {
        throw TranscribeError(ErrorCase::failed, "Couldn't read " + name + ": " + e.what());
    }

    // Times are measured from the movie's time zero, so that subtitles of a recording whose sound starts
    // late still meet their words.
    Chunker chunker(chosen, true, 0.0);
    while (auto buffer = sound->read())
        chunker.feed(*buffer);
    chunker.close(chunker.takeCurrent());
    if (sound->failed()) {
        auto description = sound->errorDescription();
        throw TranscribeError(ErrorCase::failed,
                              "Reading the audio failed: " + (description.empty() ? "unknown error" : description));
    }

    const auto passes = chunker.passes();
    auto lines = chunker.lines();
    std::optional<SpeechError> firstFailure;
    for (const auto& pass : passes)
        if (auto failure = pass->failure(); failure && !firstFailure)
            firstFailure = failure;
    log("transcriber: " + name + ": " + std::to_string(passes.size()) + " stretches of sound, " +
        std::to_string(lines.size()) + " lines" + (firstFailure ? ", error: " + firstFailure->description : ""));
    if (lines.empty() && firstFailure)
        throw TranscribeError(ErrorCase::failed, "Transcription failed: " + firstFailure->description);
    return {std::move(lines), chosen->localeIdentifier()};
}

// ---- Live listening ----

std::string Transcriber::startListening(const std::optional<std::string>& language, double maxSeconds) {
    const std::string alreadyListening =
        "Already listening. Call get_transcript to read it, or stop_listening to finish.";
    {
        std::lock_guard lock(lock_);
        if (live_)
            throw TranscribeError(ErrorCase::alreadyListening, alreadyListening);
    }
    ensureAuthorized();
    auto chosen = recognizer(language);
    if (!capture_.offersAudio())
        throw TranscribeError(ErrorCase::noAudio,
                              "The iPhone isn't sending audio. Make sure it's connected by USB and unlocked.");

    auto session = std::make_shared<Session>();
    session->recognizer = chosen;
    session->language = chosen->localeIdentifier();
    session->chunker = std::make_shared<Chunker>(chosen, false);
    session->startedAt = now();
    {
        // Checked again now that permission is settled: of two starts that waited, only one claims the slot.
        std::lock_guard lock(lock_);
        if (live_)
            throw TranscribeError(ErrorCase::alreadyListening, alreadyListening);
        live_ = session;
    }

    std::weak_ptr<Session> weak = session;
    bool registered = false, stillLive = false;
    {
        std::lock_guard audio(audioLock_);
        {
            std::lock_guard lock(lock_);
            stillLive = live_ == session;
        }
        // A stop that came in between has already taken the session: registering now would leave the
        // phone's sound diverted to a session that no one stops.
        if (stillLive) {
            registered = capture_.setAudioListener(kListenerKey, [weak](const AudioBufferRef& buffer) {
                auto strong = weak.lock();
                if (!strong || !buffer)
                    return;
                auto sound = strong->resampler.convert(*buffer);
                if (!sound.samples.empty())
                    strong->chunker->feed(sound);
            });
            if (registered)
                listenerOwner_ = session.get();
        }
    }
    if (stillLive && !registered) {
        {
            std::lock_guard lock(lock_);
            if (live_ == session)
                live_.reset();
        }
        throw TranscribeError(ErrorCase::noAudio, "Couldn't turn on the iPhone's audio.");
    }

    if (stillLive) {
        const Session* bound = session.get();
        Clock& clock = options_.clock ? *options_.clock : Clock::system();
        auto item = queue_.asyncAfter(
            seconds(maxSeconds), [this, bound] { stop(std::string(kTimeLimitReason), bound); }, clock);
        std::lock_guard lock(lock_);
        if (live_ == session) {
            if (autoStop_)
                autoStop_->cancel();
            autoStop_ = item;
        } else {
            item->cancel();
        }
    }
    log("transcriber: listening (" + session->language + ")");
    return session->language;
}

std::optional<Transcriber::Stopped> Transcriber::stopListening(const std::optional<std::string>& reason) {
    return stop(reason, nullptr);
}

std::optional<Transcriber::Stopped> Transcriber::stop(const std::optional<std::string>& reason,
                                                      const Session* only) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(lock_);
        if (!live_ || (only && live_.get() != only))
            return std::nullopt;
        session = std::move(live_);
        live_.reset();
        if (autoStop_)
            autoStop_->cancel();
        autoStop_.reset();
        previous_ = session;
    }
    const double seconds = now() - session->startedAt;
    {
        std::lock_guard lock(session->lock);
        session->stopReason = reason;
        session->stoppedAfter = seconds;
    }
    {
        std::lock_guard audio(audioLock_);
        if (listenerOwner_ == session.get()) {
            capture_.setAudioListener(kListenerKey, {});
            listenerOwner_ = nullptr;
        }
    }
    // A buffer still on its way from the capture must not open a new pass on a stopped session.
    session->chunker->closeFeeding();
    session->chunker->close(session->chunker->takeCurrent());
    auto passes = session->chunker->passes();
    if (!passes.empty() && !passes.back()->ended() && !passes.back()->waitEnded(options_.lastPassWait))
        passes.back()->cancel();
    log("transcriber: stopped" + (reason ? " (" + *reason + ")" : std::string()));
    return Stopped{session->chunker->lines(), seconds, reason};
}

std::optional<Transcriber::Transcript> Transcriber::transcript() {
    std::shared_ptr<Session> live, previous;
    {
        std::lock_guard lock(lock_);
        live = live_;
        previous = previous_;
    }
    if (live)
        return Transcript{live->chunker->lines(), now() - live->startedAt, true, std::nullopt};
    if (!previous)
        return std::nullopt;
    std::lock_guard lock(previous->lock);
    return Transcript{previous->chunker->lines(), previous->stoppedAfter, false, previous->stopReason};
}

std::optional<Transcriber::Listening> Transcriber::listening() const {
    std::lock_guard lock(lock_);
    if (!live_)
        return std::nullopt;
    return Listening{live_->language, now() - live_->startedAt};
}

// ---- Formats ----

std::string Transcriber::srt(const std::vector<Line>& lines) {
    std::string text;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const auto& line = lines[k];
        if (k)
            text += "\n";
        text += std::to_string(k + 1) + "\n" + timestamp(line.start) + " --> " +
                timestamp(std::max(line.end, line.start + 0.5)) + "\n" + line.text + "\n";
    }
    return text;
}

std::string Transcriber::text(const std::vector<Line>& lines) {
    if (lines.empty())
        return "(no speech detected)";
    std::string text;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const long long s = std::max(0LL, static_cast<long long>(std::trunc(lines[k].start)));
        char stamp[48];
        if (s < 3600)
            std::snprintf(stamp, sizeof stamp, "%02lld:%02lld", s / 60, s % 60);
        else
            std::snprintf(stamp, sizeof stamp, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
        text += (k ? "\n" : "") + std::string("[") + stamp + "] " + lines[k].text;
    }
    return text;
}

std::filesystem::path Transcriber::subtitlePath(const std::filesystem::path& video) {
    auto path = video;
    path.replace_extension("srt");
    return path;
}

} // namespace pokescope
