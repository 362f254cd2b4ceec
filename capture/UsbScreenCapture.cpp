#include "capture/UsbScreenCapture.hpp"

#include "core/Log.hpp"
#include "capture/usb/UsbScreenSession.hpp"
#include "platform/AudioPlayback.hpp"
#include "platform/Dispatch.hpp"
#include "platform/VideoCodec.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace pokescope {

namespace {

using namespace usbscreen;

// The platform's H.264 decoder, made from the format's parameter sets, delivering the phone's own size.
class PlatformDecoder final : public UsbVideoDecoder {
public:
    explicit PlatformDecoder(const FormatDescription& format) {
        auto sets = format.h264ParameterSets();
        if (!sets || !format.dimensions)
            throw std::runtime_error("the iPhone's video format has no H.264 parameter sets or no size");
        decoder_ = H264Decoder::create(sets->sps, sets->pps, static_cast<int>(format.dimensions->width),
                                       static_cast<int>(format.dimensions->height));
    }
    ImageRef decode(const std::vector<Bytes>& nalUnits) override {
        auto picture = decoder_->decode(nalUnits);
        return picture ? std::make_shared<const Image>(std::move(*picture)) : nullptr;
    }

private:
    std::unique_ptr<H264Decoder> decoder_;
};

std::int64_t monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Session final : public CaptureSession {
public:
    Session(std::unique_ptr<UsbScreenLink> link, UsbScreenCapture::DecoderFactory decoders)
        : link_(std::move(link)), decoders_(std::move(decoders)) {}

    ~Session() override { stop(); }

    void start(FrameHandler onFrame, ErrorHandler onError) override {
        std::lock_guard lock(mutex_);
        if (session_)
            return;
        onFrame_ = std::move(onFrame);
        onError_ = std::move(onError);
        ScreenSession::Events events;
        events.send = [this](const Bytes& packet) {
            std::string error;
            return link_->write(packet, error);
        };
        events.videoFormat = [this](const FormatDescription& format) { videoFormat(format); };
        events.video = [this](const SampleBuffer& sample) { video(sample); };
        events.audioFormat = [this](const AudioStreamDescription& format) { audioFormat_ = format; };
        events.audio = [this](const SampleBuffer& sample) { audio(sample); };
        events.ended = [this](const std::string& reason, bool orderly) { ended(reason, orderly); };
        events.log = [](const std::string& line) { Log::shared().add("screen: usb: " + line); };
        session_ = std::make_unique<ScreenSession>(std::move(events), monotonicNanoseconds);
        link_->start(
            [this](std::span<const std::uint8_t> bytes) {
                std::lock_guard lock(mutex_);
                if (session_)
                    session_->received(bytes);
            },
            [this](const std::string& reason, bool gone) { linkClosed(reason, gone); });
        ticker_ = std::thread([this] {
            setThreadName("usbscreen.tick");
            std::unique_lock lock(mutex_);
            while (!stopping_) {
                wake_.wait_for(lock, std::chrono::milliseconds(250));
                if (session_ && !stopping_)
                    session_->tick();
            }
        });
    }

    void stop() override {
        {
            std::unique_lock lock(mutex_);
            if (!session_ || stopped_)
                return;
            stopped_ = true;
            // Ask the phone to stop its streams and wait (at most the session's own stop time-out) until it
            // has confirmed, so the phone is left idle rather than streaming into a closed interface.
            session_->stop();
            wake_.wait_for(lock, std::chrono::milliseconds(3500),
                           [this] { return session_->state() == ScreenSession::State::ended; });
            stopping_ = true;
        }
        wake_.notify_all();
        if (ticker_.joinable())
            ticker_.join();
        link_->close();
        std::lock_guard lock(mutex_);
        onFrame_ = nullptr;
        onError_ = nullptr;
        onAudio_ = nullptr;
    }

    bool offersAudio() const override { return true; }

    bool setAudioOutput(AudioHandler onAudio) override {
        std::lock_guard lock(mutex_);
        onAudio_ = std::move(onAudio);
        return true;
    }
    bool hasAudioOutput() const override {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(onAudio_);
    }

    bool setPlayback(bool on) override { return playback_.set(on); }
    bool hasPlayback() const override { return playback_.on(); }
    std::string playbackProblem() const override { return playback_.problem(); }

private:
    // The calls below come from the session, under mutex_.
    void videoFormat(const FormatDescription& format) {
        decoder_.reset();
        if (!decoders_)
            return;
        try {
            decoder_ = decoders_(format);
        } catch (const std::exception& e) {
            fail(std::string("can't decode the iPhone's video: ") + e.what());
        }
    }

    void video(const SampleBuffer& sample) {
        if (sample.format)
            videoFormat(*sample.format);
        if (!decoder_ || !onFrame_)
            return;
        try {
            if (auto image = decoder_->decode(sample.nalUnits())) {
                decodeTrouble_ = false;
                onFrame_(CapturedFrame{image, captureClockNow()});
            }
        } catch (const std::exception& e) {
            // A damaged picture: the next key frame recovers. Said once per run of them.
            if (!decodeTrouble_)
                Log::shared().add(std::string("screen: usb: a picture from the iPhone could not be decoded: ") + e.what());
            decodeTrouble_ = true;
        }
    }

    void audio(const SampleBuffer& sample) {
        if (!sample.data)
            return;
        const int channels = audioFormat_ && audioFormat_->channelsPerFrame ? static_cast<int>(audioFormat_->channelsPerFrame) : 2;
        const int rate = audioFormat_ && audioFormat_->sampleRate > 0 ? static_cast<int>(audioFormat_->sampleRate) : 48000;
        auto buffer = std::make_shared<AudioBuffer>();
        buffer->sampleRate = rate;
        buffer->channels = channels;
        buffer->samples = floatSamples(*sample.data);
        // One time line: the first buffer is placed at its arrival on the capture clock, the later ones by
        // the phone's own sample times after it, so that the sound has no gaps or overlaps of ours.
        const auto presentation = sample.timing && !sample.timing->empty() ? sample.timing->front().presentation.seconds()
                                                                           : std::optional<double>();
        if (presentation && audioAnchor_) {
            buffer->time = audioAnchor_->first + std::chrono::duration_cast<Duration>(
                                                      std::chrono::duration<double>(*presentation - audioAnchor_->second));
        } else {
            buffer->time = captureClockNow();
            if (presentation)
                audioAnchor_ = std::make_pair(buffer->time, *presentation);
        }
        if (onAudio_)
            onAudio_(buffer);
        playback_.play(buffer);
    }

    void ended(const std::string& reason, bool orderly) {
        wake_.notify_all();
        Log::shared().add("screen: usb: " + reason);
        if (!orderly)
            fail(reason);
    }

    void fail(const std::string& reason) {
        if (failed_ || stopped_)
            return;
        failed_ = true;
        if (onError_) {
            // The handler may stop this session: not from inside the session's own call.
            DispatchQueue::global().async([handler = onError_, reason] { handler(reason, false); });
        }
    }

    void linkClosed(const std::string& reason, bool gone) {
        std::lock_guard lock(mutex_);
        linkGone_ = true;
        wake_.notify_all();
        if (failed_ || stopped_)
            return;
        failed_ = true;
        if (onError_)
            DispatchQueue::global().async([handler = onError_, reason, gone] { handler(reason, gone); });
    }

    std::unique_ptr<UsbScreenLink> link_;
    UsbScreenCapture::DecoderFactory decoders_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unique_ptr<ScreenSession> session_;
    std::unique_ptr<UsbVideoDecoder> decoder_;
    std::optional<AudioStreamDescription> audioFormat_;
    std::optional<std::pair<TimePoint, double>> audioAnchor_;
    FrameHandler onFrame_;
    ErrorHandler onError_;
    AudioHandler onAudio_;
    PlaybackSwitch playback_;
    std::thread ticker_;
    bool stopping_ = false, stopped_ = false, failed_ = false, decodeTrouble_ = false, linkGone_ = false;
};

} // namespace

