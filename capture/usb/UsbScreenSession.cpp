#include "capture/usb/UsbScreenSession.hpp"

#include "capture/usb/UsbPacketSplitter.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <map>

namespace pokescope::usbscreen {

namespace {

// The phone asks for the skew of its audio against our clock and is content with its own sample rate
// back; we have no better measure of our own, and it does not need one to keep streaming.
constexpr double kObservedSkew = 48000.0;

// Our clock references only need to be distinct and unlike 0 and kNoClock; a recognisable prefix makes
// ours stand out from the phone's in a log.
constexpr ClockRef kFirstClock = 0x5053'0000'0000'1000;
constexpr ClockRef kClockStep = 0x10;

constexpr FourCC kSyncFrame = fourcc("sync");
constexpr FourCC kAsynFrame = fourcc("asyn");
// The SYNC requests and ASYN messages the packet library reads: a packet with any other code is a newer
// phone's addition, which we skip instead of giving up the whole session for it.
constexpr std::array kSyncCodes{fourcc("cwpa"), fourcc("afmt"), fourcc("cvrp"), fourcc("clok"),
                                fourcc("time"), fourcc("skew"), fourcc("go! "), fourcc("stop")};
constexpr std::array kAsynCodes{fourcc("sprp"), fourcc("srat"), fourcc("tbas"), fourcc("tjmp"),
                                fourcc("feed"), fourcc("eat!"), fourcc("rels"), fourcc("need"),
                                fourcc("hpd1"), fourcc("hpa1"), fourcc("hpd0"), fourcc("hpa0")};

std::uint32_t u32At(const Bytes& bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | (std::uint32_t(bytes[at + 1]) << 8) |
           (std::uint32_t(bytes[at + 2]) << 16) | (std::uint32_t(bytes[at + 3]) << 24);
}

template <std::size_t N> bool contains(const std::array<FourCC, N>& codes, FourCC code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// "SYNC request 'abcd'" when the packet is a SYNC or ASYN whose header is whole but whose code we do not
// know; nothing for every other packet the parser refused.
std::optional<std::string> unknownKind(const Bytes& packet) {
    // Length, frame code, clock (8 bytes), then the request or message code.
    constexpr std::size_t kCodeAt = 16;
    if (packet.size() < kCodeAt + 4)
        return std::nullopt;
    FourCC frame = u32At(packet, 4);
    FourCC code = u32At(packet, kCodeAt);
    // A SYNC also needs its correlation id for the header to be whole.
    if (frame == kSyncFrame && packet.size() >= kCodeAt + 12 && !contains(kSyncCodes, code))
        return "SYNC request '" + fourccName(code) + "'";
    if (frame == kAsynFrame && !contains(kAsynCodes, code))
        return "ASYN message '" + fourccName(code) + "'";
    return std::nullopt;
}

std::string hexClock(ClockRef clock) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(clock));
    return text;
}

// "5 s", "2.5 s", "0.25 s".
std::string seconds(std::int64_t nanoseconds) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(nanoseconds) / 1e9);
    std::string result = text;
    while (result.back() == '0')
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result + " s";
}

// The packet library's messages are whole sentences ("The SYNC CWPA packet ..."); inside our reason they
// read better as a clause.
std::string clause(std::string sentence) {
    if (sentence.size() >= 2 && sentence[0] >= 'A' && sentence[0] <= 'Z' &&
        (sentence[1] == ' ' || (sentence[1] >= 'a' && sentence[1] <= 'z')))
        sentence[0] = static_cast<char>(sentence[0] - 'A' + 'a');
    if (!sentence.empty() && sentence.back() == '.')
        sentence.pop_back();
    return sentence;
}

std::string describe(const Key& key) {
    if (const auto* name = std::get_if<std::string>(&key))
        return *name;
    return "#" + std::to_string(std::get<std::uint32_t>(key));
}

std::string describe(const Value& value) {
    if (const auto* flag = std::get_if<bool>(&value))
        return *flag ? "true" : "false";
    if (const auto* number = std::get_if<Number>(&value)) {
        if (auto integer = number->integer())
            return std::to_string(*integer);
        return std::to_string(std::get<double>(number->value));
    }
    if (const auto* text = std::get_if<std::string>(&value))
        return "\"" + *text + "\"";
    if (std::holds_alternative<Bytes>(value))
        return "(data)";
    if (std::holds_alternative<Dictionary>(value))
        return "(dictionary)";
    return "(format description)";
}

