#include "device/PhoneLog.hpp"

#include "platform/Utf8.hpp"

#include <algorithm>

namespace pokescope {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The next blank-separated word of `line` from `at`, moving `at` past it.
std::string_view word(std::string_view line, std::size_t& at) {
    while (at < line.size() && line[at] == ' ')
        ++at;
    std::size_t start = at;
    while (at < line.size() && line[at] != ' ')
        ++at;
    return line.substr(start, at - start);
}

} // namespace

std::string PhoneLog::processOf(std::string_view line) {
    std::size_t at = 0;
    // Month, day, time and host come first.
    std::string_view month = word(line, at), day = word(line, at), time = word(line, at);
    if (month.size() != 3 || day.empty() || day.size() > 2 || time.size() != 8 || time[2] != ':')
        return "";
    word(line, at);
    std::string_view process = word(line, at);
    std::size_t end = process.find_first_of("[(");
    if (end == std::string_view::npos || end == 0 || process.back() != ']')
        return "";
    return std::string(process.substr(0, end));
}

std::string PhoneLog::decoded(std::string_view raw) {
    std::string bytes;
    bytes.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        // "\M-x" is x with its top bit set; "\M^x" a control character with it ("\M^?" for 0xFF).
        if (raw[i] == '\\' && i + 3 < raw.size() && raw[i + 1] == 'M' && (raw[i + 2] == '-' || raw[i + 2] == '^')) {
            unsigned char c = static_cast<unsigned char>(raw[i + 3]);
            if (raw[i + 2] == '-')
                bytes += static_cast<char>(c | 0x80);
            else
                bytes += static_cast<char>((c == '?' ? 0x7F : (c ^ 0x40)) | 0x80);
            i += 3;
            continue;
        }
        bytes += raw[i];
    }
    return utf8::isValid(bytes) ? bytes : utf8::sanitized(bytes);
}

void PhoneLog::append(std::string_view bytes, TimePoint at) {
    std::lock_guard lock(mutex_);
    for (char c : bytes) {
        if (c == '\n' || c == '\0') {
            finishLine(at);
            continue;
        }
        if (partial_.size() < kMaxLineBytes)
            partial_ += c;
        else
            cutting_ = true;
    }
}

void PhoneLog::finishLine(TimePoint at) {
    if (!partial_.empty() && partial_.back() == '\r')
        partial_.pop_back();
    if (!partial_.empty()) {
        std::string text = decoded(partial_);
        if (cutting_)
            text += " [cut]";
        push(std::move(text), at);
    }
    partial_.clear();
    cutting_ = false;
}

void PhoneLog::note(const std::string& text, TimePoint at) {
    std::lock_guard lock(mutex_);
    push(utf8::sanitized(text), at);
}

void PhoneLog::push(std::string text, TimePoint at) {
    Line line{at, std::move(text), {}};
    line.process = lowered(processOf(line.text));
    bytes_ += line.text.size();
    lines_.push_back(std::move(line));
    while (lines_.size() > kMaxLines || bytes_ > kMaxBytes) {
        bytes_ -= lines_.front().text.size();
        lines_.pop_front();
        ++dropped_;
    }
}

PhoneLog::Result PhoneLog::query(const Query& query, TimePoint now) const {
    const TimePoint since = now - query.window;
    const std::string process = lowered(query.process.value_or(""));
    const std::string contains = lowered(query.contains.value_or(""));
    std::lock_guard lock(mutex_);
    Result result;
    if (!lines_.empty())
        result.oldestKept = lines_.front().at;
    if (dropped_ > 0 && result.oldestKept && since < *result.oldestKept)
        result.dropped = dropped_;
    auto first = std::lower_bound(lines_.begin(), lines_.end(), since,
                                  [](const Line& line, TimePoint t) { return line.at < t; });
    std::vector<const Line*> matches;
    for (auto it = first; it != lines_.end(); ++it) {
        if (query.process && it->process != process)
            continue;
        if (query.contains && lowered(it->text).find(contains) == std::string::npos)
            continue;
        matches.push_back(&*it);
    }
    result.matched = matches.size();
    std::size_t skip = matches.size() > query.maxLines ? matches.size() - query.maxLines : 0;
    for (std::size_t i = skip; i < matches.size(); ++i)
        result.lines.push_back(matches[i]->text);
    return result;
}

std::uint64_t PhoneLog::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::size_t PhoneLog::size() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
}

} // namespace pokescope
