#include "platform/Lockdown.hpp"
#include "platform/linux/IMobileDevicePlist.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string xmlOf(const json& value) {
    std::string error;
    imd::PlistPtr node = imd::plistFromLockdownValue(value, error);
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(static_cast<plist_t>(node.get()), &xml, &size);
    std::string text(xml, size);
    std::free(xml);
    return text;
}

json roundTrip(const json& value) {
    std::string error;
    imd::PlistPtr node = imd::plistFromLockdownValue(value, error);
    EXPECT_NE(node, nullptr) << error;
    return node ? imd::lockdownValueFromPlist(static_cast<plist_t>(node.get())) : json();
}

constexpr uint32_t lockdownPort = 62078, deviceID = 7;

bool readExactly(int fd, void* buffer, std::size_t size) {
    for (auto* bytes = static_cast<char*>(buffer); size > 0;) {
        const ssize_t n = ::recv(fd, bytes, size, 0);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

json jsonOf(const std::string& xml) {
    plist_t node = nullptr;
    plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    imd::PlistPtr owned(node);
    return node ? imd::lockdownValueFromPlist(node) : json();
}

// A stand-in for the USB multiplexing daemon on a UNIX socket (reached through USBMUXD_SOCKET_ADDRESS),
// with one phone whose lockdown service answers from a table of values without encryption. Tests change
// its state under `mutex`.
struct FakeUsbmuxd {
    explicit FakeUsbmuxd(const fs::path& socketPath) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd, 8) != 0)
            throw std::runtime_error("cannot listen on " + socketPath.string());
        acceptor = std::thread([this] {
            for (int fd; (fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                std::lock_guard lock(mutex);
                open.push_back(fd);
                threads.emplace_back([this, fd] { serve(fd); });
            }
        });
    }
    ~FakeUsbmuxd() {
        ::shutdown(listenFd, SHUT_RDWR);
        acceptor.join();
        ::close(listenFd);
        for (int fd : open) // the acceptor is gone: nobody adds to these any more
            ::shutdown(fd, SHUT_RDWR);
        for (auto& thread : threads)
            thread.join();
        for (int fd : open)
            ::close(fd);
    }

    // Sends a daemon message to every connection that listens for events.
    void tellListeners(const std::string& type) {
        std::lock_guard lock(mutex);
        for (int fd : listeners)
            send(fd, 0, type == "Attached" ? attachedMessage() : json{{"MessageType", type}, {"DeviceID", deviceID}});
    }
    std::vector<std::string> requestNames() {
        std::lock_guard lock(mutex);
        std::vector<std::string> names;
        for (const auto& request : requests)
            names.push_back(request.value("Request", ""));
        return names;
    }

    const std::string udid = "00008101-000A1B2C3D4E5F60", hostID = "7B1F6E2C-0000-4000-8000-0123456789AB";
    std::mutex mutex;
    bool attached = true, paired = true;
    // The services a session starts, each on a port of its own; those in `refused` the phone will not start.
    const std::map<std::string, uint32_t> servicePorts{{LockdownServices::kInstallationProxy, 49001},
        {LockdownServices::kSyslogRelay, 49002}, {LockdownServices::kCrashReportMover, 49003},
        {LockdownServices::kCrashReportCopy, 49004}};
    std::set<std::string> refused;
    json apps = json::array();
    std::string syslog;                           // what the relay sends, before it hangs up
    std::map<std::string, std::string> reports;   // the crash-report folder
    std::optional<std::size_t> cutAfter;          // the copy connection breaks off after this many bytes of a file
    json values = {{"", {{"DeviceName", "Test iPhone"}, {"ProductVersion", "17.4"}}},
                   {"com.apple.Accessibility", {{"AssistiveTouchEnabledByiTunes", false}}}};
    std::vector<json> requests;

private:
    json attachedMessage() const {
        return {{"MessageType", "Attached"}, {"DeviceID", deviceID},
                {"Properties", {{"ConnectionType", "USB"}, {"DeviceID", deviceID}, {"SerialNumber", udid},
                                {"ProductID", 4776}}}};
    }

    // Daemon messages carry a 16-byte header (length, version 1, type 8 for a property list, tag); the
    // phone's lockdown service frames its property lists by a big-endian length.
    static void send(int fd, uint32_t tag, const json& message, bool lockdown = false) {
        const std::string xml = xmlOf(message);
        const uint32_t header[4] = {static_cast<uint32_t>(16 + xml.size()), 1, 8, tag},
                       framed = htonl(static_cast<uint32_t>(xml.size()));
        const std::string bytes = (lockdown ? std::string(reinterpret_cast<const char*>(&framed), 4)
                                            : std::string(reinterpret_cast<const char*>(header), 16)) + xml;
        [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    void serve(int fd) {
        uint32_t header[4];
        while (readExactly(fd, header, sizeof header) && header[0] >= sizeof header) {
            std::string body(header[0] - sizeof header, '\0');
            if (!readExactly(fd, body.data(), body.size()))
                return;
            const json request = jsonOf(body);
            const std::string type = request.value("MessageType", "");
            std::unique_lock lock(mutex);
            if (type == "Listen") {
                send(fd, header[3], {{"MessageType", "Result"}, {"Number", 0}});
                listeners.push_back(fd);
                if (attached)
                    send(fd, 0, attachedMessage());
            } else if (type == "ListDevices") {
                send(fd, header[3], {{"DeviceList", attached ? json::array({attachedMessage()}) : json::array()}});
            } else if (type == "ReadBUID") {
                send(fd, header[3], {{"BUID", "5E1F0000-0000-4000-8000-00000000B01D"}});
            } else if (type == "ReadPairRecord" && paired && request.value("PairRecordID", "") == udid) {
                const std::string record = xmlOf({{"HostID", hostID}, {"SystemBUID", "5E1F"}});
                send(fd, header[3], {{"PairRecordData", {{"$data", imd::base64Encoded(record)}}}});
            } else if (type == "Connect" && attached && request.value("DeviceID", 0u) == deviceID &&
                       request.value("PortNumber", 0u) == htons(lockdownPort)) {
                send(fd, header[3], {{"MessageType", "Result"}, {"Number", 0}});
                lock.unlock();
                return serveLockdown(fd);
            } else if (type == "Connect" && attached && request.value("DeviceID", 0u) == deviceID) {
                send(fd, header[3], {{"MessageType", "Result"}, {"Number", 0}});
                const uint32_t port = ntohs(static_cast<uint16_t>(request.value("PortNumber", 0u)));
                lock.unlock();
                return serveService(fd, port);
            } else {
                send(fd, header[3], {{"MessageType", "Result"}, {"Number", 2}});
            }
        }
    }

    void serveLockdown(int fd) {
        for (uint32_t length = 0; readExactly(fd, &length, sizeof length);) {
            std::string body(ntohl(length), '\0');
            if (!readExactly(fd, body.data(), body.size()))
                return;
            const json request = jsonOf(body);
            const std::string name = request.value("Request", ""), domain = request.value("Domain", "");
            std::lock_guard lock(mutex);
            requests.push_back(request);
            json reply = {{"Request", name}};
            if (name == "QueryType")
                reply["Type"] = "com.apple.mobile.lockdown";
            else if (name == "GetValue" && !request.contains("Key"))
                reply["Value"] = values[domain];
            else if (name == "GetValue" && values[domain].contains(request["Key"].get<std::string>()))
                reply["Value"] = values[domain][request["Key"].get<std::string>()];
            else if (name == "GetValue")
                reply["Error"] = "MissingValue";
            else if (name == "SetValue")
                values[domain][request.value("Key", "")] = request["Value"];
            else if (name == "StartSession" && request.value("HostID", "") == hostID)
                reply.update({{"SessionID", "SESSION-1"}, {"EnableSessionSSL", false}});
            else if (name == "StartSession")
                reply["Error"] = "InvalidHostID";
            else if (name == "StartService" && servicePorts.count(request.value("Service", "")) &&
                     !refused.count(request.value("Service", "")))
                reply.update({{"Service", request["Service"]}, {"Port", servicePorts.at(request["Service"])},
                              {"EnableServiceSSL", false}});
            else if (name == "StartService")
                reply["Error"] = "InvalidService";
            else if (name != "StopSession" && name != "Goodbye")
                reply["Error"] = "InvalidRequest";
            send(fd, 0, reply, true);
        }
    }

    std::optional<json> readFramed(int fd) {
        uint32_t length = 0;
        if (!readExactly(fd, &length, sizeof length))
            return std::nullopt;
        std::string body(ntohl(length), '\0');
        if (!readExactly(fd, body.data(), body.size()))
            return std::nullopt;
        return jsonOf(body);
    }

    void serveService(int fd, uint32_t port) {
        std::unique_lock lock(mutex);
        if (port == servicePorts.at(LockdownServices::kSyslogRelay)) {
            // A quiet while first, longer than the relay's read time-out: silence does not end a relay.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            lock.lock();
            [[maybe_unused]] auto n = ::send(fd, syslog.data(), syslog.size(), MSG_NOSIGNAL);
            ::shutdown(fd, SHUT_RDWR); // the relay daemon quits
        } else if (port == servicePorts.at(LockdownServices::kCrashReportMover)) {
            [[maybe_unused]] auto n = ::send(fd, "ping", 4, MSG_NOSIGNAL);
        } else if (port == servicePorts.at(LockdownServices::kCrashReportCopy)) {
            lock.unlock();
            serveAfc(fd);
        } else if (port == servicePorts.at(LockdownServices::kInstallationProxy)) {
            lock.unlock();
            while (auto request = readFramed(fd)) {
                std::lock_guard relock(mutex);
                const bool all = request->value("ClientOptions", json::object()).value("ApplicationType", "") == "Any";
                json list = json::array();
                for (const auto& app : apps)
                    if (all || app.value("ApplicationType", "") == "User")
                        list.push_back(app);
                send(fd, 0, {{"Status", "BrowsingApplications"}, {"CurrentList", list}, {"CurrentIndex", 0},
                             {"CurrentAmount", list.size()}, {"Total", list.size()}}, true);
                send(fd, 0, {{"Status", "Complete"}}, true);
            }
        }
    }

    // The file service: a 40-byte header (magic, whole length, this packet's length, number, operation), then
    // the operation's parameters.
    void serveAfc(int fd) {
        std::map<uint64_t, std::pair<std::string, std::size_t>> open; // handle: name and position
        for (uint64_t header[5]; readExactly(fd, header, sizeof header);) {
            std::string params(header[2] - sizeof header, '\0');
            if (!readExactly(fd, params.data(), params.size()))
                return;
            std::lock_guard lock(mutex);
            auto answer = [&](uint64_t operation, const std::string& data) {
                uint64_t out[5] = {0, sizeof out + data.size(), sizeof out + data.size(), header[3], operation};
                std::memcpy(out, "CFA6LPAA", 8);
                std::string bytes(reinterpret_cast<const char*>(out), sizeof out);
                [[maybe_unused]] auto n = ::send(fd, (bytes + data).data(), bytes.size() + data.size(), MSG_NOSIGNAL);
            };
            auto number = [](uint64_t value) { return std::string(reinterpret_cast<const char*>(&value), 8); };
            const std::string path = params.c_str(), name = path.substr(path.rfind('/') + 1);
            switch (header[4]) {
            case 0x03: { // read the folder
                std::string names = std::string(".\0..\0Retired\0", 13);
                for (const auto& [file, text] : reports)
                    names += file + '\0';
                answer(0x02, names);
                break;
            }
            case 0x0A: // look at a path
                if (name == "Retired")
                    answer(0x02, std::string("st_ifmt\0S_IFDIR\0", 16));
                else if (reports.count(name))
                    answer(0x02, "st_size" + std::string(1, '\0') + std::to_string(reports[name].size()) + '\0' +
                                     "st_ifmt" + '\0' + "S_IFREG" + '\0' + "st_mtime" + '\0' + "1767323045000000000" + '\0');
                else
                    answer(0x01, number(8)); // not found
                break;
            case 0x0D: { // open: the mode, then the path
                const std::string file = std::string(params.c_str() + 8).substr(1);
                if (!reports.count(file)) {
                    answer(0x01, number(8));
                    break;
                }
                open[open.size() + 1] = {file, 0};
                answer(0x0E, number(open.size()));
                break;
            }
            case 0x0F: { // read: handle and length
                uint64_t handle = 0, length = 0;
                std::memcpy(&handle, params.data(), 8);
                std::memcpy(&length, params.data() + 8, 8);
                auto& [file, at] = open[handle];
                std::string chunk = reports[file].substr(std::min(at, reports[file].size()), length);
                if (cutAfter && at + chunk.size() > *cutAfter) {
                    ::shutdown(fd, SHUT_RDWR); // the phone goes in the middle of a file
                    return;
                }
                at += chunk.size();
                answer(0x02, chunk);
                break;
            }
            default: // close, and anything else: done
                answer(0x01, number(0));
            }
        }
    }

    int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread acceptor;
    std::vector<std::thread> threads;
    std::vector<int> open, listeners;
};

// Attach and detach events as the backend reports them, as lines.
struct EventLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    void add(const LockdownBackend::Event& e) {
        std::lock_guard lock(mutex);
        const bool attached = e.kind == LockdownBackend::Event::Kind::attached;
        lines.push_back((attached ? "attached " : "detached ") + e.udid + (attached && e.usb ? " usb" : ""));
    }
    std::size_t size() { std::lock_guard lock(mutex); return lines.size(); }
};

class LinuxLockdownBackend : public testing::Test {
protected:
    TempFolder folder;
    ScopedEnvironment environment;
    fs::path socketPath = folder.path() / "usbmuxd";
    EventLog log;
    void SetUp() override { environment.set("USBMUXD_SOCKET_ADDRESS", "UNIX:" + socketPath.string()); }
};

} // namespace

