#include "platform/linux/FFmpegCaptureSession.hpp"

namespace pokescope::ffmpeg {

CaptureSessionImpl::CaptureSessionImpl(std::unique_ptr<VideoReader> video, std::optional<InputSpec> sound)
    : video_(std::move(video)), sound_(std::move(sound)) {}

CaptureSessionImpl::~CaptureSessionImpl() {
    video_->stop();
    std::lock_guard lock(audioMutex_);
    audio_.reset();
}

void CaptureSessionImpl::start(FrameHandler onFrame, ErrorHandler onError) {
    video_->start(std::move(onFrame), std::move(onError));
}

void CaptureSessionImpl::stop() {
    video_->stop();
}

bool CaptureSessionImpl::setAudioOutput(AudioHandler onAudio) {
    std::lock_guard lock(audioMutex_);
    // A sound card opens once at a time, so the attached reader goes before a new one opens.
    audio_.reset();
    audioRunning_ = false;
    if (!onAudio)
        return true;
    if (!sound_)
        return false;
    std::string error;
    audio_ = AudioReader::open(*sound_, error);
    if (!audio_)
        return false;
    audioRunning_ = true;
    audio_->start(
        [this, onAudio = std::move(onAudio)](const AudioBufferRef& buffer) {
            onAudio(buffer);
            if (auto playback = currentPlayback())
                playback->play(buffer);
        },
        [this](const std::string&, bool) { audioRunning_ = false; });
    return true;
}

bool CaptureSessionImpl::hasAudioOutput() const {
    std::lock_guard lock(audioMutex_);
    return audio_ && audioRunning_;
}

bool CaptureSessionImpl::setPlayback(bool on) {
    std::shared_ptr<AudioPlayback> previous;
    if (!on) {
        std::lock_guard lock(playbackMutex_);
        previous = std::move(playback_);
        return true; // the old player's thread ends after the lock is released
    }
    if (currentPlayback())
        return true;
    std::string problem;
    std::shared_ptr<AudioPlayback> playback = AudioPlayback::open(problem);
    std::lock_guard lock(playbackMutex_);
    problem_ = problem;
    playback_ = playback;
    return playback != nullptr;
}

bool CaptureSessionImpl::hasPlayback() const {
    auto playback = currentPlayback();
    return playback && playback->healthy();
}

std::string CaptureSessionImpl::playbackProblem() const {
    std::lock_guard lock(playbackMutex_);
    if (playback_ && !playback_->healthy())
        return "The sound output stopped taking sound.";
    return problem_;
}

std::shared_ptr<AudioPlayback> CaptureSessionImpl::currentPlayback() const {
    std::lock_guard lock(playbackMutex_);
    return playback_;
}

} // namespace pokescope::ffmpeg
