#include "sim/SimUsbScreenDevice.hpp"

#include "platform/Dispatch.hpp"
#include "platform/VideoCodec.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimUsbPackets.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace pokescope::sim::usbdevice {

namespace {

using namespace usbwire;

constexpr int kSoundRate = 48000;
// Video waits while this much is still unsent, so that the picture encoded is the latest one.
constexpr std::size_t kRoomForVideo = 256 * 1024;
// A host that reads nothing gets no more sound beyond this; a phone drops it too.
constexpr std::size_t kMaxUnsent = 8 * 1024 * 1024;
constexpr RequestId kFirstRequestId = 0x1'1356'5000;

std::string hexClock(Clock clock) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(clock));
    return text;
}

// What the phone's threads hand the device thread.
struct Mailbox {
    std::mutex mutex;
    std::optional<CapturedFrame> frame; // only the latest waits
    std::deque<AudioBufferRef> sound;
    bool stop = false;
    bool unplugged = false;
    Wake wake;
};

// The host broke the protocol; the device ends the session saying how.
class HostFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Interleaved float sound as 16-bit stereo little-endian frames (mono doubled, extra channels dropped).
Bytes pcm16Stereo(const AudioBuffer& sound) {
    Bytes bytes;
    const std::size_t frames = sound.frames();
    const auto channels = static_cast<std::size_t>(sound.channels);
    bytes.reserve(frames * 4);
    auto put = [&bytes](float value) {
        long sample = std::lround(std::clamp(value, -1.0F, 1.0F) * 32767.0F);
        auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample));
        bytes.push_back(static_cast<std::uint8_t>(bits & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
    };
    for (std::size_t i = 0; i < frames; ++i) {
        float left = sound.samples[i * channels];
        float right = channels > 1 ? sound.samples[i * channels + 1] : left;
        put(left);
        put(right);
    }
    return bytes;
}

