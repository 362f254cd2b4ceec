#include "platform/linux/IMobileDevicePlist.hpp"

#include "platform/Utf8.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace pokescope::imd {

namespace {

// What libplist hands out with malloc: printed text, dictionary keys and iterators.
struct FreeMalloced {
    void operator()(void* memory) const { std::free(memory); }
};
using MallocText = std::unique_ptr<char, FreeMalloced>;

// 2001-01-01T00:00:00Z, where property-list time starts, in Unix seconds.
constexpr long long plistEpoch = 978307200;

// libplist 2.2 has no accessor for an integer's sign: it keeps one 64-bit pattern and prints it signed
// unless it was read as a value above INT64_MAX, so its own printed form tells the two apart.
bool printsNegative(plist_t node) {
    PlistPtr copy(plist_copy(node));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(copy.get()), &xml, &length);
    MallocText owned(xml);
    return xml && std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
}

LockdownValue integerValue(plist_t node) {
    uint64_t bits = 0;
    plist_get_uint_val(node, &bits);
    if (bits <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return static_cast<int64_t>(bits);
    if (printsNegative(node))
        return static_cast<int64_t>(bits);
    return bits;
}

std::string text(const char* bytes, uint64_t length) {
    std::string_view view(bytes ? bytes : "", bytes ? length : 0);
    return utf8::isValid(view) ? std::string(view) : utf8::sanitized(view);
}

LockdownValue dictionaryValue(plist_t node) {
    LockdownValue object = LockdownValue::object();
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    std::unique_ptr<void, FreeMalloced> ownedIter(iter);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        MallocText ownedKey(key);
        if (!item)
            break;
        object[text(key, key ? std::char_traits<char>::length(key) : 0)] = lockdownValueFromPlist(item);
    }
    return object;
}

LockdownValue arrayValue(plist_t node) {
    LockdownValue array = LockdownValue::array();
    uint32_t size = plist_array_get_size(node);
    for (uint32_t i = 0; i < size; ++i)
        array.push_back(lockdownValueFromPlist(plist_array_get_item(node, i)));
    return array;
}

double dateValue(plist_t node) {
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    // The getter truncates towards zero and gives the fraction without its sign.
    return sec < 0 ? sec - usec / 1e6 : sec + usec / 1e6;
}

PlistPtr hugeUnsigned(uint64_t value) {
    // plist_new_uint would print this as a negative number; parsing the text keeps it unsigned.
    std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    return PlistPtr(node);
}

PlistPtr specialObject(const LockdownValue& value, std::string& error) {
    auto member = value.begin();
    const std::string& encoded = member.value().get_ref<const std::string&>();
    if (member.key() == "$data") {
        auto bytes = base64Decoded(encoded);
        if (!bytes) {
            error = "\"$data\" is not valid base64";
            return nullptr;
        }
        return PlistPtr(plist_new_data(bytes->data(), bytes->size()));
    }
    auto time = plistTimeFromIsoDate(encoded);
    if (!time) {
        error = "\"$date\" is not an ISO 8601 UTC date a property list can hold: " + encoded;
        return nullptr;
    }
    double whole = std::floor(*time);
    auto usec = static_cast<int32_t>(std::lround((*time - whole) * 1e6));
    return PlistPtr(plist_new_date(static_cast<int32_t>(whole), usec));
}

bool isSpecialObject(const LockdownValue& value) {
    if (value.size() != 1)
        return false;
    auto it = value.begin();
    return (it.key() == "$data" || it.key() == "$date") && it.value().is_string();
}

bool twoDigits(std::string_view s, size_t at, int& out) {
    if (at + 2 > s.size() || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9')
        return false;
    out = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return true;
}

} // namespace

LockdownValue lockdownValueFromPlist(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return flag != 0;
    }
    case PLIST_UINT:
        return integerValue(node);
    case PLIST_UID: {
        uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        return uid;
    }
    case PLIST_REAL: {
        double real = 0;
        plist_get_real_val(node, &real);
        return real;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* bytes = plist_get_string_ptr(node, &length);
        return text(bytes, length);
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return {{"$data", base64Encoded(std::string_view(bytes ? bytes : "", bytes ? length : 0))}};
    }
    case PLIST_DATE:
        return {{"$date", isoDateFromPlistTime(dateValue(node))}};
    case PLIST_ARRAY:
        return arrayValue(node);
    case PLIST_DICT:
        return dictionaryValue(node);
    case PLIST_NONE:
        break;
    }
    return nullptr;
}

