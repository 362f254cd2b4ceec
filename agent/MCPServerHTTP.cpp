// HTTP framing of the agent server: request parsing, the response encoder, limits and the local-origin
// rules.
#include "agent/MCPServer.hpp"

#include "platform/Utf8.hpp"

#include <algorithm>
#include <charconv>
#include <random>

namespace pokescope {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

struct Head {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;
    bool conflictingLengths = false; // two Content-Length fields that differ
};

// The request line and header fields, or nothing when the head is not UTF-8 or the request line has
// fewer than two words.
std::optional<Head> parseHead(std::string_view text) {
    if (!utf8::isValid(text))
        return std::nullopt;
    Head head;
    bool first = true;
    while (true) {
        size_t end = text.find("\r\n");
        std::string_view line = text.substr(0, end);
        if (first) {
            std::vector<std::string_view> pieces;
            size_t i = 0;
            while (i < line.size()) {
                size_t space = line.find(' ', i);
                size_t stop = space == std::string_view::npos ? line.size() : space;
                if (stop > i)
                    pieces.push_back(line.substr(i, stop - i));
                i = stop + 1;
            }
            if (pieces.size() < 2)
                return std::nullopt;
            head.method = pieces[0];
            head.path = pieces[1];
            first = false;
        } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
            // The name is lower-cased but not trimmed: "Content-Length : 5" names another field.
            std::string name = lowered(line.substr(0, colon));
            std::string value(trimmed(line.substr(colon + 1)));
            auto [field, added] = head.headers.try_emplace(name, value);
            if (!added) {
                if (name == "content-length" && field->second != value)
                    head.conflictingLengths = true;
                field->second = std::move(value);
            }
        }
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 2);
    }
    return head;
}

// What a Content-Length field says. Only plain decimal digits are a length: a sign, a hexadecimal
// prefix, a list ("38, 38") or anything else is refused rather than read as some other number.
struct Length {
    enum class Kind { none, value, negative, tooLarge, unreadable } kind = Kind::none;
    unsigned long long value = 0;
};

Length declaredLength(const Head& head) {
    auto it = head.headers.find("content-length");
    if (it == head.headers.end())
        return {};
    std::string_view text = it->second;
    auto digits = [](std::string_view t) {
        return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (head.conflictingLengths)
        return {Length::Kind::unreadable};
    if (text.size() > 1 && text.front() == '-' && digits(text.substr(1)))
        return {Length::Kind::negative};
    if (!digits(text))
        return {Length::Kind::unreadable};
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return {Length::Kind::tooLarge};
    return {Length::Kind::value, value};
}

bool isLoopbackName(std::string_view host, bool ignoreCase) {
    std::string name = ignoreCase ? lowered(host) : std::string(host);
    return name == "127.0.0.1" || name == "localhost";
}

// host, optionally followed by ":" and up to five digits.
bool isLoopbackAuthority(std::string_view authority, bool ignoreCase) {
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        std::string_view port = authority.substr(colon + 1);
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        authority = authority.substr(0, colon);
    }
    return isLoopbackName(authority, ignoreCase);
}

} // namespace

std::optional<HTTPRequest> HTTPRequest::parse(std::string_view data) {
    size_t headEnd = data.find(kHeadEnd);
    if (headEnd == std::string_view::npos)
        return std::nullopt;
    auto head = parseHead(data.substr(0, headEnd));
    if (!head)
        return std::nullopt;
    // A length that is not one is malformed: the read loop refuses such requests before this.
    const Length declared = declaredLength(*head);
    if (declared.kind != Length::Kind::none && declared.kind != Length::Kind::value)
        return std::nullopt;
    const unsigned long long length = declared.value;
    std::string_view bodyRegion = data.substr(headEnd + kHeadEnd.size());
    if (static_cast<unsigned long long>(bodyRegion.size()) < length)
        return std::nullopt;
    HTTPRequest request;
    request.method = std::move(head->method);
    request.path = std::move(head->path);
    request.headers = std::move(head->headers);
    request.body = std::string(bodyRegion.substr(0, static_cast<size_t>(length)));
    return request;
}

HTTPFraming HTTPFraming::examine(std::string_view buffer, const HTTPLimits& limits) {
    HTTPFraming framing;
    auto reject = [&](int status, std::string message) {
        framing.kind = Kind::reject;
        framing.status = status;
        framing.message = std::move(message);
        return framing;
    };
    size_t headEnd = buffer.find(kHeadEnd);
    if (headEnd == std::string_view::npos) {
        // The blank line may still straddle the limit; anything past it is too long for certain.
        if (buffer.size() > limits.maxHead + kHeadEnd.size() - 1)
            return reject(431, "request head too large");
        return framing;
    }
    if (headEnd > limits.maxHead)
        return reject(431, "request head too large");
    auto head = parseHead(buffer.substr(0, headEnd));
    if (!head)
        return framing; // malformed: no answer; the read loop goes on until the peer stops
    if (head->headers.count("transfer-encoding"))
        return reject(400, "Transfer-Encoding is not supported; send the body with Content-Length");
    const Length declared = declaredLength(*head);
    switch (declared.kind) {
    case Length::Kind::negative: return reject(400, "Content-Length must not be negative");
    case Length::Kind::unreadable:
        return reject(400, head->conflictingLengths ? "Content-Length is given twice with different values"
                                                    : "Content-Length must be a decimal number");
    case Length::Kind::tooLarge: return reject(413, "request body too large");
    case Length::Kind::none:
    case Length::Kind::value: break;
    }
    const unsigned long long length = declared.value;
    if (length > limits.maxBody)
        return reject(413, "request body too large");
    if (buffer.size() - headEnd - kHeadEnd.size() < length)
        return framing;
    framing.kind = Kind::request;
    framing.consumed = headEnd + kHeadEnd.size() + static_cast<size_t>(length);
    framing.request.method = std::move(head->method);
    framing.request.path = std::move(head->path);
    framing.request.headers = std::move(head->headers);
    framing.request.body = std::string(buffer.substr(headEnd + kHeadEnd.size(), static_cast<size_t>(length)));
    return framing;
}

const char* HTTPRequest::reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "OK";
    }
}

std::string HTTPRequest::response(int status, const std::optional<std::string>& body, std::string_view type,
                                  const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string out;
    out.reserve(96 + (body ? body->size() : 0));
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += reasonPhrase(status);
    out += "\r\nContent-Length: ";
    out += std::to_string(body ? body->size() : 0);
    out += "\r\n";
    if (body) {
        out += "Content-Type: ";
        out += type;
        out += "\r\n";
    }
    if (status == 405)
        out += "Allow: POST, DELETE\r\n";
    for (const auto& [name, value] : headers) {
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    out += "\r\n";
    if (body)
        out += *body;
    return out;
}

bool isLocalOrigin(std::string_view origin) {
    constexpr std::string_view scheme = "http://";
    if (origin.substr(0, scheme.size()) != scheme)
        return false;
    origin.remove_prefix(scheme.size());
    if (!origin.empty() && origin.back() == '/')
        origin.remove_suffix(1);
    return isLoopbackAuthority(origin, false);
}

bool isLocalHost(std::string_view host) { return isLoopbackAuthority(host, true); }

std::string makeUUID() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::uint64_t> distribution;
    std::uint64_t high = distribution(generator);
    std::uint64_t low = distribution(generator);
    high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL; // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;   // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::size_t jsonNestingDepth(std::string_view text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if ((c == ']' || c == '}') && depth > 0)
            --depth;
    }
    return deepest;
}

} // namespace pokescope