TEST(LinuxLockdownPlist, EveryKindBecomesItsJSONForm) {
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                            "<key>yes</key><true/><key>no</key><false/><key>small</key><integer>42</integer>"
                            "<key>negative</key><integer>-5</integer>"
                            "<key>huge</key><integer>18446744073709551615</integer><key>real</key><real>2.5</real>"
                            "<key>name</key><string>Ünïcødé iPhone</string><key>bytes</key><data>/wCAZm9v</data>"
                            "<key>when</key><date>2024-02-29T12:34:56Z</date>"
                            "<key>list</key><array><integer>1</integer><array/><dict/></array>"
                            "<key>empty</key><dict/></dict></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    imd::PlistPtr owned(node);
    ASSERT_NE(node, nullptr);
    const json value = imd::lockdownValueFromPlist(node);
    const json expected = {{"yes", true}, {"no", false}, {"small", 42}, {"negative", -5},
        {"huge", 18446744073709551615ULL}, {"real", 2.5}, {"name", "Ünïcødé iPhone"},
        {"bytes", {{"$data", "/wCAZm9v"}}}, {"when", {{"$date", "2024-02-29T12:34:56Z"}}},
        {"list", json::array({1, json::array(), json::object()})}, {"empty", json::object()}};
    EXPECT_EQ(value, expected);
    EXPECT_TRUE(value["negative"].is_number_integer());
    EXPECT_TRUE(value["huge"].is_number_unsigned());

    // Nodes built in memory: bytes, times before and after 2001 with fractions, UIDs, and text that is not
    // UTF-8, which keeps what can be kept so that the value can always be printed.
    imd::PlistPtr dict(plist_new_dict());
    auto* root = static_cast<plist_t>(dict.get());
    const char raw[] = {'\xff', '\0', '\x80', 'a'};
    plist_dict_set_item(root, "data", plist_new_data(raw, sizeof raw));
    plist_dict_set_item(root, "epoch", plist_new_date(0, 0));
    plist_dict_set_item(root, "fraction", plist_new_date(86400, 250000));
    plist_dict_set_item(root, "before2001", plist_new_date(-2, 500000));
    plist_dict_set_item(root, "uid", plist_new_uid(17));
    plist_dict_set_item(root, "badText", plist_new_string("caf\xe9"));
    plist_dict_set_item(root, "caf\xe9", plist_new_bool(1));
    EXPECT_EQ(imd::lockdownValueFromPlist(root),
              json({{"data", {{"$data", "/wCAYQ=="}}}, {"epoch", {{"$date", "2001-01-01T00:00:00Z"}}},
                    {"fraction", {{"$date", "2001-01-02T00:00:00.250000Z"}}},
                    {"before2001", {{"$date", "2000-12-31T23:59:58.500000Z"}}}, {"uid", 17},
                    {"badText", "caf\xef\xbf\xbd"}, {"caf\xef\xbf\xbd", true}}));
}