PlistPtr plistFromLockdownValue(const LockdownValue& value, std::string& error) {
    switch (value.type()) {
    case LockdownValue::value_t::boolean:
        return PlistPtr(plist_new_bool(value.get<bool>() ? 1 : 0));
    case LockdownValue::value_t::number_integer:
        // Negative numbers keep their two's-complement pattern, which libplist prints as signed.
        return PlistPtr(plist_new_uint(static_cast<uint64_t>(value.get<int64_t>())));
    case LockdownValue::value_t::number_unsigned: {
        auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return hugeUnsigned(number);
        return PlistPtr(plist_new_uint(number));
    }
    case LockdownValue::value_t::number_float:
        return PlistPtr(plist_new_real(value.get<double>()));
    case LockdownValue::value_t::string:
        return PlistPtr(plist_new_string(value.get_ref<const std::string&>().c_str()));
    case LockdownValue::value_t::array: {
        PlistPtr array(plist_new_array());
        for (const auto& item : value) {
            PlistPtr converted = plistFromLockdownValue(item, error);
            if (!converted)
                return nullptr;
            plist_array_append_item(static_cast<plist_t>(array.get()), converted.release());
        }
        return array;
    }
    case LockdownValue::value_t::object: {
        if (isSpecialObject(value))
            return specialObject(value, error);
        PlistPtr dict(plist_new_dict());
        for (const auto& [key, item] : value.items()) {
            PlistPtr converted = plistFromLockdownValue(item, error);
            if (!converted)
                return nullptr;
            plist_dict_set_item(static_cast<plist_t>(dict.get()), key.c_str(), converted.release());
        }
        return dict;
    }
    case LockdownValue::value_t::null:
    case LockdownValue::value_t::discarded:
    case LockdownValue::value_t::binary:
        break;
    }
    error = "a " + std::string(value.type_name()) + " value has no property-list form";
    return nullptr;
}

std::string isoDateFromPlistTime(double secondsSince2001) {
    using namespace std::chrono;
    double whole = std::floor(secondsSince2001);
    auto usec = static_cast<long long>(std::lround((secondsSince2001 - whole) * 1e6));
    auto unixSeconds = static_cast<long long>(whole) + plistEpoch;
    if (usec == 1000000) {
        usec = 0;
        ++unixSeconds;
    }
    sys_seconds time{seconds(unixSeconds)};
    auto day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{time - day};
    char buffer[64];
    int n =
        std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                      static_cast<int>(clock.seconds().count()));
    if (usec != 0)
        std::snprintf(buffer + n, sizeof buffer - static_cast<size_t>(n), ".%06lld", usec);
    return std::string(buffer) + "Z";
}

std::optional<double> plistTimeFromIsoDate(std::string_view s) {
    using namespace std::chrono;
    if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
        s.back() != 'Z')
        return std::nullopt;
    int century = 0, yy = 0, mo = 0, dd = 0, hh = 0, mi = 0, ss = 0;
    if (!twoDigits(s, 0, century) || !twoDigits(s, 2, yy) || !twoDigits(s, 5, mo) || !twoDigits(s, 8, dd) ||
        !twoDigits(s, 11, hh) || !twoDigits(s, 14, mi) || !twoDigits(s, 17, ss))
        return std::nullopt;
    long long usec = 0;
    std::string_view fraction = s.substr(19, s.size() - 20);
    if (!fraction.empty()) {
        if (fraction[0] != '.' || fraction.size() < 2 || fraction.size() > 10)
            return std::nullopt;
        long long scale = 100000;
        for (char c : fraction.substr(1)) {
            if (c < '0' || c > '9')
                return std::nullopt;
            usec += (c - '0') * scale;
            scale /= 10;
        }
    }
    year_month_day date{year(century * 100 + yy), month(static_cast<unsigned>(mo)),
                        day(static_cast<unsigned>(dd))};
    if (!date.ok() || hh > 23 || mi > 59 || ss > 59)
        return std::nullopt;
    long long unixSeconds = sys_days(date).time_since_epoch().count() * 86400LL + hh * 3600 + mi * 60 + ss;
    long long sinceEpoch = unixSeconds - plistEpoch;
    if (sinceEpoch < std::numeric_limits<int32_t>::min() || sinceEpoch >= std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<double>(sinceEpoch) + static_cast<double>(usec) / 1e6;
}

} // namespace pokescope::imd
