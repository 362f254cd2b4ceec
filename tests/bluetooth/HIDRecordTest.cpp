#include "bluetooth/HIDRecord.hpp"
#include "bluetooth/HIDReports.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope;
using E = SdpElement;

TEST(HIDRecord, TheDescriptorIsTheHundredAndOneBytes) {
    const std::string expected = "05 01 09 06 A1 01 85 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 95 01 75 08 81 "
                                 "01 95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 C0 05 01 09 02 A1 01 85 02 09 01 A1 "
                                 "00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02 95 01 75 05 81 01 05 01 09 30 09 31 "
                                 "09 38 15 81 25 7F 75 08 95 03 81 06 C0 C0";
    std::string actual;
    for (auto byte : HIDRecord::descriptor) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", byte);
        actual += (actual.empty() ? "" : " ") + std::string(hex);
    }
    EXPECT_EQ(actual, expected);
}

TEST(HIDRecord, HasTheEighteenAttributesWithTheirTypesAndSizes) {
    auto record = HIDRecord::record();
    std::vector<std::uint16_t> ids;
    for (auto& attribute : record)
        ids.push_back(attribute.id);
    EXPECT_EQ(ids, (std::vector<std::uint16_t>{0x0001, 0x0004, 0x0005, 0x0006, 0x0009, 0x000D, 0x0100, 0x0201, 0x0202,
                                               0x0203, 0x0204, 0x0205, 0x0206, 0x0207, 0x020B, 0x020C, 0x020D, 0x020E}));
    auto value = [&](std::uint16_t id) {
        for (auto& attribute : record)
            if (attribute.id == id)
                return attribute.value;
        return E{};
    };
    EXPECT_EQ(value(0x0001), E::sequence({E::uuid(0x1124)}));
    EXPECT_EQ(value(0x0004), E::sequence({E::sequence({E::uuid(0x0100), E::u16(0x0011)}), E::sequence({E::uuid(0x0011)})}));
    EXPECT_EQ(value(0x000D), E::sequence({E::sequence(
                                 {E::sequence({E::uuid(0x0100), E::u16(0x0013)}), E::sequence({E::uuid(0x0011)})})}));
    EXPECT_EQ(value(0x0006), E::sequence({E::u16(0x656E), E::u16(0x006A), E::u16(0x0100)}));
    EXPECT_EQ(value(0x0100), E::string("Pokescope Keyboard"));
    EXPECT_EQ(value(0x0201), E::u16(0x0111));
    EXPECT_EQ(value(0x0202), E::u8(0xC0));
    EXPECT_EQ(value(0x0203), E::u8(0));
    EXPECT_EQ(value(0x0204), E::boolean(true));
    EXPECT_EQ(value(0x0207), E::sequence({E::sequence({E::u16(0x0409), E::u16(0x0100)})}));
    EXPECT_EQ(value(0x020C), E::u16(3200));
    auto descriptorList = value(0x0206);
    ASSERT_EQ(descriptorList.elements.size(), 1u);
    EXPECT_EQ(descriptorList.elements[0].elements[0], E::u8(0x22));
    EXPECT_EQ(descriptorList.elements[0].elements[1].text.size(), 101u);
}

TEST(HIDRecord, TheXmlFormCarriesTheSameValues) {
    std::string xml = sdpRecordXML(HIDRecord::record());
    EXPECT_THAT(xml, testing::HasSubstr("<attribute id=\"0x0100\">\n    <text value=\"Pokescope Keyboard\" />"));
    EXPECT_THAT(xml, testing::HasSubstr("<text encoding=\"hex\" value=\"05010906a101850105"));
    EXPECT_THAT(xml, testing::HasSubstr("<uint16 value=\"0x0c80\" />"));
    EXPECT_THAT(xml, testing::HasSubstr("<uint8 value=\"0xc0\" />"));
    EXPECT_THAT(xml, testing::HasSubstr("<boolean value=\"true\" />"));
    EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n') > 18, true);
    EXPECT_EQ(xml.find("<attribute"), xml.find("<attribute id=\"0x0001\">"));
}

// The common reports' bytes are checked where they reach the interrupt channel (BluetoothHIDTest).
TEST(HIDReports, KeyboardAndPointerBytesAtTheirLimits) {
    auto seven = HIDReports::keyboard(0, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(std::vector<std::uint8_t>(seven.begin() + 4, seven.end()), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    auto release = HIDReports::keyboard(0, {});
    EXPECT_EQ(std::vector<std::uint8_t>(release.begin(), release.end()),
              (std::vector<std::uint8_t>{0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    auto far = HIDReports::pointer(0, 400, -400);
    EXPECT_EQ(far[3], 0x7F);
    EXPECT_EQ(far[4], 0x81); // -127, never -128
}