TEST(LinuxLockdownPlist, ValuesSurviveTheWayToAPropertyListAndBackOrAreRefusedWithAReasonAndBase64AndDatesAreStandard) {
    const json value = {{"flag", true}, {"count", 3}, {"negative", -9223372036854775807LL - 1},
        {"largest", 18446744073709551615ULL}, {"ratio", -0.125}, {"text", "AssistiveTouch ✓"},
        {"blob", {{"$data", "AAEC/w=="}}}, {"blobEmpty", {{"$data", ""}}},
        {"stamp", {{"$date", "2023-10-01T08:09:10Z"}}}, {"old", {{"$date", "1999-06-01T10:00:00.250000Z"}}},
        {"nested", {{"deeper", json::array({json::object(), json::array({1, "two", false})})}}},
        {"notSpecial", {{"$data", 5}}}, {"twoKeys", {{"$data", "AA=="}, {"other", 1}}}};
    for (const json& v : {value, json::object(), json::array(), json("top-level string")})
        EXPECT_EQ(roundTrip(v), v);

    std::string error;
    imd::PlistPtr data = imd::plistFromLockdownValue({{"$data", "/wCA"}}, error);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(plist_get_node_type(static_cast<plist_t>(data.get())), PLIST_DATA);
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(static_cast<plist_t>(data.get()), &length);
    EXPECT_EQ(std::string(bytes, length), std::string("\xff\x00\x80", 3));
    const std::string text = xmlOf(json::array({-1, 18446744073709551615ULL, 7}));
    for (const char* number : {"<integer>-1</integer>", "<integer>18446744073709551615</integer>", "<integer>7</integer>"})
        EXPECT_NE(text.find(number), std::string::npos) << text;

    const std::pair<json, std::string> cases[] = {
        {nullptr, "a null value has no property-list form"},
        {{{"$data", "not base64!"}}, "\"$data\" is not valid base64"},
        {{{"$date", "yesterday"}}, "\"$date\" is not an ISO 8601 UTC date a property list can hold: yesterday"},
        // A bad value deep inside fails the whole conversion rather than vanishing from it.
        {{{"outer", json::array({1, {{"inner", nullptr}}})}}, "a null value has no property-list form"}};
    for (const auto& [value, reason] : cases) {
        EXPECT_EQ(imd::plistFromLockdownValue(value, error), nullptr) << value;
        EXPECT_EQ(error, reason);
    }

    const std::pair<std::string, std::string> vectors[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(imd::base64Encoded(plain), encoded);
        EXPECT_EQ(imd::base64Decoded(encoded), plain);
    }
    std::string every;
    for (int i = 0; i < 256; ++i)
        every += static_cast<char>(i);
    EXPECT_EQ(imd::base64Decoded(imd::base64Encoded(every)), every);
    for (const char* bad : {"Zg=", "Z===", "Zm9v!A==", "=Zm9", "Zg==Zg==", "Zm 9v", "Zm-_"})
        EXPECT_EQ(imd::base64Decoded(bad), std::nullopt) << bad;
    // Dates are UTC, within what a property list holds (the times around 2001 are the nodes' test's).
    EXPECT_EQ(imd::isoDateFromPlistTime(730036800.000001), "2024-02-19T12:00:00.000001Z");
    EXPECT_EQ(imd::plistTimeFromIsoDate("2000-12-31T23:59:58.5Z"), -1.5);
    EXPECT_EQ(imd::plistTimeFromIsoDate("2024-02-29T00:00:00.123456789Z"), 730857600.123456);
    for (const char* bad : {"2023-02-29T00:00:00Z", "2024-01-01 00:00:00Z", "2024-01-01T24:00:00Z",
                            "2024-01-01T00:00:00", "2024-01-01T00:00:00+01:00", "2024-1-01T00:00:00Z",
                            "2100-01-01T00:00:00Z", "1900-01-01T00:00:00Z", "2024-01-01T00:00:00.Z", ""})
        EXPECT_EQ(imd::plistTimeFromIsoDate(bad), std::nullopt) << bad;
}

