// Headers nearly every file of the test build includes, parsed once and reused by every target
// (POKESCOPE_PCH). The release build compiles without them, so a missing include still shows there.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
