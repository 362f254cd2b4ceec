// The per-user preferences store: typed values (booleans, integers, strings) under fixed keys, with
// registered defaults, kept in one JSON file.
//
// Every write reaches the disk at once and atomically (temporary file, fsync, rename, fsync of the
// folder), so a crash or a kill mid-write leaves either the old or the new file, never a partial one.
// Writers take an advisory lock and re-read the file first, so two processes of the same user (the
// application and a self-test) do not undo each other's changes. A file that cannot be parsed is kept
// aside under a new name and reported, never silently overwritten.
//
// Thread contract: all members may be called from any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace pokescope {

class Preferences {
public:
    using Reporter = std::function<void(const std::string& message)>;

    // `reporter` hears of problems with the file (a corrupt file kept aside, a failed write).
    explicit Preferences(std::filesystem::path file, Reporter reporter = {});


    // A registered default is what a read yields while nothing is stored; registering writes nothing.
    void registerDefaults(const nlohmann::json& defaults);

    // Typed reads. A stored value of another type reads as the type's fallback (false, 0, none), not as
    // the registered default.
    bool boolForKey(const std::string& key) const;
    long long integerForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    // The stored value itself, ignoring defaults.
    std::optional<nlohmann::json> storedValue(const std::string& key) const;

    // Stores a value and writes the file before returning. A failed write is reported and the value
    // stays in memory for this process.
    void set(const std::string& key, nlohmann::json value);
    void remove(const std::string& key);

    // Reads the file again (edited by hand while the application runs). A file that cannot be read as a
    // JSON object keeps the values in use and is reported; a missing one keeps them too. True when the
    // values changed.
    bool reload();

    const std::filesystem::path& file() const { return file_; }

private:
    std::optional<nlohmann::json> lookup(const std::string& key, bool& stored) const;
    std::optional<nlohmann::json> readFile(bool setAsideCorrupt);
    void write(const std::string& key, const std::optional<nlohmann::json>& value);
    void report(const std::string& message) const;

    std::filesystem::path file_;
    Reporter reporter_;
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
    nlohmann::json defaults_ = nlohmann::json::object();
};

} // namespace pokescope
