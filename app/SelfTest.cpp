#include "app/SelfTest.hpp"

#include "core/Log.hpp"
#include "app/PokescopeApp.hpp"
#include "app/SelfTestModes.hpp"
#include "app/SelfTestWindows.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Process.hpp"
#include "sim/SimPhone.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace pokescope::SelfTest {

namespace {

constexpr int kPictureWidth = 600;
constexpr double kPictureQuality = 0.8;
constexpr double kWiggleRadius = 12;
constexpr auto kUsbWait = std::chrono::seconds(10);
constexpr auto kWiggleTimeout = std::chrono::seconds(120);
constexpr auto kInputTimeout = std::chrono::seconds(240);

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

// A test hook's bad value ends the run before anything starts.
[[noreturn]] void refuse(const std::string& why) {
    Log::shared().add("selftest: " + why);
    exitProcess(2);
}

Duration timeoutOr(Duration standard) {
    try {
        return timeoutFrom(std::getenv(kTimeoutVariable)).value_or(standard);
    } catch (const std::invalid_argument& e) {
        refuse(e.what());
    }
}

// With --simulate the simulated phone is plugged in: a phone set up for the pointer (AssistiveTouch on
// unless POKESCOPE_SIM says otherwise), as the run's settings describe it.
Services& plugInPhone(const Entry::Options& options) {
    if (!options.simulate)
        return Services::forProcess(Backends::system());
    sim::SimOptions phone = sim::runOptions();
    if (!phone.settings.assistiveTouch)
        phone.settings.assistiveTouch = true;
    sim::setRunOptions(phone);
    return Services::forProcess(PokescopeApp::backendsFor(options));
}

// What each mode starts with on the main queue; none for a mode that does not exist.
std::function<void()> starter(const std::string& mode, const std::vector<std::string>& extra,
                              const Entry::Options& options) {
    if (mode == "usb")
        return [options] { Modes::usb(plugInPhone(options)); };
    if (mode == "transcribe")
        return [extra] { Modes::transcribe(Services::forProcess(Backends::system()), extra); };
    if (mode == "wiggle")
        return [options] {
            auto timeout = timeoutOr(kWiggleTimeout);
            Modes::wiggle(plugInPhone(options), timeout);
        };
    if (mode == "input")
        return [options] {
            auto timeout = timeoutOr(kInputTimeout);
            Modes::input(plugInPhone(options), timeout);
        };
    return nullptr;
}

} // namespace

void run(const std::string& mode, const std::vector<std::string>& extra, const Entry::Options& options) {
    if (SelfTestWindows::handles(mode))
        SelfTestWindows::run(mode, options, extra);
    auto start = starter(mode, extra, options);
    if (!start)
        start = [mode] {
            Log::shared().add("unknown selftest " + mode);
            exitProcess(2);
        };
    DispatchQueue::main().async(std::move(start));
    DispatchQueue::runMain();
}

std::pair<std::int8_t, std::int8_t> wiggleStep(int step) {
    const double theta = static_cast<double>(step) / kWiggleSteps * 4 * std::numbers::pi;
    // Truncated toward zero: the casts do exactly that, and the radius keeps both inside a signed byte.
    return {static_cast<std::int8_t>(kWiggleRadius * std::cos(theta)),
            static_cast<std::int8_t>(kWiggleRadius * std::sin(theta))};
}

std::optional<Duration> timeoutFrom(const char* text) {
    if (!text || !*text)
        return std::nullopt;
    const std::string value(text);
    double seconds = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    // At most a year, so that the delay fits the clock's range.
    if (error != std::errc() || end != value.data() + value.size() || !(seconds > 0) ||
        seconds > 366.0 * 86400)
        throw std::invalid_argument(std::string(kTimeoutVariable) +
                                    " needs a number of seconds above 0, not \"" + value + "\"");
    return pokescope::seconds(seconds);
}

