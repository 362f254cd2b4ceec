#include "platform/Lockdown.hpp"
#include "platform/linux/IMobileDevicePlist.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

imd::PlistPtr fromXML(const std::string& body) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    return imd::PlistPtr(node);
}

json valueOf(const std::string& body) {
    imd::PlistPtr node = fromXML(body);
    EXPECT_NE(node, nullptr) << body;
    return node ? imd::lockdownValueFromPlist(static_cast<plist_t>(node.get())) : json();
}

json roundTrip(const json& value) {
    std::string error;
    imd::PlistPtr node = imd::plistFromLockdownValue(value, error);
    EXPECT_NE(node, nullptr) << error;
    return node ? imd::lockdownValueFromPlist(static_cast<plist_t>(node.get())) : json();
}

std::string conversionError(const json& value) {
    std::string error;
    imd::PlistPtr node = imd::plistFromLockdownValue(value, error);
    EXPECT_EQ(node, nullptr);
    return error;
}

} // namespace

TEST(LinuxLockdownPlist, EveryKindBecomesItsJSONForm) {
    json value = valueOf("<dict>"
                         "<key>yes</key><true/><key>no</key><false/>"
                         "<key>small</key><integer>42</integer>"
                         "<key>negative</key><integer>-5</integer>"
                         "<key>huge</key><integer>18446744073709551615</integer>"
                         "<key>real</key><real>2.5</real>"
                         "<key>name</key><string>Ünïcødé iPhone</string>"
                         "<key>bytes</key><data>/wCAZm9v</data>"
                         "<key>when</key><date>2024-02-29T12:34:56Z</date>"
                         "<key>list</key><array><integer>1</integer><array/><dict/></array>"
                         "<key>empty</key><dict/>"
                         "</dict>");
    json expected = {
        {"yes", true},
        {"no", false},
        {"small", 42},
        {"negative", -5},
        {"huge", 18446744073709551615ULL},
        {"real", 2.5},
        {"name", "Ünïcødé iPhone"},
        {"bytes", {{"$data", "/wCAZm9v"}}},
        {"when", {{"$date", "2024-02-29T12:34:56Z"}}},
        {"list", json::array({1, json::array(), json::object()})},
        {"empty", json::object()},
    };
    EXPECT_EQ(value, expected);
    EXPECT_TRUE(value["negative"].is_number_integer());
    EXPECT_TRUE(value["huge"].is_number_unsigned());
}

TEST(LinuxLockdownPlist, NodesBuiltInMemoryKeepBytesTimesAndUIDs) {
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
    json value = imd::lockdownValueFromPlist(root);
    EXPECT_EQ(value["data"], json({{"$data", "/wCAYQ=="}}));
    EXPECT_EQ(value["epoch"], json({{"$date", "2001-01-01T00:00:00Z"}}));
    EXPECT_EQ(value["fraction"], json({{"$date", "2001-01-02T00:00:00.250000Z"}}));
    EXPECT_EQ(value["before2001"], json({{"$date", "2000-12-31T23:59:58.500000Z"}}));
    EXPECT_EQ(value["uid"], 17);
    // Text that is not UTF-8 keeps what can be kept, so the value can always be printed.
    EXPECT_EQ(value["badText"], "caf\xef\xbf\xbd");
    EXPECT_TRUE(value.contains("caf\xef\xbf\xbd"));
    EXPECT_NO_THROW(value.dump());
}

TEST(LinuxLockdownPlist, ValuesSurviveTheWayToAPropertyListAndBack) {
    json value = {
        {"flag", true},
        {"count", 3},
        {"negative", -9223372036854775807LL - 1},
        {"largest", 18446744073709551615ULL},
        {"ratio", -0.125},
        {"text", "AssistiveTouch ✓"},
        {"blob", {{"$data", "AAEC/w=="}}},
        {"blobEmpty", {{"$data", ""}}},
        {"stamp", {{"$date", "2023-10-01T08:09:10Z"}}},
        {"old", {{"$date", "1999-06-01T10:00:00.250000Z"}}},
        {"nested", {{"deeper", json::array({json::object(), json::array({1, "two", false})})}}},
        {"notSpecial", {{"$data", 5}}},
        {"twoKeys", {{"$data", "AA=="}, {"other", 1}}},
    };
    EXPECT_EQ(roundTrip(value), value);
    EXPECT_EQ(roundTrip(json::object()), json::object());
    EXPECT_EQ(roundTrip(json::array()), json::array());
    EXPECT_EQ(roundTrip("top-level string"), "top-level string");
}

