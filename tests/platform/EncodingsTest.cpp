// Pictures scaled, cropped, encoded and decoded (JPEG, PNG, H.264), and text repaired as UTF-8.
#include "platform/Image.hpp"
#include "platform/Utf8.hpp"
#include "platform/VideoCodec.hpp"

#include "tests/support/ImageDifference.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace pokescope;
using pokescope::test::meanError;

namespace {

constexpr int kPhoneWidth = 1179;
constexpr int kPhoneHeight = 2556;
// Measured: the phone-like picture comes back about 1.5 grey levels off on average (the colour planes'
// 4:2:0 halving and the decoder's fast colour conversion lose most; the compression itself under 1).
constexpr double kMeanErrorBound = 3.0;

void fillRect(Image& image, int x0, int y0, int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    for (int y = std::max(0, y0); y < std::min(image.height(), y0 + height); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x0 + width); ++x) {
            std::uint8_t* p = image.row(y) + x * 4;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
}

std::shared_ptr<Image> solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    auto image = std::make_shared<Image>(width, height, Image::Format::bgra);
    fillRect(*image, 0, 0, width, height, b, g, r);
    return image;
}

// Something like a phone's screen: a dark status bar, a soft gradient, rows of glyph-like strokes two and
// three pixels wide, coloured icons with hard edges, and one-pixel separators.
Image phoneLikeScreen(int width, int height) {
    Image image(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.row(y) + x * 4;
            p[0] = std::uint8_t(200 + 40 * y / height), p[1] = std::uint8_t(180 + 50 * x / width);
            p[2] = std::uint8_t(170 + 30 * (x + y) / (width + height)), p[3] = 255;
        }
    fillRect(image, 0, 0, width, 140, 20, 20, 20);
    std::uint32_t seed = 12345;
    for (int row = 0, top = 220; top < height - 60; ++row, top += 150) {
        fillRect(image, 40, top, 110, 110, std::uint8_t(row * 37), std::uint8_t(90 + row * 11), std::uint8_t(250 - row * 13));
        for (int x = 190; x < width - 40; x += 28) {
            seed = seed * 1664525u + 1013904223u;
            const int tall = 20 + static_cast<int>(seed >> 28);
            fillRect(image, x, top + 50 - tall, 3, tall, 30, 30, 30);
            if ((seed >> 20) & 1)
                fillRect(image, x, top + 50 - tall / 2, 16, 2, 30, 30, 30);
            if ((seed >> 21) & 1)
                fillRect(image, x + 14, top + 50 - tall, 2, tall, 30, 30, 30);
        }
        fillRect(image, 190, top + 130, width - 190, 1, 160, 160, 160);
    }
    return image;
}

VideoCodecError::Kind failureKind(const std::function<void()>& action) {
    auto error = test::thrown<VideoCodecError>(action);
    EXPECT_TRUE(!error || *error->what());
    return error ? error->kind : VideoCodecError::Kind::failed;
}

class H264Codec : public testing::Test {
protected:
    void SetUp() override {
        encoder = H264Encoder::create(kPhoneWidth, kPhoneHeight);
        const auto& sets = encoder->parameterSets();
        decoder = H264Decoder::create(sets.sps, sets.pps, kPhoneWidth, kPhoneHeight);
    }
    std::unique_ptr<H264Encoder> encoder;
    std::unique_ptr<H264Decoder> decoder;
    Image screen = phoneLikeScreen(kPhoneWidth, kPhoneHeight);
};

} // namespace