TEST_F(LinuxLockdownBackend, WithoutTheDaemonItSaysSoAndFindsNothingAndTheSocketDecidesTheNote) {
    auto backend = LockdownBackend::system();
    EXPECT_EQ(backend->statusNote(),
              "usbmuxd is not running; phones on USB appear once it runs (sudo systemctl start usbmuxd)");
    EXPECT_EQ(backend->connect("00008101-000A1B2C3D4E5F60"), nullptr);
    // The library waits for the daemon on its own thread; unsubscribing must still end that thread.
    EXPECT_EQ(backend->subscribe([&](const LockdownBackend::Event& e) { log.add(e); }), 0);
    backend.reset();
    EXPECT_EQ(log.size(), 0u);

    // Without an address of its own, the system socket decides the note.
    environment.set("USBMUXD_SOCKET_ADDRESS", std::nullopt);
    EXPECT_EQ(LockdownBackend::system()->statusNote().empty(), fs::exists("/var/run/usbmuxd"));
    environment.set("USBMUXD_SOCKET_ADDRESS", "127.0.0.1:27015");
    EXPECT_EQ(LockdownBackend::system()->statusNote(), "");
}

TEST_F(LinuxLockdownBackend, AttachAndDetachArriveAsEventsAndPairingIsNotOneAndAConnectionReadsAndWritesValuesWithoutEverPairing) {
    FakeUsbmuxd daemon(socketPath);
    auto backend = LockdownBackend::system();
    EXPECT_EQ(backend.get(), LockdownBackend::system().get()); // one subscription per process
    EXPECT_EQ(backend->statusNote(), "");
    ASSERT_EQ(backend->subscribe([&](const LockdownBackend::Event& e) { log.add(e); }), 0);
    ASSERT_TRUE(eventually([&] { return log.size() >= 1; }));
    daemon.tellListeners("Paired");
    daemon.tellListeners("Detached");
    ASSERT_TRUE(eventually([&] { return log.size() >= 2; }));
    backend.reset();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"attached " + daemon.udid + " usb", "detached " + daemon.udid}));

    backend = LockdownBackend::system();
    EXPECT_EQ(backend->connect("00008101-FFFFFFFFFFFFFFFF"), nullptr);
    auto connection = backend->connect(daemon.udid);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->isPaired());
    EXPECT_EQ(connection->copyValue(std::nullopt, "DeviceName"), json("Test iPhone"));
    EXPECT_EQ(connection->copyValue("com.apple.Accessibility", std::nullopt),
              json({{"AssistiveTouchEnabledByiTunes", false}}));
    EXPECT_EQ(connection->copyValue(std::nullopt, "NoSuchKey"), std::nullopt);
    EXPECT_EQ(connection->startSession(), 0);
    EXPECT_EQ(connection->setValue("com.apple.Accessibility", "AssistiveTouchEnabledByiTunes", true), 0);
    EXPECT_EQ(connection->setValue("com.apple.Accessibility", "Blob", {{"$data", "/wCA"}}), 0);
    // A value with no property-list form is refused before anything is sent.
    EXPECT_EQ(connection->setValue("com.apple.Accessibility", "Bad", nullptr), -3);
    connection->stopSession();
    connection.reset();
    EXPECT_EQ(daemon.requestNames(), (std::vector<std::string>{"GetValue", "GetValue", "GetValue", "StartSession",
                                                               "SetValue", "SetValue", "StopSession"}));
    {
        std::lock_guard lock(daemon.mutex);
        EXPECT_EQ(daemon.values["com.apple.Accessibility"],
                  json({{"AssistiveTouchEnabledByiTunes", true}, {"Blob", {{"$data", "/wCA"}}}}));
        EXPECT_EQ(daemon.requests[0]["Label"], "pokescope");
        EXPECT_EQ(daemon.requests[3]["HostID"], daemon.hostID);
        EXPECT_EQ(daemon.requests[4]["Domain"], "com.apple.Accessibility");
        EXPECT_EQ(daemon.requests[4]["Key"], "AssistiveTouchEnabledByiTunes");
        EXPECT_EQ(daemon.requests[6]["SessionID"], "SESSION-1");
        // Without a pair record no session starts; values that need none are still read, fresh each time.
        daemon.paired = false;
        daemon.values[""]["DeviceName"] = "Renamed";
    }
    connection = backend->connect(daemon.udid);
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->isPaired());
    EXPECT_EQ(connection->startSession(), -29); // LOCKDOWN_E_MISSING_PAIR_RECORD
    EXPECT_EQ(connection->copyValue(std::nullopt, "DeviceName"), json("Renamed"));
    connection.reset();
    const auto names = daemon.requestNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "StartSession"), 1);
}