TEST(LinuxLockdownPlist, TheWireFormKeepsExactBytesAndSigns) {
    std::string error;
    imd::PlistPtr data = imd::plistFromLockdownValue({{"$data", "/wCA"}}, error);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(plist_get_node_type(static_cast<plist_t>(data.get())), PLIST_DATA);
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(static_cast<plist_t>(data.get()), &length);
    EXPECT_EQ(std::string(bytes, length), std::string("\xff\x00\x80", 3));

    imd::PlistPtr numbers = imd::plistFromLockdownValue(json::array({-1, 18446744073709551615ULL, 7}), error);
    ASSERT_NE(numbers, nullptr);
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(static_cast<plist_t>(numbers.get()), &xml, &size);
    std::string text(xml, size);
    std::free(xml);
    EXPECT_NE(text.find("<integer>-1</integer>"), std::string::npos) << text;
    EXPECT_NE(text.find("<integer>18446744073709551615</integer>"), std::string::npos) << text;
    EXPECT_NE(text.find("<integer>7</integer>"), std::string::npos) << text;
}

TEST(LinuxLockdownPlist, ValuesWithoutAPropertyListFormAreRefusedWithAReason) {
    EXPECT_EQ(conversionError(nullptr), "a null value has no property-list form");
    EXPECT_EQ(conversionError({{"$data", "not base64!"}}), "\"$data\" is not valid base64");
    EXPECT_EQ(conversionError({{"$date", "yesterday"}}),
              "\"$date\" is not an ISO 8601 UTC date a property list can hold: yesterday");
    // A bad value deep inside fails the whole conversion rather than vanishing from it.
    EXPECT_EQ(conversionError({{"outer", json::array({1, {{"inner", nullptr}}})}}),
              "a null value has no property-list form");
}

TEST(LinuxLockdownPlist, Base64FollowsTheStandardAlphabetAndPadding) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
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
}

TEST(LinuxLockdownPlist, DatesAreUTCWithinWhatAPropertyListHolds) {
    EXPECT_EQ(imd::isoDateFromPlistTime(0), "2001-01-01T00:00:00Z");
    EXPECT_EQ(imd::isoDateFromPlistTime(-1.5), "2000-12-31T23:59:58.500000Z");
    EXPECT_EQ(imd::isoDateFromPlistTime(730036800.000001), "2024-02-19T12:00:00.000001Z");
    EXPECT_EQ(imd::plistTimeFromIsoDate("2001-01-01T00:00:00Z"), 0.0);
    EXPECT_EQ(imd::plistTimeFromIsoDate("2000-12-31T23:59:58.5Z"), -1.5);
    EXPECT_EQ(imd::plistTimeFromIsoDate("2024-02-29T00:00:00.123456789Z"), 730857600.123456);
    for (const char* bad : {"2023-02-29T00:00:00Z", "2024-01-01 00:00:00Z", "2024-01-01T24:00:00Z",
                            "2024-01-01T00:00:00", "2024-01-01T00:00:00+01:00", "2024-1-01T00:00:00Z",
                            "2100-01-01T00:00:00Z", "1900-01-01T00:00:00Z", "2024-01-01T00:00:00.Z", ""})
        EXPECT_EQ(imd::plistTimeFromIsoDate(bad), std::nullopt) << bad;
}

