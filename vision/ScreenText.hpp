// What the phone's screen says: one frame turned into text items with pixel boxes, and the item a query
// picks. Plain functions without state, run on the caller's thread.
#pragma once

#include "platform/Image.hpp"
#include "platform/TextRecognition.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope {

// One line or fragment of text as recognised (case and spaces kept), boxed in the frame's pixels.
struct TextItem {
    std::string text;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const TextItem&) const = default;
};

// {"text": …, "x": …, "y": …, "width": …, "height": …}
void to_json(nlohmann::json& j, const TextItem& item);
void from_json(const nlohmann::json& j, TextItem& item);

namespace ScreenText {

// A box in a frame's pixels.
struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Box&) const = default;
};

// All text in a BGRA frame, top to bottom, then left to right, but for text the AssistiveTouch button
// covers in part (a label cut short by it would read as another word): of a line it cuts, the words clear
// of it stay, as the runs they form on either side of it. Never fails: a frame that is not a
// non-empty BGRA image, or a recogniser that fails, gives an empty list and a log line.
std::vector<TextItem> read(const Image& image, TextRecognizer& recognizer);

// The AssistiveTouch button's box, when the frame shows it.
std::optional<Box> assistiveTouchButton(const Image& frame);

// Whether any of `item` (a text item or a recogniser's fragment) lies in `box`.
template <class Item>
bool overlaps(const Box& box, const Item& item) {
    return item.x < box.x + box.width && box.x < item.x + item.width && item.y < box.y + box.height &&
           box.y < item.y + item.height;
}

// The recogniser's fragments clear of `box`: a fragment that reaches into it keeps the runs of its words
// that do not, each joined as a fragment of its own; one whose words are not known goes whole.
std::vector<RecognizedText> clearOf(const Box& box, std::vector<RecognizedText> recognized);

// The recogniser's fragments as items: every number truncated toward zero, then a stable sort on the top
// edge and, for equal tops, the left edge.
std::vector<TextItem> items(const std::vector<RecognizedText>& recognized);

// The item the tap-text rule picks: case-insensitive (full Unicode lower-casing) match of the query
// trimmed of spaces and tabs; exact beats prefix beats contains, only the best rank present counts, and
// `occurrence` (from 1, from the top) falls back to the first of them when out of range.
std::optional<TextItem> find(std::string_view query, const std::vector<TextItem>& items, int occurrence);

} // namespace ScreenText

} // namespace pokescope
