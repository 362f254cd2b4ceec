// Hardware keys, the on-screen keyboard and text editing.
#include "platform/Utf8.hpp"
#include "sim/SimScreenModel.hpp"

#include <algorithm>
#include <cctype>

namespace pokescope::sim::detail {
namespace {

constexpr int kCommand = 0x08, kShift = 0x02, kControl = 0x01, kOption = 0x04;
constexpr int kKeyH = 0x0B, kSpace = 0x2C, kReturn = 0x28, kEscape = 0x29, kBackspace = 0x2A, kTab = 0x2B;
constexpr int kRight = 0x4F, kLeft = 0x50, kDown = 0x51, kUp = 0x52, kKeypadEnter = 0x58;

bool continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The character a US-layout key types, or 0.
char typed(int usage, bool shift) {
    if (usage >= 0x04 && usage <= 0x1D)
        return char((shift ? 'A' : 'a') + (usage - 0x04));
    if (usage >= 0x1E && usage <= 0x27)
        return (shift ? "!@#$%^&*()" : "1234567890")[usage - 0x1E];
    static constexpr struct {
        int usage;
        char plain, shifted;
    } punctuation[] = {{0x2C, ' ', ' '}, {0x2D, '-', '_'},  {0x2E, '=', '+'}, {0x2F, '[', '{'},
                       {0x30, ']', '}'}, {0x31, '\\', '|'}, {0x33, ';', ':'}, {0x34, '\'', '"'},
                       {0x35, '`', '~'}, {0x36, ',', '<'},  {0x37, '.', '>'}, {0x38, '/', '?'}};
    for (const auto& p : punctuation)
        if (p.usage == usage)
            return shift ? p.shifted : p.plain;
    return 0;
}

// Start of the line holding `pos`, and the column of `pos` in characters.
std::size_t lineStart(const std::string& s, std::size_t pos) {
    std::size_t nl = pos == 0 ? std::string::npos : s.rfind('\n', pos - 1);
    return nl == std::string::npos ? 0 : nl + 1;
}
std::size_t advanceChars(const std::string& s, std::size_t from, std::size_t count) {
    std::size_t p = from;
    while (count > 0 && p < s.size() && s[p] != '\n') {
        ++p;
        while (p < s.size() && continuation(s[p]))
            ++p;
        --count;
    }
    return p;
}
std::size_t charsBetween(const std::string& s, std::size_t from, std::size_t to) {
    return std::size_t(
        std::count_if(s.begin() + long(from), s.begin() + long(to), [](char c) { return !continuation(c); }));
}

} // namespace

void TextField::insert(std::string_view s) {
    text.insert(caret, s);
    caret += s.size();
}

void TextField::backspace() {
    if (caret == 0)
        return;
    std::size_t from = caret - 1;
    while (from > 0 && continuation(text[from]))
        --from;
    text.erase(from, caret - from);
    caret = from;
}

void TextField::left() {
    while (caret > 0) {
        --caret;
        if (!continuation(text[caret]))
            break;
    }
}

void TextField::right() {
    if (caret >= text.size())
        return;
    ++caret;
    while (caret < text.size() && continuation(text[caret]))
        ++caret;
}

void TextField::up() {
    std::size_t start = lineStart(text, caret);
    if (start == 0) {
        caret = 0;
        return;
    }
    std::size_t column = charsBetween(text, start, caret);
    caret = advanceChars(text, lineStart(text, start - 1), column);
}

void TextField::down() {
    std::size_t nl = text.find('\n', caret);
    if (nl == std::string::npos) {
        caret = text.size();
        return;
    }
    std::size_t column = charsBetween(text, lineStart(text, caret), caret);
    caret = advanceChars(text, nl + 1, column);
}

std::vector<const AppInfo*> spotlightResults(std::string_view query) {
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& c : out)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    std::string q = lower(query);
    if (q.empty())
        return {};
    std::vector<const AppInfo*> prefix, inside;
    for (const AppInfo* a : searchableApps()) {
        std::size_t at = lower(a->label).find(q);
        if (at == 0)
            prefix.push_back(a);
        else if (at != std::string::npos)
            inside.push_back(a);
    }
    prefix.insert(prefix.end(), inside.begin(), inside.end());
    return prefix;
}

void Screen::edited() {
    caretEpoch = now; // the caret stays lit while typing
    changed();
}

void Screen::keyPress(int usage, int modifiers, TimePoint at) {
    advance(at);
    if (usage == 0)
        return; // a report with modifiers only
    notify({SimEvent::Kind::key, {}, {}, usage, modifiers});
    if (asleep) {
        wake();
        return;
    }
    if (alert)
        return;
    if (modifiers & kCommand) {
        if (usage == kKeyH)
            goHome();
        else if (usage == kSpace)
            spotlight ? closeSpotlight() : openSpotlight();
        return;
    }
    if (modifiers & (kControl | kOption))
        return;
    if (usage == kEscape) {
        if (spotlight)
            closeSpotlight();
        else
            unfocus();
        return;
    }
    TextField* f = field();
    if (!f)
        return;
    switch (usage) {
    case kReturn:
    case kKeypadEnter:
        submit();
        return;
    case kBackspace:
        f->backspace();
        break;
    case kTab:
        if (focus != Focus::note)
            return;
        f->insert("\t");
        break;
    case kRight:
        f->right();
        break;
    case kLeft:
        f->left();
        break;
    case kDown:
        f->down();
        break;
    case kUp:
        f->up();
        break;
    default: {
        char c = typed(usage, modifiers & kShift);
        if (!c)
            return;
        f->insert(std::string_view(&c, 1));
        break;
    }
    }
    edited();
}

void Screen::typeText(std::string_view text) {
    TextField* f = field();
    if (!f || text.empty())
        return;
    // Ill-formed bytes become U+FFFD so the caret always sits on a character boundary.
    std::string clean = utf8::sanitized(text);
    if (focus == Focus::search)
        std::erase_if(clean, [](char c) { return c == '\n' || c == '\r' || c == '\t'; });
    f->insert(clean);
    edited();
}

void Screen::submit() {
    if (focus == Focus::note) {
        note.insert("\n");
        edited();
        return;
    }
    if (focus == Focus::search) {
        auto slots = spotlightSlots(geo, search.text);
        if (!slots.empty() && slots.front().topHit)
            launch(slots.front().app->label, slots.front().icon);
    }
}

void Screen::pressKey(const KeyCap& key) {
    TextField* f = field();
    if (!f)
        return;
    switch (key.kind) {
    case KeyCap::Kind::character:
        f->insert(key.label);
        keyboard.shift = false;
        break;
    case KeyCap::Kind::space:
        f->insert(" ");
        break;
    case KeyCap::Kind::backspace:
        f->backspace();
        break;
    case KeyCap::Kind::shift:
        keyboard.shift = !keyboard.shift;
        break;
    case KeyCap::Kind::layer:
        keyboard.layer = key.target;
        keyboard.shift = false;
        break;
    case KeyCap::Kind::enter:
        submit();
        return;
    }
    edited();
}

} // namespace pokescope::sim::detail