namespace {

constexpr uint32_t lockdownPort = 62078;
constexpr uint32_t deviceID = 7;

bool readExactly(int fd, void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::recv(fd, bytes, size, 0);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

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

json jsonOf(const std::string& xml) {
    plist_t node = nullptr;
    plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    imd::PlistPtr owned(node);
    return node ? imd::lockdownValueFromPlist(node) : json();
}

// A stand-in for the USB multiplexing daemon on a UNIX socket (reached through USBMUXD_SOCKET_ADDRESS),
// with one phone whose lockdown service answers from a table of values without encryption.
class FakeUsbmuxd {
public:
    explicit FakeUsbmuxd(const fs::path& socketPath) {
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 8) != 0)
            throw std::runtime_error("cannot listen on " + socketPath.string());
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~FakeUsbmuxd() {
        ::shutdown(listenFd_, SHUT_RDWR);
        acceptor_.join();
        ::close(listenFd_);
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            for (int fd : open_)
                ::shutdown(fd, SHUT_RDWR);
            threads.swap(threads_);
        }
        for (auto& thread : threads)
            thread.join();
        for (int fd : open_)
            ::close(fd);
    }

    void setAttached(bool attached) {
        std::lock_guard lock(mutex_);
        attached_ = attached;
        for (int fd : listeners_) {
            if (attached)
                sendMessage(fd, 0, attachedMessage());
            else
                sendMessage(fd, 0, {{"MessageType", "Detached"}, {"DeviceID", deviceID}});
        }
    }

    void forgetPairing() {
        std::lock_guard lock(mutex_);
        paired_ = false;
    }

    void sendPaired() {
        std::lock_guard lock(mutex_);
        for (int fd : listeners_)
            sendMessage(fd, 0, {{"MessageType", "Paired"}, {"DeviceID", deviceID}});
    }

    json value(const std::string& domain, const std::string& key) {
        std::lock_guard lock(mutex_);
        return values_[domain][key];
    }
    void setValue(const std::string& domain, const std::string& key, const json& value) {
        std::lock_guard lock(mutex_);
        values_[domain][key] = value;
    }
    std::vector<json> lockdownRequests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    const std::string udid = "00008101-000A1B2C3D4E5F60";
    const std::string hostID = "7B1F6E2C-0000-4000-8000-0123456789AB";

private:
    json attachedMessage() const {
        return {{"MessageType", "Attached"},
                {"DeviceID", deviceID},
                {"Properties",
                 {{"ConnectionType", "USB"},
                  {"DeviceID", deviceID},
                  {"SerialNumber", udid},
                  {"ProductID", 4776}}}};
    }

    static void sendMessage(int fd, uint32_t tag, const json& message) {
        std::string xml = xmlOf(message);
        uint32_t header[4] = {static_cast<uint32_t>(16 + xml.size()), 1, 8, tag};
        writeAll(fd, std::string(reinterpret_cast<char*>(header), sizeof header) + xml);
    }

    void acceptLoop() {
        for (;;) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::lock_guard lock(mutex_);
            open_.push_back(fd);
            threads_.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        uint32_t header[4];
        while (readExactly(fd, header, sizeof header) && header[0] >= sizeof header) {
            std::string body(header[0] - sizeof header, '\0');
            if (!readExactly(fd, body.data(), body.size()))
                return;
            if (answerDaemonRequest(fd, header[3], jsonOf(body))) {
                serveLockdown(fd);
                return;
            }
        }
    }

    // Answers one request to the daemon; true when the connection now leads to the phone's lockdown service.
    bool answerDaemonRequest(int fd, uint32_t tag, const json& request) {
        std::string type = request.value("MessageType", "");
        std::lock_guard lock(mutex_);
        if (type == "Listen") {
            sendMessage(fd, tag, {{"MessageType", "Result"}, {"Number", 0}});
            listeners_.push_back(fd);
            if (attached_)
                sendMessage(fd, 0, attachedMessage());
        } else if (type == "ListDevices") {
            json list = json::array();
            if (attached_)
                list.push_back(attachedMessage());
            sendMessage(fd, tag, {{"DeviceList", list}});
        } else if (type == "ReadBUID") {
            sendMessage(fd, tag, {{"BUID", "5E1F0000-0000-4000-8000-00000000B01D"}});
        } else if (type == "ReadPairRecord" && paired_ && request.value("PairRecordID", "") == udid) {
            std::string record = xmlOf({{"HostID", hostID}, {"SystemBUID", "5E1F"}});
            sendMessage(fd, tag, {{"PairRecordData", {{"$data", imd::base64Encoded(record)}}}});
        } else if (type == "Connect" && attached_ && request.value("DeviceID", 0u) == deviceID &&
                   request.value("PortNumber", 0u) == htons(lockdownPort)) {
            sendMessage(fd, tag, {{"MessageType", "Result"}, {"Number", 0}});
            return true;
        } else {
            sendMessage(fd, tag, {{"MessageType", "Result"}, {"Number", 2}});
        }
        return false;
    }

