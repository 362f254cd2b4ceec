// The speech recogniser on PocketSphinx (Debian's 0.8 "5prealpha" library) with the models installed under
// one folder: one language per `<lang>/` folder holding the acoustic model `<lang>/<lang>/`, a language
// model `<lang>/<lang>.lm.bin` (or `.lm`) and a pronunciation dictionary (`cmudict-<lang>.dict` or
// `<lang>.dic`).
//
// Loading a decoder takes most of a second and about 100 MB, so each model keeps a few decoders in a pool
// that every recogniser and task for that model shares; a task holds one only while it decodes. Each task
// decodes on its own thread.
#pragma once

#include "platform/SpeechRecognition.hpp"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope {

namespace speech {

// Where the models are looked for: $POKESCOPE_SPEECH_MODELS when set and not empty, else the folder
// Debian's model packages install into.
std::string defaultModelFolder();

struct ModelFiles {
    std::string locale;        // "en-US"
    std::string acousticModel; // folder
    std::string languageModel;
    std::string dictionary;
};

// Every complete model under `folder` (acoustic model files, language model and dictionary present), in
// name order; nothing when the folder is missing or unreadable.
std::vector<ModelFiles> findModels(const std::string& folder);

// "en_us", "EN-us" → "en-US": language in lower case, region in upper case, joined by '-'. Empty when
// `name` holds no language.
std::string localeIdentifier(std::string_view name);

// The user's locale from the values of LC_ALL, LC_MESSAGES and LANG (null when unset), the first set and
// not empty winning: "de_DE.UTF-8@euro" → "de_DE". "C", "POSIX" or nothing at all mean "en_US".
std::string localeFromEnvironment(const char* lcAll, const char* lcMessages, const char* lang);

// A word as the decoder spells it, made fit for a transcript: none for fillers (`<s>`, `</s>`, `<sil>`,
// `[NOISE]`, `++GARBAGE++`), and an alternative pronunciation's "(2)" removed.
std::optional<std::string> cleanWord(std::string_view word);

class DecoderPool;

} // namespace speech

class PocketSphinxBackend final : public SpeechBackend {
public:
    // `maxDecoders`: how many decoders each model may have loaded at once; a task that finds them all busy
    // waits for one.
    explicit PocketSphinxBackend(std::string modelFolder = speech::defaultModelFolder(),
                                 std::size_t maxDecoders = 3);
    ~PocketSphinxBackend() override;

    Authorization authorizationStatus() const override;
    void requestAuthorization(std::function<void(Authorization)> done) override;
    std::vector<std::string> supportedLocales() const override;
    std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override;
    std::string currentLocale() const override;

    // Decoders loaded so far for all models, including those later discarded after a decoder failure.
    std::size_t decodersLoaded() const;

private:
    const std::string folder_;
    const std::size_t maxDecoders_;
    mutable std::mutex lock_;
    // One pool per acoustic model folder, kept for the backend's life so that decoders outlive the
    // recognisers made from them.
    std::map<std::string, std::shared_ptr<speech::DecoderPool>> pools_;
};

} // namespace pokescope
