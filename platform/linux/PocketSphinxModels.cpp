// Where the speech models are and what they are called: the installed model folders, complete ones only, and
// the locale names of models and of the user's environment.
#include "platform/linux/PocketSphinxSpeech.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace pokescope::speech {

namespace {

constexpr const char* kDebianModelFolder = "/usr/share/pocketsphinx/model";

// What every acoustic model folder holds, besides its mixture weights ("sendump" or "mixture_weights").
constexpr const char* kAcousticFiles[] = {"mdef", "means", "variances", "transition_matrices"};

bool isDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool isFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::string defaultModelFolder() {
    if (const char* configured = std::getenv("POKESCOPE_SPEECH_MODELS"); configured && *configured)
        return configured;
    return kDebianModelFolder;
}

std::string localeIdentifier(std::string_view name) {
    const auto cut = name.find_first_of("-_");
    std::string language = lowered(name.substr(0, cut));
    if (language.empty())
        return {};
    if (cut == std::string_view::npos || cut + 1 >= name.size())
        return language;
    std::string region(name.substr(cut + 1));
    for (auto& c : region) {
        if (c == '_')
            c = '-';
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return language + "-" + region;
}

std::vector<ModelFiles> findModels(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<ModelFiles> models;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error)
        return models;
    std::vector<fs::path> languages;
    for (const auto& entry : entries)
        if (isDirectory(entry.path()))
            languages.push_back(entry.path());
    std::sort(languages.begin(), languages.end());
    for (const auto& dir : languages) {
        const std::string name = dir.filename().string();
        const std::string locale = localeIdentifier(name);
        if (locale.empty())
            continue;
        // The library ends the process when it meets a broken acoustic model, so only a complete one counts.
        const fs::path acoustic = dir / name;
        const bool complete = std::all_of(std::begin(kAcousticFiles), std::end(kAcousticFiles),
                                          [&](const char* file) { return isFile(acoustic / file); }) &&
                              (isFile(acoustic / "sendump") || isFile(acoustic / "mixture_weights"));
        if (!complete)
            continue;
        std::optional<fs::path> languageModel;
        for (const char* suffix : {".lm.bin", ".lm"})
            if (!languageModel && isFile(dir / (name + suffix)))
                languageModel = dir / (name + suffix);
        std::optional<fs::path> dictionary;
        for (const auto& candidate :
             {dir / ("cmudict-" + name + ".dict"), dir / (name + ".dic"), dir / (name + ".dict")})
            if (!dictionary && isFile(candidate))
                dictionary = candidate;
        if (!languageModel || !dictionary)
            continue;
        models.push_back({locale, acoustic.string(), languageModel->string(), dictionary->string()});
    }
    return models;
}

std::string localeFromEnvironment(const char* lcAll, const char* lcMessages, const char* lang) {
    std::string value;
    for (const char* candidate : {lcAll, lcMessages, lang})
        if (candidate && *candidate) {
            value = candidate;
            break;
        }
    // "de_DE.UTF-8@euro": the encoding and the modifier say nothing about the language.
    value = value.substr(0, value.find_first_of(".@"));
    if (value.empty() || value == "C" || value == "POSIX")
        return "en_US";
    return value;
}

} // namespace pokescope::speech