    // The phone's side of a lockdown connection: plists framed by a big-endian length.
    void serveLockdown(int fd) {
        uint32_t length = 0;
        while (readExactly(fd, &length, sizeof length)) {
            std::string body(ntohl(length), '\0');
            if (!readExactly(fd, body.data(), body.size()))
                return;
            json request = jsonOf(body);
            json reply = answer(request);
            std::string xml = xmlOf(reply);
            uint32_t framed = htonl(static_cast<uint32_t>(xml.size()));
            writeAll(fd, std::string(reinterpret_cast<char*>(&framed), sizeof framed) + xml);
        }
    }

    json answer(const json& request) {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        std::string name = request.value("Request", "");
        std::string domain = request.value("Domain", "");
        json reply = {{"Request", name}};
        if (name == "QueryType") {
            reply["Type"] = "com.apple.mobile.lockdown";
        } else if (name == "GetValue") {
            if (!request.contains("Key"))
                reply["Value"] = values_[domain];
            else if (values_[domain].contains(request["Key"].get<std::string>()))
                reply["Value"] = values_[domain][request["Key"].get<std::string>()];
            else
                reply["Error"] = "MissingValue";
        } else if (name == "SetValue") {
            values_[domain][request.value("Key", "")] = request["Value"];
        } else if (name == "StartSession") {
            if (request.value("HostID", "") == hostID) {
                reply["SessionID"] = "SESSION-1";
                reply["EnableSessionSSL"] = false;
            } else {
                reply["Error"] = "InvalidHostID";
            }
        } else if (name != "StopSession" && name != "Goodbye") {
            reply["Error"] = "InvalidRequest";
        }
        return reply;
    }

    int listenFd_ = -1;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::vector<int> open_;
    std::vector<int> listeners_;
    bool attached_ = false;
    bool paired_ = true;
    json values_ = {{"", {{"DeviceName", "Test iPhone"}, {"ProductVersion", "17.4"}}},
                    {"com.apple.Accessibility", {{"AssistiveTouchEnabledByiTunes", false}}}};
    std::vector<json> requests_;
};

// Attach and detach events as the backend reports them.
class EventLog {
public:
    void add(const LockdownBackend::Event& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return events_.size() >= count; });
    }
    std::vector<LockdownBackend::Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LockdownBackend::Event> events_;
};

class LinuxLockdownBackend : public testing::Test {
protected:
    TempFolder folder;
    ScopedEnvironment environment;
    fs::path socketPath = folder.path() / "usbmuxd";
    void SetUp() override { environment.set("USBMUXD_SOCKET_ADDRESS", "UNIX:" + socketPath.string()); }
};

} // namespace

TEST_F(LinuxLockdownBackend, WithoutTheDaemonItSaysSoAndFindsNothingAndTheSocketDecidesTheNote) {
    auto backend = LockdownBackend::system();
    EXPECT_TRUE(backend->available());
    EXPECT_EQ(backend->statusNote(),
              "usbmuxd is not running; phones on USB appear once it runs (sudo systemctl start usbmuxd)");
    EXPECT_EQ(backend->connect("00008101-000A1B2C3D4E5F60"), nullptr);
    EventLog log;
    // The library waits for the daemon on its own thread; unsubscribing must still end that thread.
    EXPECT_EQ(backend->subscribe([&](const LockdownBackend::Event& e) { log.add(e); }), 0);
    backend.reset();
    EXPECT_TRUE(log.events().empty());

    // Without an address of its own, the system socket decides the note.
    environment.set("USBMUXD_SOCKET_ADDRESS", std::nullopt);
    EXPECT_EQ(LockdownBackend::system()->statusNote().empty(), fs::exists("/var/run/usbmuxd"));
    environment.set("USBMUXD_SOCKET_ADDRESS", "127.0.0.1:27015");
    EXPECT_EQ(LockdownBackend::system()->statusNote(), "");
}

