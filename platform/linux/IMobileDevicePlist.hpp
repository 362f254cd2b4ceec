// Property lists (libplist) as lockdown values and back: the one place that knows how a phone's values
// look in JSON, so the lockdown backend and its tests share it.
#pragma once

#include "platform/Base64.hpp"
#include "platform/Lockdown.hpp"

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pokescope::imd {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// Owns a root property-list node.
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Strings, booleans, integers, reals, arrays and dictionaries map onto their JSON kinds; data becomes
// {"$data": base64}, dates {"$date": ISO 8601 UTC} and keyed-archive UIDs plain integers. Text that is
// not UTF-8 has its bad bytes replaced by U+FFFD so that the value can always be printed.
LockdownValue lockdownValueFromPlist(plist_t node);

// The property list for `value`; none with `error` set when the value has no property-list form (null,
// malformed "$data" or "$date").
PlistPtr plistFromLockdownValue(const LockdownValue& value, std::string& error);

using pokescope::base64Decoded;
using pokescope::base64Encoded;

// A property-list time (seconds since 2001-01-01 00:00 UTC) as "YYYY-MM-DDTHH:MM:SS[.ffffff]Z".
std::string isoDateFromPlistTime(double secondsSince2001);
// The inverse; accepts up to nine fraction digits (kept to the microsecond). None for other text and for
// times a property list cannot hold.
std::optional<double> plistTimeFromIsoDate(std::string_view text);

} // namespace pokescope::imd
