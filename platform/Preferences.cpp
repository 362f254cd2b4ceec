#include "platform/Preferences.hpp"

#include "platform/AtomicFile.hpp"
#include "platform/Paths.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace pokescope {

namespace fs = std::filesystem;

namespace {

// Holds an exclusive advisory lock on `<file>.lock` for as long as it lives.
class FileLock {
public:
    explicit FileLock(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_); // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

std::string timestampForName() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

} // namespace

Preferences::Preferences(fs::path file, Reporter reporter) : file_(std::move(file)), reporter_(std::move(reporter)) {
    std::lock_guard lock(mutex_);
    if (auto loaded = readFile(true))
        values_ = std::move(*loaded);
}

void Preferences::report(const std::string& message) const {
    if (reporter_)
        reporter_(message);
}

// Reads the file. Missing: none. Unreadable as a JSON object: kept aside under a new name (when asked) and
// reported, then none. Called with `mutex_` held.
std::optional<nlohmann::json> Preferences::readFile(bool setAsideCorrupt) {
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object())
        return parsed;
    if (!setAsideCorrupt)
        return std::nullopt;
    std::string reason = parsed.is_discarded() ? "it is not valid JSON" : "it does not hold a JSON object";
    fs::path aside = file_;
    aside += ".corrupt-" + timestampForName();
    for (int n = 2; fs::exists(aside); ++n) {
        aside = file_;
        aside += ".corrupt-" + timestampForName() + "-" + std::to_string(n);
    }
    std::error_code ec;
    fs::rename(file_, aside, ec);
    if (ec)
        report("settings: can't read " + file_.string() + " (" + reason + ") and can't keep it aside (" +
               ec.message() + "); using the defaults");
    else
        report("settings: can't read " + file_.string() + " (" + reason + "); kept it as " +
               aside.filename().string() + " and started from the defaults");
    return std::nullopt;
}

bool Preferences::reload() {
    std::lock_guard lock(mutex_);
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        report("settings: can't read " + file_.string() + " (" +
               (parsed.is_discarded() ? "it is not valid JSON" : "it does not hold a JSON object") +
               "); keeping the settings in use");
        return false;
    }
    if (parsed == values_)
        return false;
    values_ = std::move(parsed);
    report("settings: read " + file_.filename().string() + " again");
    return true;
}

void Preferences::registerDefaults(const nlohmann::json& defaults) {
    std::lock_guard lock(mutex_);
    for (auto it = defaults.begin(); it != defaults.end(); ++it)
        defaults_[it.key()] = it.value();
}

std::optional<nlohmann::json> Preferences::lookup(const std::string& key, bool& stored) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) {
        stored = true;
        return *it;
    }
    stored = false;
    if (auto it = defaults_.find(key); it != defaults_.end())
        return *it;
    return std::nullopt;
}

bool Preferences::boolForKey(const std::string& key) const {
    bool stored = false;
    auto value = lookup(key, stored);
    return value && value->is_boolean() && value->get<bool>();
}

long long Preferences::integerForKey(const std::string& key) const {
    bool stored = false;
    auto value = lookup(key, stored);
    if (!value)
        return 0;
    if (value->is_number_unsigned()) // before the signed test, which unsigned numbers also pass
        return static_cast<long long>(std::min<unsigned long long>(value->get<unsigned long long>(), LLONG_MAX));
    if (value->is_number_integer())
        return value->get<long long>();
    // A whole number written with a decimal point (a hand-edited 30.0) is still that number.
    if (value->is_number_float()) {
        double d = value->get<double>();
        if (d == static_cast<double>(static_cast<long long>(d)))
            return static_cast<long long>(d);
    }
    return 0;
}

std::optional<std::string> Preferences::stringForKey(const std::string& key) const {
    bool stored = false;
    auto value = lookup(key, stored);
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

std::optional<nlohmann::json> Preferences::storedValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end())
        return *it;
    return std::nullopt;
}

void Preferences::set(const std::string& key, nlohmann::json value) { write(key, std::move(value)); }

void Preferences::remove(const std::string& key) { write(key, std::nullopt); }

void Preferences::write(const std::string& key, const std::optional<nlohmann::json>& value) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);

    fs::path lockPath = file_;
    lockPath += ".lock";
    FileLock fileLock(lockPath);

    // Start from what is on disk now, so changes another process made since we loaded survive.
    if (auto current = readFile(true))
        values_ = std::move(*current);
    if (value)
        values_[key] = *value;
    else
        values_.erase(key);

    std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::string failure;
    if (!writeFileAtomically(file_, text, failure))
        report("settings: can't save \"" + key + "\": " + failure);
}

} // namespace pokescope