TEST(ImageScaled, ScalingRoundsTheHeightHalfAwayFromZeroEncodingRoundTripsAndCroppingCopiesTheRectangle) {
    ImageRef image = solid(590, 1277, 1, 2, 3);
    EXPECT_EQ(scaled(image, 590), image);
    EXPECT_EQ(scaled(image, 600), image);
    EXPECT_EQ(scaled(nullptr, 590), nullptr);
    EXPECT_EQ(scaled(std::make_shared<Image>(), 590), nullptr);
    struct Case {
        int width, height, maxWidth, expectedHeight;
    } cases[] = {
        {1170, 2532, 590, 1277}, // 1276.8
        {2532, 1170, 590, 273},  // 272.6
        {1179, 2556, 590, 1279}, // 1279.08
        {1179, 2556, 300, 650},  // 650.38
        {3, 3, 2, 2},            // 2.0
        {4, 3, 2, 2},            // 1.5 rounds up
        {5, 1, 2, 1},            // 0.4 would be 0: never below one row
    };
    for (const auto& c : cases) {
        auto out = scaled(solid(c.width, c.height, 10, 20, 30), c.maxWidth);
        ASSERT_TRUE(out) << c.width;
        EXPECT_EQ(std::pair(out->width(), out->height()), std::pair(c.maxWidth, c.expectedHeight))
            << c.width << "x" << c.height;
        EXPECT_EQ(out->format(), Image::Format::rgb);
        // A flat colour stays that colour, channel order turned into RGB.
        EXPECT_NEAR(out->row(0)[0], 30, 1);
        EXPECT_NEAR(out->row(0)[2], 10, 1);
    }

    auto tile = solid(64, 48, 200, 100, 50);
    fillRect(*tile, 0, 0, 32, 24, 255, 255, 255);
    auto png = encoded(*tile, ImageType::png, 1.0);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->substr(1, 3), "PNG");
    auto back = decoded(*png);
    ASSERT_TRUE(back);
    ASSERT_EQ(std::pair(back->width(), back->height()), std::pair(64, 48));
    EXPECT_EQ(test::meanError(*back, *tile), 0.0); // lossless

    auto jpeg = encoded(*tile, ImageType::jpeg, 0.75);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->substr(0, 2), "\xFF\xD8");
    auto fromJpeg = decoded(*jpeg);
    ASSERT_TRUE(fromJpeg);
    EXPECT_NEAR(fromJpeg->row(40)[60 * 4 + 2], 50, 6);
    EXPECT_NEAR(fromJpeg->row(5)[5 * 4], 255, 6);
    EXPECT_LT(encoded(*tile, ImageType::jpeg, 0.1)->size(), jpeg->size());

    EXPECT_FALSE(encoded(Image(), ImageType::jpeg, 0.75));
    EXPECT_FALSE(decoded(""));
    EXPECT_FALSE(decoded("\xFF\xD8 not really a jpeg"));
    EXPECT_FALSE(decoded("\x89PNG\r\n\x1a\n truncated"));

    auto black = solid(10, 10, 0, 0, 0);
    black->row(3)[4 * 4 + 1] = 77;
    Image part = cropped(*black, 4, 3, 2, 2);
    EXPECT_EQ(std::tuple(part.width(), part.row(0)[1]), std::tuple(2, 77));
    EXPECT_THROW(cropped(*black, 9, 9, 2, 2), std::out_of_range);
    EXPECT_THROW(cropped(*black, -1, 0, 2, 2), std::out_of_range);
    Image grey = resized(*solid(1179, 2556, 255, 255, 255), 300, 650, Image::Format::gray);
    EXPECT_EQ(std::tuple(grey.width(), grey.height(), grey.stride()), std::tuple(300, 650, 300));
    EXPECT_NEAR(grey.row(100)[100], 255, 1);
}