std::vector<float> floatSamples(const usbscreen::Bytes& pcm16) {
    std::vector<float> samples(pcm16.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::int16_t value;
        std::memcpy(&value, pcm16.data() + 2 * i, 2); // little endian, as the phone and this machine
        samples[i] = static_cast<float>(value) / 32768.0F;
    }
    return samples;
}

UsbScreenCapture::UsbScreenCapture(std::shared_ptr<UsbScreenHost> host, DecoderFactory decoders)
    : host_(std::move(host)), decoders_(std::move(decoders)) {
    if (!decoders_)
        decoders_ = [](const FormatDescription& format) -> std::unique_ptr<UsbVideoDecoder> {
            return std::make_unique<PlatformDecoder>(format);
        };
}

CaptureBackend::Permission UsbScreenCapture::permission() const { return Permission::authorized; }

void UsbScreenCapture::requestPermission(std::function<void(bool granted)> done) { done(true); }

std::vector<CaptureDeviceInfo> UsbScreenCapture::devices() {
    std::vector<CaptureDeviceInfo> found;
    for (const auto& device : host_->devices())
        found.push_back(CaptureDeviceInfo{device.uniqueID, device.name, kModelID, "Apple Inc.", "usb:" + device.uniqueID, true});
    return found;
}

void UsbScreenCapture::setDeviceEvents(DeviceEventHandler handler) { host_->setDeviceEvents(std::move(handler)); }

std::unique_ptr<CaptureSession> UsbScreenCapture::open(const CaptureDeviceInfo& device, std::string& error) {
    auto link = host_->open(UsbScreenDevice{device.uniqueID, device.localizedName}, error);
    if (!link)
        return nullptr;
    return std::make_unique<Session>(std::move(link), decoders_);
}

} // namespace pokescope