std::optional<std::string> writePicture(const ImageRef& image, const std::filesystem::path& path) {
    if (!image || image->empty())
        return "no frame from the iPhone";
    auto small = scaled(image, kPictureWidth);
    if (!small)
        return "the picture could not be scaled";
    auto jpeg = encoded(*small, ImageType::jpeg, kPictureQuality);
    if (!jpeg)
        return "the picture could not be encoded";
    std::string failure;
    if (!writeFileAtomically(path, *jpeg, failure))
        return failure;
    return std::nullopt;
}

namespace Modes {

bool reportPicture(const ImageRef& image, const std::string& path) {
    if (auto failure = writePicture(image, path)) {
        Log::shared().add("selftest couldn't write " + path + ": " + *failure);
        return false;
    }
    Log::shared().add("selftest wrote " + path);
    return true;
}

void usb(Services& services) {
    auto& main = DispatchQueue::main();
    // One line per phone each time what it tells changes (a phone that comes to trust this computer
    // shows its version and Bluetooth address only then); AssistiveTouch once per trusting phone.
    auto reported = std::make_shared<std::map<std::string, PhoneInfo>>();
    auto device = &services.device;
    device->setOnChange([reported, device](const std::vector<PhoneInfo>& phones) {
        for (const auto& phone : phones) {
            auto known = reported->find(phone.udid);
            if (known != reported->end() && known->second == phone)
                continue;
            bool newlyTrusted = phone.paired && (known == reported->end() || !known->second.paired);
            (*reported)[phone.udid] = phone;
            Log::shared().add("selftest phone: " + phone.name + " / " +
                              ProductNames::name(phone.productType) + " / iOS " + phone.iosVersion +
                              " / bt " + phone.bluetoothAddress + " / trusted " + yesNo(phone.paired));
            if (!newlyTrusted)
                continue;
            // A lockdown read blocks; never on the main queue.
            DispatchQueue::global().async([device, udid = phone.udid] {
                auto on = device->assistiveTouchEnabled(udid);
                Log::shared().add(std::string("selftest AssistiveTouch currently: ") +
                                  (on ? yesNo(*on) : "unknown"));
            });
        }
    });
    device->start();

    auto& capture = services.capture;
    capture.requestCamera([&capture](bool granted) {
        Log::shared().add(std::string("selftest camera permission: ") + yesNo(granted));
        if (granted)
            capture.start();
    });

    main.asyncAfter(kUsbWait, [&capture] {
        auto snapshot = capture.snapshot();
        const int width = snapshot.latest ? snapshot.latest->width() : 0;
        const int height = snapshot.latest ? snapshot.latest->height() : 0;
        Log::shared().add("selftest frames=" + std::to_string(snapshot.frameCount) +
                          " size=" + std::to_string(width) + "x" + std::to_string(height));
        // Passed only with frames and their picture written.
        const bool wrote = reportPicture(snapshot.latest, kShotPath);
        exitProcess(snapshot.frameCount > 0 && wrote ? 0 : 1);
    });
}

void transcribe(Services& services, const std::vector<std::string>& extra) {
    const std::string path = extra.empty() ? "" : extra[0];
    std::optional<std::string> language;
    if (extra.size() >= 2)
        language = extra[1];
    // Transcription blocks for the whole file, and asking for permission may need the main queue.
    DispatchQueue::global().async([&services, path, language] {
        std::string line;
        int status = 0;
        try {
            auto result = services.transcriber.transcribe(path, language);
            // The language the recogniser used, which is the one asked for or the one chosen for it.
            line = "selftest transcript (" + result.language + "):\n" + Transcriber::text(result.lines);
        } catch (const std::exception& e) {
            line = std::string("selftest transcribe failed: ") + e.what();
            status = 1;
        }
        DispatchQueue::main().async([line, status] {
            Log::shared().add(line);
            exitProcess(status);
        });
    });
}

} // namespace Modes

} // namespace pokescope::SelfTest