TEST(Utf8, AcceptsWellFormedTextRejectsIllFormedSequencesAndSanitizingReplacesEachBadByte) {
    for (std::string text : {"", "plain ascii", "caf\xC3\xA9", "\xE2\x86\x92 arrow", "\xF0\x9F\x98\x80",
                             "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"})
        EXPECT_TRUE(utf8::isValid(text)) << text;
    for (std::string text : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xF5\x80\x80\x80", "\xC3", "abc\xE2\x86", "\xFF"})
        EXPECT_FALSE(utf8::isValid(text)) << testing::PrintToString(text);

    EXPECT_EQ(utf8::sanitized("ok\xFFok"), "ok\xEF\xBF\xBDok");
    EXPECT_EQ(utf8::sanitized("\xC3\xA9\xC3"), "\xC3\xA9\xEF\xBF\xBD");
    EXPECT_EQ(utf8::sanitized("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(utf8::isValid(utf8::sanitized("\x80\x81\xC0\xF5 tail")));
}

// Parameter sets are raw units of their types; each picture is one access unit (keyframes first and on
// request) that decodes on its own: none is held back on either side.
TEST_F(H264Codec, EachPictureIsOneAccessUnitWithKeyframesFirstAndOnRequestAndComesBackWithinEncodingError) {
    const auto& sets = encoder->parameterSets();
    ASSERT_GE(sets.sps.size(), 4U);
    ASSERT_FALSE(sets.pps.empty());
    EXPECT_EQ(std::tuple(nal::type(sets.sps), nal::type(sets.pps)), std::tuple(nal::kSps, nal::kPps));
    EXPECT_EQ(sets.sps[0] & 0x80, 0); // a NAL header, not a start code's zero
    // The odd width is padded.
    EXPECT_EQ(std::tuple(encoder->width(), encoder->height(), encoder->codedWidth(), encoder->codedHeight()),
              std::tuple(kPhoneWidth, kPhoneHeight, 1180, 2556));
    for (int i = 0; i < 4; ++i) {
        fillRect(screen, 300, 300 + i * 40, 200, 20, 0, 0, 255);
        const auto units = encoder->encode(screen, i == 2);
        EXPECT_EQ(nal::isKeyframe(units), i % 2 == 0) << i;
        ASSERT_FALSE(units.empty());
        for (const auto& nalUnit : units) {
            ASSERT_FALSE(nalUnit.empty());
            EXPECT_EQ(nalUnit[0] & 0x80, 0);
            EXPECT_NE(nal::type(nalUnit), nal::kSps);
            EXPECT_NE(nal::type(nalUnit), nal::kPps);
        }
        EXPECT_TRUE(decoder->decode(units).has_value()) << i;
    }

    // (How changes show in the pictures after it, the simulated phone's USB screen tests check.)
    auto picture = decoder->decode(encoder->encode(screen, false));
    ASSERT_TRUE(picture);
    EXPECT_EQ(std::tuple(picture->format(), picture->width(), picture->height()),
              std::tuple(Image::Format::bgra, kPhoneWidth, kPhoneHeight));
    EXPECT_LT(meanError(*picture, screen), kMeanErrorBound);
    // The last column is the picture's own, not the padding's.
    EXPECT_LT(meanError(*picture, screen, kPhoneWidth - 1, 0, 1, kPhoneHeight), kMeanErrorBound);
    EXPECT_EQ(picture->row(kPhoneHeight / 2)[kPhoneWidth * 4 - 1], 255); // opaque
}

TEST(H264CodecSizes, OddWidthAndHeightSurviveTheRoundTripAndWrongPicturesAndParameterSetsAreRefused) {
    auto encoder = H264Encoder::create(101, 77);
    EXPECT_EQ(std::pair(encoder->codedWidth(), encoder->codedHeight()), std::pair(102, 78));
    auto decoder = H264Decoder::create(encoder->parameterSets().sps, encoder->parameterSets().pps, 101, 77);
    Image image = phoneLikeScreen(101, 77);
    fillRect(image, 97, 0, 4, 77, 255, 0, 0);  // distinct last columns
    fillRect(image, 0, 73, 101, 4, 0, 0, 255); // and rows
    auto picture = decoder->decode(encoder->encode(image, false));
    ASSERT_TRUE(picture);
    EXPECT_EQ(std::pair(picture->width(), picture->height()), std::pair(101, 77));
    EXPECT_LT(meanError(*picture, image), 2 * kMeanErrorBound);
    EXPECT_GT(picture->row(40)[100 * 4 + 0], 150); // the blue column stays blue
    EXPECT_GT(picture->row(76)[50 * 4 + 2], 150);  // the red row stays red

    auto even = H264Encoder::create(64, 48);
    EXPECT_EQ(even->codedWidth(), 64); // even sizes are not padded
    const auto& sets = even->parameterSets();
    const std::function<void()> bad[] = {
        [] { H264Encoder::create(0, 100); },
        [] { H264Encoder::create(100, 5000); },
        [&] { even->encode(Image(64, 50, Image::Format::bgra), false); },
        [&] { even->encode(Image(64, 48, Image::Format::rgb), false); },
        [&] { H264Decoder::create(sets.pps, sets.sps, 64, 48); },
        [&] { H264Decoder::create({}, sets.pps, 64, 48); },
        [&] { H264Decoder::create(sets.sps, sets.pps, 0, 48); }};
    for (std::size_t i = 0; i < std::size(bad); ++i)
        EXPECT_EQ(failureKind(bad[i]), VideoCodecError::Kind::badInput) << i;
    // A wide told to deliver more than the stream codes cannot.
    auto wide = H264Decoder::create(sets.sps, sets.pps, 128, 48);
    EXPECT_EQ(failureKind([&] { wide->decode(even->encode(phoneLikeScreen(64, 48), false)); }),
              VideoCodecError::Kind::damaged);
}

TEST_F(H264Codec, DamagedOrLateUnitsAreClearErrorsAndTheNextKeyframeDecodes) {
    auto good = encoder->encode(screen, false);
    fillRect(screen, 0, 600, 500, 100, 0, 0, 0);
    EXPECT_FALSE(decoder->decode(encoder->encode(screen, false)).has_value());
    const NalUnit* slice = nullptr;
    for (const auto& unit : good)
        if (nal::type(unit) == nal::kIdrSlice)
            slice = &unit;
    ASSERT_NE(slice, nullptr);
    ASSERT_GT(slice->size(), 1000U);
    NalUnit forbidden = *slice, withStartCode = *slice, noise(slice->begin(), slice->begin() + 8);
    forbidden[0] |= 0x80;
    withStartCode.insert(withStartCode.begin() + 10, {0, 0, 1});
    // A keyframe's slice header followed by noise.
    std::uint32_t seed = 99;
    for (int i = 0; i < 4000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        noise.push_back(static_cast<std::uint8_t>(seed >> 24) | 0x10);
    }
    // A keyframe cut short.
    std::vector<NalUnit> cut;
    for (const auto& unit : good)
        cut.push_back(&unit == slice ? NalUnit(unit.begin(), unit.begin() + unit.size() / 3) : unit);
    const std::vector<std::vector<NalUnit>> damaged{{}, {NalUnit{}}, {forbidden}, {withStartCode}, {noise}, cut};
    for (std::size_t i = 0; i < damaged.size(); ++i)
        EXPECT_EQ(failureKind([&] { decoder->decode(damaged[i]); }), VideoCodecError::Kind::damaged) << i;

    auto picture = decoder->decode(encoder->encode(screen, true));
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screen), kMeanErrorBound);
}