TEST_F(LinuxLockdownBackend, AttachAndDetachArriveAsEventsAndPairingIsNotOne) {
    FakeUsbmuxd daemon(socketPath);
    daemon.setAttached(true);
    auto backend = LockdownBackend::system();
    EXPECT_EQ(backend.get(), LockdownBackend::system().get()); // one subscription per process
    EXPECT_EQ(backend->statusNote(), "");
    EventLog log;
    ASSERT_EQ(backend->subscribe([&](const LockdownBackend::Event& e) { log.add(e); }), 0);
    ASSERT_TRUE(log.waitFor(1));
    daemon.sendPaired();
    daemon.setAttached(false);
    ASSERT_TRUE(log.waitFor(2));
    auto events = log.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LockdownBackend::Event::Kind::attached);
    EXPECT_EQ(events[0].udid, daemon.udid);
    EXPECT_TRUE(events[0].usb);
    EXPECT_EQ(events[1].kind, LockdownBackend::Event::Kind::detached);
    EXPECT_EQ(events[1].udid, daemon.udid);
    backend.reset();
}

TEST_F(LinuxLockdownBackend, AConnectionReadsAndWritesValuesWithoutEverPairing) {
    FakeUsbmuxd daemon(socketPath);
    daemon.setAttached(true);
    auto backend = LockdownBackend::system();
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
    EXPECT_EQ(daemon.value("com.apple.Accessibility", "AssistiveTouchEnabledByiTunes"), true);
    EXPECT_EQ(connection->setValue("com.apple.Accessibility", "Blob", {{"$data", "/wCA"}}), 0);
    EXPECT_EQ(daemon.value("com.apple.Accessibility", "Blob"), json({{"$data", "/wCA"}}));
    // A value with no property-list form is refused before anything is sent.
    EXPECT_EQ(connection->setValue("com.apple.Accessibility", "Bad", nullptr), -3);
    connection->stopSession();
    connection.reset();

    std::vector<std::string> names;
    for (const auto& request : daemon.lockdownRequests())
        names.push_back(request.value("Request", ""));
    EXPECT_EQ(names, (std::vector<std::string>{"GetValue", "GetValue", "GetValue", "StartSession", "SetValue",
                                               "SetValue", "StopSession"}));
    auto requests = daemon.lockdownRequests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0]["Label"], "pokescope");
    EXPECT_EQ(requests[3]["HostID"], daemon.hostID);
    EXPECT_EQ(requests[4]["Domain"], "com.apple.Accessibility");
    EXPECT_EQ(requests[4]["Key"], "AssistiveTouchEnabledByiTunes");
    EXPECT_EQ(requests[6]["SessionID"], "SESSION-1");
}

TEST_F(LinuxLockdownBackend, WithoutAPairRecordNoSessionStarts) {
    FakeUsbmuxd daemon(socketPath);
    daemon.setAttached(true);
    daemon.forgetPairing();
    auto backend = LockdownBackend::system();
    auto connection = backend->connect(daemon.udid);
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->isPaired());
    EXPECT_EQ(connection->startSession(), -29); // LOCKDOWN_E_MISSING_PAIR_RECORD
    // Values that need no session are still read, fresh each time.
    daemon.setValue("", "DeviceName", "Renamed");
    EXPECT_EQ(connection->copyValue(std::nullopt, "DeviceName"), json("Renamed"));
    connection.reset();
    for (const auto& request : daemon.lockdownRequests())
        EXPECT_NE(request.value("Request", ""), "StartSession");
}
