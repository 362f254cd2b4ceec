#include "vision/ScreenText.hpp"

#include "core/Log.hpp"
#include "platform/WaitLedger.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>

namespace pokescope {

void to_json(nlohmann::json& j, const TextItem& item) {
    j = nlohmann::json{
        {"text", item.text}, {"x", item.x}, {"y", item.y}, {"width", item.width}, {"height", item.height}};
}

void from_json(const nlohmann::json& j, TextItem& item) {
    j.at("text").get_to(item.text);
    j.at("x").get_to(item.x);
    j.at("y").get_to(item.y);
    j.at("width").get_to(item.width);
    j.at("height").get_to(item.height);
}

namespace ScreenText {

namespace {

const char* formatName(Image::Format format) {
    switch (format) {
    case Image::Format::bgra:
        return "BGRA";
    case Image::Format::rgb:
        return "RGB";
    case Image::Format::gray:
        return "grey";
    }
    return "unknown";
}

// Full Unicode lower-casing, independent of the user's locale.
std::string lowered(std::string_view text) {
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(out);
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int truncated(double v) {
    return static_cast<int>(std::trunc(v));
}

} // namespace

std::vector<TextItem> read(const Image& image, TextRecognizer& recognizer) {
    if (image.format() != Image::Format::bgra || image.empty()) {
        Log::shared().add(std::string("ScreenText: cannot read a ") + formatName(image.format()) +
                          " frame of " + std::to_string(image.width()) + "x" +
                          std::to_string(image.height()) + " pixels; expected BGRA");
        return {};
    }
    try {
        WaitLedger::Scope reading(WaitLedger::Kind::recognition);
        auto recognized = recognizer.recognize(image);
        if (const auto button = assistiveTouchButton(image))
            recognized = clearOf(*button, std::move(recognized));
        return items(recognized);
    } catch (const std::exception& e) {
        Log::shared().add(std::string("ScreenText: text recognition failed: ") + e.what());
        return {};
    }
}

namespace {

// Words side by side on a line as one fragment: their texts a space apart, their boxes' union; one word is
// a fragment of its own.
RecognizedText joined(std::vector<RecognizedText> words) {
    if (words.size() == 1)
        return std::move(words.front());
    RecognizedText run{words.front().text, words.front().x, words.front().y, 0, 0, {}};
    double right = run.x, bottom = run.y;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const RecognizedText& w = words[i];
        if (i > 0)
            run.text += ' ' + w.text;
        run.x = std::min(run.x, w.x), run.y = std::min(run.y, w.y);
        right = std::max(right, w.x + w.width), bottom = std::max(bottom, w.y + w.height);
    }
    run.width = right - run.x, run.height = bottom - run.y;
    run.words = std::move(words);
    return run;
}

} // namespace

std::vector<RecognizedText> clearOf(const Box& box, std::vector<RecognizedText> recognized) {
    std::vector<RecognizedText> clear;
    for (RecognizedText& r : recognized) {
        if (!overlaps(box, r)) {
            clear.push_back(std::move(r));
            continue;
        }
        std::vector<RecognizedText> run;
        auto keep = [&] {
            if (!run.empty())
                clear.push_back(joined(std::move(run)));
            run.clear();
        };
        for (RecognizedText& word : r.words) {
            if (overlaps(box, word))
                keep();
            else
                run.push_back(std::move(word));
        }
        keep();
    }
    return clear;
}

std::vector<TextItem> items(const std::vector<RecognizedText>& recognized) {
    std::vector<TextItem> result;
    result.reserve(recognized.size());
    for (const RecognizedText& r : recognized)
        result.push_back({r.text, truncated(r.x), truncated(r.y), truncated(r.width), truncated(r.height)});
    std::stable_sort(result.begin(), result.end(), [](const TextItem& a, const TextItem& b) {
        return a.y < b.y || (a.y == b.y && a.x < b.x);
    });
    return result;
}

std::optional<TextItem> find(std::string_view query, const std::vector<TextItem>& items, int occurrence) {
    const std::string q(trimmed(lowered(query)));
    int best = 3;
    std::vector<const TextItem*> kept;
    for (const TextItem& item : items) {
        const std::string t = lowered(item.text);
        const int rank = t == q ? 0 : t.starts_with(q) ? 1 : t.find(q) != std::string::npos ? 2 : 3;
        if (rank > best || rank == 3)
            continue;
        if (rank < best) {
            best = rank;
            kept.clear();
        }
        kept.push_back(&item);
    }
    if (kept.empty())
        return std::nullopt;
    if (occurrence >= 1 && static_cast<std::size_t>(occurrence) <= kept.size())
        return *kept[static_cast<std::size_t>(occurrence) - 1];
    return *kept.front();
}

} // namespace ScreenText

} // namespace pokescope