std::string describe(const FormatDescription& format) {
    std::string text = format.codec ? fourccName(*format.codec) : std::string("no codec");
    if (format.dimensions)
        text += ", " + std::to_string(format.dimensions->width) + " x " +
                std::to_string(format.dimensions->height);
    return text;
}

std::string describe(const AudioStreamDescription& format) {
    char text[120];
    std::snprintf(text, sizeof text, "%s, %.0f Hz, %u channels of %u bits",
                  fourccName(format.formatId).c_str(), format.sampleRate, format.channelsPerFrame,
                  format.bitsPerChannel);
    return text;
}

// A deadline that saturates instead of overflowing, so that a huge time-out means "never".
std::int64_t after(std::int64_t now, std::int64_t duration) {
    if (duration > 0 && now > std::numeric_limits<std::int64_t>::max() - duration)
        return std::numeric_limits<std::int64_t>::max();
    return now + duration;
}

} // namespace

struct ScreenSession::Impl {
    explicit Impl(ScreenSession& session) : self(session) {}

    ScreenSession& self;
    PacketSplitter splitter;
    // Set while received() works through the splitter, so that bytes given by an event handler wait for
    // the packet being handled to finish.
    bool handling = false;
    bool ticked = false;
    std::optional<std::int64_t> deadline;
    std::string deadlineReason;
    std::int64_t greetingTime = 0;
    ClockRef nextClock = kFirstClock;
    // When each of our clocks was made: TIME answers how long ago.
    std::map<ClockRef, std::int64_t> clockStarts;
    // HPD1 and HPA1 went out, so stopping before video has started must switch them off again.
    bool streamsOn = false;
    std::optional<FormatDescription> videoFormat;
    std::optional<AudioStreamDescription> audioFormat;

    State state() const { return self.state_; }
    bool ended() const { return self.state_ == State::ended; }

    void log(const std::string& line) {
        if (self.events_.log)
            self.events_.log(line);
    }

    void finish(std::string reason, bool orderly) {
        if (ended())
            return;
        self.state_ = State::ended;
        deadline.reset();
        // Nothing more will be read: drop what is buffered.
        splitter = PacketSplitter();
        if (self.events_.ended)
            self.events_.ended(reason, orderly);
    }

    void damaged(const std::string& what) {
        finish("the iPhone sent a damaged packet: " + clause(what), false);
    }

    void setDeadline(std::int64_t duration, std::string reason) {
        deadline = after(self.now_(), duration);
        deadlineReason = std::move(reason);
    }

    // True when the packet went out and the session is still live.
    bool send(const Packet& packet) {
        if (ended())
            return false;
        bool sent = self.events_.send && self.events_.send(buildPacket(packet));
        if (!sent)
            finish("couldn't write to the iPhone (" + std::string(packetName(packet)) + ")", false);
        return sent && !ended();
    }

    ClockRef newClock() {
        ClockRef clock = nextClock;
        nextClock += kClockStep;
        clockStarts[clock] = self.now_();
        return clock;
    }

    void received(ByteView bytes) {
        if (ended() || bytes.empty())
            return;
        splitter.append(bytes);
        if (handling)
            return;
        handling = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{handling};
        while (!ended()) {
            std::optional<Bytes> frame;
            Packet packet;
            try {
                frame = splitter.next();
                if (!frame)
                    break;
                packet = parsePacket(*frame);
            } catch (const ProtocolError& error) {
                auto kind = frame ? unknownKind(*frame) : std::nullopt;
                if (!kind) {
                    damaged(error.what());
                    break;
                }
                if (state() == State::waitingForPing)
                    notGreeted(*kind);
                else
                    log("skipped an unknown " + *kind + " from the iPhone");
                continue;
            }
            handle(packet);
        }
    }

    void notGreeted(const std::string& first) {
        finish("the iPhone did not start screen sharing: its first packet was " + first +
                   ", not the greeting (PING)",
               false);
    }

    void handle(const Packet& packet) {
        if (state() == State::waitingForPing && !std::holds_alternative<Ping>(packet)) {
            notGreeted(std::string(packetName(packet)));
            return;
        }
        std::visit([this](const auto& p) { on(p); }, packet);
    }

    void tick() {
        if (ended())
            return;
        std::int64_t now = self.now_();
        if (!ticked) {
            ticked = true;
            if (state() == State::waitingForPing)
                setDeadline(self.timeouts_.pingNanoseconds,
                            "the iPhone did not answer: no screen-sharing greeting within " +
                                seconds(self.timeouts_.pingNanoseconds));
        }
        if (deadline && now >= *deadline)
            finish(deadlineReason, false);
    }

