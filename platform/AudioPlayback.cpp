#include "platform/AudioPlayback.hpp"

namespace pokescope {

bool PlaybackSwitch::set(bool on) {
    std::lock_guard lock(mutex_);
    if (!on) {
        playback_.reset();
        return true;
    }
    if (!playback_)
        playback_ = AudioPlayer::system(problem_);
    return playback_ != nullptr;
}

bool PlaybackSwitch::on() const {
    std::lock_guard lock(mutex_);
    return playback_ != nullptr;
}

std::string PlaybackSwitch::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

void PlaybackSwitch::play(const AudioBufferRef& buffer) {
    std::shared_ptr<AudioPlayer> playback;
    {
        std::lock_guard lock(mutex_);
        playback = playback_;
    }
    if (playback)
        playback->play(buffer);
}

} // namespace pokescope