TEST_F(LinuxLockdownBackend, ASessionListsAppsRelaysTheLogAndCopiesCrashReportsAndNamesTheServiceThatFails) {
    FakeUsbmuxd daemon(socketPath);
    daemon.apps = json::parse(R"([
        {"CFBundleIdentifier": "com.example.shop", "CFBundleDisplayName": "Shop", "CFBundleName": "ShopApp",
         "CFBundleShortVersionString": "2.1", "ApplicationType": "User"},
        {"CFBundleIdentifier": "com.apple.Preferences", "CFBundleName": "Settings", "ApplicationType": "System"},
        {"CFBundleName": "No identifier", "ApplicationType": "User"}])");
    daemon.syslog = "Mar  5 09:41:07 Phone Shop[12] <Notice>: first\n" + std::string(1, '\0') + "second \xff\n";
    daemon.reports = {{"Shop-2026-01-02-030405.ips", "{\"app_name\":\"Shop\"}\n{}\n"}, {"Big.ips", std::string(150000, 'b')}};
    auto connection = LockdownBackend::system()->connect(daemon.udid);
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(connection->startSession(), 0);

    EXPECT_EQ(connection->installedApps(false), (std::vector<InstalledApp>{{"com.example.shop", "Shop", "2.1", false}}));
    EXPECT_EQ(connection->installedApps(true), (std::vector<InstalledApp>{{"com.example.shop", "Shop", "2.1", false},
                                                                          {"com.apple.Preferences", "Settings", "", true}}));

    // The relay hands over every byte as it comes, and says so once when the phone hangs up.
    std::mutex mutex;
    std::string relayed;
    std::vector<std::string> ends;
    auto relay = connection->startLogRelay(
        [&](std::string_view bytes) { std::lock_guard lock(mutex); relayed += bytes; },
        [&](const std::string& why) { std::lock_guard lock(mutex); ends.push_back(why); });
    ASSERT_TRUE(eventually([&] { std::lock_guard lock(mutex); return !ends.empty(); }));
    relay.reset();
    EXPECT_EQ(relayed, daemon.syslog);
    EXPECT_THAT(ends, testing::ElementsAre(testing::StartsWith("the iPhone stopped its log relay (status ")));

    auto folder = connection->openCrashReports();
    auto files = folder->list(); // the subfolder is left out
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(std::tuple(files[0].name, files[0].size), std::tuple("Big.ips", 150000u));
    EXPECT_EQ(std::tuple(files[1].name, files[1].size), std::tuple("Shop-2026-01-02-030405.ips", 23u));
    EXPECT_EQ(std::chrono::system_clock::to_time_t(files[1].modified), 1767323045);
    EXPECT_EQ(folder->read("Shop-2026-01-02-030405.ips", 1000), "{\"app_name\":\"Shop\"}\n{}\n");
    EXPECT_EQ(folder->read("Big.ips", 1 << 20), std::string(150000, 'b')); // in several reads
    auto tooBig = thrown<LockdownServiceError>([&] { folder->read("Big.ips", 100000); });
    auto missing = thrown<LockdownServiceError>([&] { folder->read("Gone.ips", 1000); });
    ASSERT_TRUE(tooBig && missing);
    EXPECT_STREQ(missing->what(), "com.apple.crashreportcopymobile: Gone.ips could not be opened (status 8)");
    {
        std::lock_guard lock(daemon.mutex);
        daemon.cutAfter = 100000;
    }
    auto cut = thrown<LockdownServiceError>([&] { folder->read("Big.ips", 1 << 20); });
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->service(), LockdownServices::kCrashReportCopy);

    {
        std::lock_guard lock(daemon.mutex);
        daemon.refused = {LockdownServices::kSyslogRelay};
    }
    auto refused = thrown<LockdownServiceError>([&] { connection->startLogRelay([](std::string_view) {}, [](const std::string&) {}); });
    ASSERT_TRUE(refused);
    EXPECT_STREQ(refused->what(), "com.apple.syslog_relay: the iPhone would not start it (status -27)");
    connection->stopSession();
}