    void stop() {
        switch (state()) {
        case State::ended:
        case State::stopping:
            return;
        case State::waitingForPing:
            finish("screen sharing stopped", true);
            return;
        case State::starting:
            // Without our video clock the phone has nothing to STOP: switch off what we switched on and
            // end without waiting.
            if (streamsOn && !sendStreamsOff())
                return;
            finish("screen sharing stopped", true);
            return;
        case State::streaming:
            self.state_ = State::stopping;
            setDeadline(self.timeouts_.stopNanoseconds,
                        "the iPhone did not answer: it did not confirm the end of screen sharing within " +
                            seconds(self.timeouts_.stopNanoseconds));
            log("asking the iPhone to stop its sound and video");
            sendStreamsOff();
            return;
        }
    }

    bool sendStreamsOff() {
        if (self.deviceAudioClock_ && !send(AsynHpa0{*self.deviceAudioClock_}))
            return false;
        return send(AsynHpd0{kNoClock});
    }

    void on(const Ping&) {
        if (state() != State::waitingForPing) {
            log("skipped a second greeting (PING) from the iPhone");
            return;
        }
        self.state_ = State::starting;
        greetingTime = self.now_();
        setDeadline(self.timeouts_.handshakeNanoseconds,
                    "the iPhone did not answer: screen sharing did not start within " +
                        seconds(self.timeouts_.handshakeNanoseconds) + " of its greeting");
        log("the iPhone greeted (PING)");
        send(Ping{});
    }

    void on(const SyncCwpa& request) {
        // A second one would move the sound to a clock our HPA1 never named.
        if (self.deviceAudioClock_) {
            damaged("a second SYNC CWPA (sound start) for clock " + hexClock(request.deviceClock));
            return;
        }
        self.deviceAudioClock_ = request.deviceClock;
        ClockRef ours = newClock();
        self.hostAudioClock_ = ours;
        log("sound starts: the iPhone's clock " + hexClock(request.deviceClock) + ", ours " + hexClock(ours));
        if (!send(Reply::withClock(request.correlationId, ours)))
            return;
        // While stopping the answer is owed, but switching the streams on is not.
        if (state() != State::starting && state() != State::streaming)
            return;
        streamsOn = true;
        if (!send(AsynHpd1{kNoClock, std::nullopt}))
            return;
        send(AsynHpa1{request.deviceClock, std::nullopt});
    }

    void on(const SyncAfmt& request) {
        log("sound format: " + describe(request.format));
        audioFormat = request.format;
        if (self.events_.audioFormat) {
            self.events_.audioFormat(request.format);
            if (ended())
                return;
        }
        send(Reply::audioFormatAccepted(request.correlationId));
    }

    void on(const SyncCvrp& request) {
        // A second one would move the video to a clock our NEEDs never named.
        if (self.deviceVideoClock_) {
            damaged("a second SYNC CVRP (video start) for clock " + hexClock(request.deviceClock));
            return;
        }
        self.deviceVideoClock_ = request.deviceClock;
        if (auto format = request.format()) {
            log("video format: " + describe(*format));
            videoFormat = *format;
            if (self.events_.videoFormat) {
                self.events_.videoFormat(*format);
                if (ended())
                    return;
            }
        } else {
            log("video starts without a format description");
        }
        ClockRef ours = newClock();
        self.hostVideoClock_ = ours;
        log("video starts: the iPhone's clock " + hexClock(request.deviceClock) + ", ours " + hexClock(ours));
        if (!send(Reply::withClock(request.correlationId, ours)))
            return;
        if (state() != State::starting)
            return;
        self.state_ = State::streaming;
        deadline.reset();
        send(AsynNeed{request.deviceClock});
    }

    void on(const SyncClok& request) {
        ClockRef ours = newClock();
        log("new clock " + hexClock(ours) + " for the iPhone's " + hexClock(request.clock));
        send(Reply::withClock(request.correlationId, ours));
    }

    void on(const SyncTime& request) {
        std::int64_t start = greetingTime;
        if (auto found = clockStarts.find(request.clock); found != clockStarts.end())
            start = found->second;
        else
            log("asked the time of clock " + hexClock(request.clock) + ", which is not ours");
        std::int64_t elapsed = std::max<std::int64_t>(0, self.now_() - start);
        send(Reply::withTime(request.correlationId, MediaTime::fromNanoseconds(elapsed)));
    }