class Device {
public:
    Device(std::shared_ptr<SimPhone> phone, SimUsbFaults faults, SimUsbScreenHost::FeedObserver observer, int fd,
           std::shared_ptr<Ending> ending)
        : phone_(std::move(phone)), faults_(faults), observer_(std::move(observer)), fd_(fd), ending_(std::move(ending)),
          mailbox_(std::make_shared<Mailbox>()), plugKey_(plugKey("usbscreen-link-")) {
        std::weak_ptr<Mailbox> weak = mailbox_;
        phone_->setPlugListener(plugKey_, [weak](bool pluggedIn) {
            if (pluggedIn)
                return;
            if (auto mailbox = weak.lock()) {
                std::lock_guard lock(mailbox->mutex);
                mailbox->unplugged = true;
                mailbox->wake.notify();
            }
        });
        if (!phone_->pluggedIn()) {
            std::lock_guard lock(mailbox_->mutex);
            mailbox_->unplugged = true;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~Device() { stop(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Ends the device thread without a reason (the host closed the link); returns once it has ended.
    void stop() {
        {
            std::lock_guard lock(mailbox_->mutex);
            mailbox_->stop = true;
        }
        mailbox_->wake.notify();
        if (thread_.joinable())
            thread_.join();
        phone_->setPlugListener(plugKey_, nullptr);
    }

private:
    enum class Request { cwpa, afmt, cvrp, clok, time, stop };

    void run() {
        setThreadName("sim.usbscreen");
        try {
            if (!faults_.neverAnswers) {
                encoder_ = H264Encoder::create(phone_->screen().width(), phone_->screen().height());
                queue(ping());
            }
            loop();
        } catch (const HostFault& fault) {
            end("the iPhone ended screen sharing: " + std::string(fault.what()), false);
        } catch (const std::exception& error) {
            end("the iPhone's screen sharing failed: " + std::string(error.what()), false);
        }
        streamsOff();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void loop() {
        while (fd_ >= 0) {
            pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (unsent() ? POLLOUT : 0)), 0},
                             {mailbox_->wake.fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
            }
            mailbox_->wake.drain();
            bool stop = false, unplugged = false;
            {
                std::lock_guard lock(mailbox_->mutex);
                stop = mailbox_->stop;
                unplugged = mailbox_->unplugged;
            }
            if (stop)
                return;
            if (unplugged) {
                end("the iPhone was unplugged", true);
                return;
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
                if (!readSome())
                    return;
            std::optional<CapturedFrame> frame;
            std::deque<AudioBufferRef> sound;
            {
                // Both at once, so that sound sent after a picture arrived was decided after that picture.
                std::lock_guard lock(mailbox_->mutex);
                if (mayFeed())
                    frame = std::exchange(mailbox_->frame, std::nullopt);
                sound.swap(mailbox_->sound);
            }
            if (frame)
                feed(*frame);
            for (const auto& buffer : sound)
                eat(*buffer);
            if (!flush())
                return;
            if (closing_ && !unsent()) {
                end(closingReason_, false);
                return;
            }
        }
    }

    // --- output ----------------------------------------------------------------------------------------

    void queue(const Bytes& packet) { out_.insert(out_.end(), packet.begin(), packet.end()); }
    std::size_t unsent() const { return out_.size() - sent_; }

    // Sends what the socket takes now, in pieces of varying size as USB transfers end anywhere. False when
    // the host has gone.
    bool flush() {
        while (unsent() > 0) {
            chunkSeed_ = chunkSeed_ * 1664525U + 1013904223U;
            std::size_t piece = 1 + (chunkSeed_ >> 8) % 24000;
            if ((chunkSeed_ >> 4) % 8 == 0)
                piece = 1 + piece % 7; // now and then a few bytes on their own
            piece = std::min(piece, unsent());
            ssize_t n = ::send(fd_, out_.data() + sent_, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0)
                return false; // the host closed its end
            sent_ += static_cast<std::size_t>(n);
        }
        if (sent_ == out_.size() || sent_ > kRoomForVideo) {
            out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent_));
            sent_ = 0;
        }
        return true;
    }

    // --- input -----------------------------------------------------------------------------------------

    // False when the host has closed its end.
    bool readSome() {
        std::uint8_t buffer[kReadSize];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (n <= 0)
            return false;
        if (faults_.neverAnswers || silent_)
            return true;
        cutter_.append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
        try {
            while (auto bytes = cutter_.next())
                on(readHostPacket(*bytes));
        } catch (const DamagedPacket& error) {
            throw HostFault(std::string("the computer sent a damaged packet: ") + error.what());
        }
        return true;
    }

    RequestId request(Request kind) {
        RequestId id = nextId_;
        nextId_ += 0x10;
        pending_[id] = kind;
        return id;
    }

    void on(const HostPacket& packet) {
        using Kind = HostPacket::Kind;
        switch (packet.kind) {
        case Kind::ping: return greeting();
        case Kind::reply: return answer(packet.id, packet.replyPayload);
        case Kind::need: return need(packet.clock);
        case Kind::startVideo: return startVideo();
        case Kind::startSound: return startSound(packet.clock);
        case Kind::stopVideo: return stopVideo();
        case Kind::stopSound: return stopSound(packet.clock);
        case Kind::phoneOnly:
            // SYNC requests, samples and clock messages go from the phone to the host only.
            throw HostFault("the computer sent " + packet.name + ", which only the iPhone sends");
        }
    }

    void greeting() {
        if (greeted_)
            return; // a second greeting changes nothing
        greeted_ = true;
        queue(syncCwpa(request(Request::cwpa), SimUsbScreenHost::kDeviceAudioClock));
    }

    void answer(RequestId id, const Bytes& payload) {
        auto found = pending_.find(id);
        if (found == pending_.end())
            throw HostFault("the computer answered a request it was never sent (correlation id " +
                            hexClock(id) + ")");
        Request kind = found->second;
        pending_.erase(found);
        if (stopped_ && kind != Request::stop)
            return; // the streams are off; late answers change nothing
        switch (kind) {
        case Request::cwpa:
            hostAudioClock_ = replyClock(payload);
            audioFormatWhenReady();
            break;
        case Request::afmt: {
            if (replyError(payload) != 0)
                throw HostFault("the computer refused the sound format");
            const VideoFormat format = videoFormat();
            queue(syncCvrp(request(Request::cvrp), SimUsbScreenHost::kDeviceVideoClock, format));
            videoStarted_ = true;
            break;
        }
        case Request::cvrp:
            hostVideoClock_ = replyClock(payload);
            queue(asynSprp(*hostVideoClock_, "ObeyEmptyMediaMarkers", true));
            queue(asynSprp(*hostVideoClock_, "RenderEmptyMedia", false));
            queue(syncClok(*hostVideoClock_, request(Request::clok)));
            break;
        case Request::clok:
            timeClock_ = replyClock(payload);
            queue(syncTime(*timeClock_, request(Request::time)));
            break;
        case Request::time:
            if (!replyTimeIsValid(payload))
                throw HostFault("the computer answered SYNC TIME without a valid time");
            if (++timesAnswered_ < 2)
                queue(syncTime(*timeClock_, request(Request::time)));
            else
                streamsOn();
            break;
        case Request::stop:
            queue(asynRels(*hostVideoClock_));
            if (timeClock_)
                queue(asynRels(*timeClock_));
            closing_ = true;
            break;
        }
    }

    void startVideo() {
        needGreeting("ASYN HPD1");
        videoAsked_ = true;
        audioFormatWhenReady();
    }

    void startSound(Clock clock) {
        needGreeting("ASYN HPA1");
        if (clock != SimUsbScreenHost::kDeviceAudioClock)
            throw HostFault("the computer started sound (HPA1) on clock " + hexClock(clock) +
                            ", not the iPhone's audio clock " +
                            hexClock(SimUsbScreenHost::kDeviceAudioClock));
        soundAsked_ = true;
        audioFormatWhenReady();
    }

    void need(Clock clock) {
        if (!videoStarted_)
            throw HostFault("the computer asked for video (NEED) before the video started (CVRP)");
        if (clock != SimUsbScreenHost::kDeviceVideoClock)
            throw HostFault("the computer asked for video (NEED) on clock " + hexClock(clock) +
                            ", not the iPhone's video clock " +
                            hexClock(SimUsbScreenHost::kDeviceVideoClock));
        if (!stopped_)
            ++credit_;
    }

    void stopSound(Clock clock) {
        if (clock != SimUsbScreenHost::kDeviceAudioClock)
            throw HostFault("the computer stopped sound (HPA0) on clock " + hexClock(clock) +
                            ", not the iPhone's audio clock " +
                            hexClock(SimUsbScreenHost::kDeviceAudioClock));
        soundOff_ = true;
        stopWhenAsked();
    }

    void stopVideo() {
        videoOff_ = true;
        stopWhenAsked();
    }

    void needGreeting(const std::string& what) {
        if (!greeted_)
            throw HostFault("the computer sent " + what + " before its PING");
    }

    VideoFormat videoFormat() const {
        const auto& sets = encoder_->parameterSets();
        return {std::uint32_t(encoder_->width()), std::uint32_t(encoder_->height()), sets.sps, sets.pps};
    }

    // --- the session's steps -----------------------------------------------------------------------------

    void audioFormatWhenReady() {
        if (audioFormatSent_ || !hostAudioClock_ || !videoAsked_ || !soundAsked_)
            return;
        audioFormatSent_ = true;
        queue(syncAfmt(*hostAudioClock_, request(Request::afmt)));
    }

    void streamsOn() {
        if (stopped_)
            return;
        streaming_ = true;
        std::weak_ptr<Mailbox> weak = mailbox_;
        phone_->setFrameSink([weak](const CapturedFrame& frame) {
            if (auto mailbox = weak.lock()) {
                std::lock_guard lock(mailbox->mutex);
                mailbox->frame = frame;
                mailbox->wake.notify();
            }
        });
        phone_->setAudioSink([weak](const AudioBufferRef& buffer) {
            if (auto mailbox = weak.lock()) {
                std::lock_guard lock(mailbox->mutex);
                mailbox->sound.push_back(buffer);
                mailbox->wake.notify();
            }
        });
    }

    // Takes the phone's sinks back and forgets what waits in the mailbox.
    void streamsOff() {
        if (!streaming_)
            return;
        streaming_ = false;
        phone_->setFrameSink(nullptr);
        phone_->setAudioSink(nullptr);
        std::lock_guard lock(mailbox_->mutex);
        mailbox_->frame.reset();
        mailbox_->sound.clear();
    }

    // The host asked for both streams to stop: confirm with STOP for its video clock.
    void stopWhenAsked() {
        if (!soundOff_ || !videoOff_)
            return;
        if (stopped_)
            return;
        stopDevice("the iPhone ended screen sharing");
    }

    void stopDevice(const std::string& reason) {
        stopped_ = true;
        credit_ = 0;
        streamsOff();
        closingReason_ = reason;
        if (hostVideoClock_)
            queue(syncStop(*hostVideoClock_, request(Request::stop)));
        else
            closing_ = true; // video never started: there is no clock to stop
    }

    bool mayFeed() const {
        return streaming_ && !stopped_ && !silent_ && (credit_ > 0 || faults_.ignoreNeed) &&
               unsent() < kRoomForVideo;
    }

    void feed(const CapturedFrame& frame) {
        // Only the phone's own screen is encoded (an HDMI adapter's picture never comes this way).
        if (!frame.image || frame.image->width() != encoder_->width() ||
            frame.image->height() != encoder_->height())
            return;
        bool first = feeds_ == 0;
        std::vector<NalUnit> units = encoder_->encode(*frame.image, first);
        auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(frame.time.time_since_epoch()).count();
        const VideoFormat format = videoFormat();
        Bytes message = asynFeed(*hostVideoClock_, units, Time::valid(nanoseconds, 1'000'000'000),
                                 Time::valid(1, 60), first ? &format : nullptr);
        if (credit_ > 0)
            --credit_;
        ++feeds_;
        if (faults_.malformedAfterFeeds && feeds_ > *faults_.malformedAfterFeeds) {
            queueDamaged(std::move(message));
            return;
        }
        queue(message);
        if (observer_)
            observer_(std::chrono::steady_clock::now());
        if (faults_.stopAfterFeeds && feeds_ >= *faults_.stopAfterFeeds)
            stopDevice("the iPhone stopped screen sharing");
    }

    // The FEED with its sample buffer claiming more bytes than the packet holds; then the device falls
    // silent, as a phone whose stream broke does.
    void queueDamaged(Bytes bytes) {
        auto claimed = static_cast<std::uint32_t>(bytes.size() - kSampleBufferLengthOffset + 100);
        for (std::size_t i = 0; i < 4; ++i)
            bytes[kSampleBufferLengthOffset + i] = static_cast<std::uint8_t>(claimed >> (8 * i));
        queue(bytes);
        silent_ = true;
        streamsOff();
    }

    void eat(const AudioBuffer& sound) {
        // The phone's sound is 48 kHz; anything else is not what this device announced.
        if (!streaming_ || stopped_ || silent_ || sound.sampleRate != kSoundRate || sound.channels < 1 ||
            sound.frames() == 0 || unsent() > kMaxUnsent)
            return;
        if (!soundSample_) {
            auto nanoseconds =
                std::chrono::duration_cast<std::chrono::nanoseconds>(sound.time.time_since_epoch()).count();
            soundSample_ = nanoseconds / 1'000'000'000 * kSoundRate +
                           nanoseconds % 1'000'000'000 * kSoundRate / 1'000'000'000;
        }
        const std::int64_t start = *soundSample_;
        *soundSample_ += static_cast<std::int64_t>(sound.frames());
        queue(asynEat(*hostAudioClock_, pcm16Stereo(sound), start));
    }

    void end(const std::string& reason, bool gone) {
        ending_->set(reason, gone);
        streamsOff();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    std::shared_ptr<SimPhone> phone_;
    SimUsbFaults faults_;
    SimUsbScreenHost::FeedObserver observer_;
    int fd_;
    std::shared_ptr<Ending> ending_;
    std::shared_ptr<Mailbox> mailbox_;
    std::string plugKey_;
    std::thread thread_;

    // Device thread only.
    std::unique_ptr<H264Encoder> encoder_;
    PacketCutter cutter_;
    Bytes out_;
    std::size_t sent_ = 0;
    std::uint32_t chunkSeed_ = 20240611;
    RequestId nextId_ = kFirstRequestId;
    std::map<RequestId, Request> pending_;
    bool greeted_ = false, videoAsked_ = false, soundAsked_ = false, audioFormatSent_ = false;
    bool videoStarted_ = false, streaming_ = false;
    bool soundOff_ = false, videoOff_ = false, stopped_ = false, closing_ = false, silent_ = false;
    std::string closingReason_;
    std::optional<Clock> hostAudioClock_, hostVideoClock_, timeClock_;
    int timesAnswered_ = 0;
    long credit_ = 0;
    long feeds_ = 0;
    std::optional<std::int64_t> soundSample_;
};

} // namespace

std::string plugKey(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + std::to_string(++counter);
}

struct DeviceSide::Impl {
    Impl(std::shared_ptr<SimPhone> phone, SimUsbFaults faults, SimUsbScreenHost::FeedObserver observer, int fd,
         std::shared_ptr<Ending> ending)
        : device(std::move(phone), faults, std::move(observer), fd, std::move(ending)) {}
    Device device;
};

DeviceSide::DeviceSide(std::shared_ptr<SimPhone> phone, SimUsbFaults faults, SimUsbScreenHost::FeedObserver observer,
                       int fd, std::shared_ptr<Ending> ending)
    : impl_(std::make_unique<Impl>(std::move(phone), faults, std::move(observer), fd, std::move(ending))) {}

DeviceSide::~DeviceSide() = default;

void DeviceSide::stop() {
    impl_->device.stop();
}

} // namespace pokescope::sim::usbdevice