    void on(const SyncSkew& request) { send(Reply::withSkew(request.correlationId, kObservedSkew)); }

    void on(const SyncOg& request) { send(Reply::empty(request.correlationId)); }

    void on(const SyncStop& request) {
        if (!send(Reply::empty(request.correlationId)))
            return;
        bool video = self.hostVideoClock_ && request.clock == *self.hostVideoClock_;
        if (video && state() == State::stopping) {
            finish("screen sharing stopped", true);
        } else if (video && state() == State::streaming) {
            finish("the iPhone stopped screen sharing", false);
        } else {
            log("the iPhone stopped clock " + hexClock(request.clock));
        }
    }

    void on(const Reply& reply) {
        log("skipped an answer (RPLY) to nothing we asked, correlation id " + hexClock(reply.correlationId));
    }

    void on(const AsynSprp& message) {
        log("stream " + hexClock(message.clock) + " property " + describe(message.property.key) + " = " +
            describe(message.property.value));
    }

    void on(const AsynSrat& message) {
        auto anchor = message.anchor.seconds();
        log("time base " + hexClock(message.clock) + " rate " + std::to_string(message.rate) + " at " +
            (anchor ? std::to_string(*anchor) + " s" : std::string("no valid time")));
    }

    void on(const AsynTbas& message) {
        log("time base " + hexClock(message.timeBase) + " for clock " + hexClock(message.clock));
    }

    void on(const AsynTjmp& message) { log("time base " + hexClock(message.clock) + " jumped"); }

    void on(const AsynFeed& message) {
        if (!self.deviceVideoClock_) {
            log("skipped video that came before its format (CVRP)");
            return;
        }
        // A decoder would read past the sample with these lengths: the bytes are not what the phone sent.
        try {
            (void)message.buffer.nalUnits();
        } catch (const ProtocolError& error) {
            damaged(error.what());
            return;
        }
        if (message.buffer.format && message.buffer.format != videoFormat) {
            log("video format changes: " + describe(*message.buffer.format));
            videoFormat = message.buffer.format;
            if (self.events_.videoFormat) {
                self.events_.videoFormat(*message.buffer.format);
                if (ended())
                    return;
            }
        }
        ++self.videoSamples_;
        // One NEED per FEED, sent before the picture is handled: the phone encodes its next picture while
        // this one decodes, and at most one more waits behind it. While stopping we want no more.
        if (state() == State::streaming && !send(AsynNeed{*self.deviceVideoClock_}))
            return;
        if (self.events_.video)
            self.events_.video(message.buffer);
    }

    void on(const AsynEat& message) {
        if (!self.deviceAudioClock_) {
            log("skipped sound that came before its start (CWPA)");
            return;
        }
        const auto& format = message.buffer.format;
        if (format && format->audio && format->audio != audioFormat) {
            log("sound format changes: " + describe(*format->audio));
            audioFormat = format->audio;
            if (self.events_.audioFormat) {
                self.events_.audioFormat(*format->audio);
                if (ended())
                    return;
            }
        }
        if (self.events_.audio)
            self.events_.audio(message.buffer);
    }

    void on(const AsynRels& message) {
        log("the iPhone released clock " + hexClock(message.clock));
        // Either end of the video clock pair going away means no more video, whichever the phone names.
        bool video = (self.hostVideoClock_ && message.clock == *self.hostVideoClock_) ||
                     (self.deviceVideoClock_ && message.clock == *self.deviceVideoClock_);
        if (video && state() == State::streaming)
            finish("the iPhone stopped screen sharing", false);
    }

    // What the host sends has no meaning coming from the phone; harmless, so only noted.
    template <class HostMessage> void on(const HostMessage& message) {
        log("skipped " + std::string(packetName(Packet(message))) + ", which only we send, from the iPhone");
    }
};

ScreenSession::ScreenSession(Events events, std::function<std::int64_t()> now, Timeouts timeouts)
    : events_(std::move(events)), now_(std::move(now)), timeouts_(timeouts),
      impl_(std::make_unique<Impl>(*this)) {}

ScreenSession::ScreenSession(Events events, std::function<std::int64_t()> now)
    : ScreenSession(std::move(events), std::move(now), Timeouts{}) {}

ScreenSession::~ScreenSession() = default;

void ScreenSession::received(ByteView bytes) {
    impl_->received(bytes);
}

void ScreenSession::tick() {
    impl_->tick();
}

void ScreenSession::stop() {
    impl_->stop();
}

} // namespace pokescope::usbscreen
