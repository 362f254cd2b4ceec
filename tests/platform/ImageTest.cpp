#include "platform/Image.hpp"

#include <gtest/gtest.h>

using namespace pokescope;

namespace {

std::shared_ptr<Image> solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    auto image = std::make_shared<Image>(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = image->row(y) + x * 4;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
    return image;
}

} // namespace

// Images narrow enough are kept as they are; wider ones are scaled to the width with the height rounded half away
// from zero; there is nothing to scale in no image or an empty one.
TEST(ImageScaled, KeepsNarrowImagesAndRoundsTheHeightHalfAwayFromZero) {
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
        EXPECT_EQ(out->width(), c.maxWidth);
        EXPECT_EQ(out->height(), c.expectedHeight) << c.width << "x" << c.height;
        EXPECT_EQ(out->format(), Image::Format::rgb);
        // A flat colour stays that colour, channel order turned into RGB.
        EXPECT_NEAR(out->row(0)[0], 30, 1);
        EXPECT_NEAR(out->row(0)[2], 10, 1);
    }
}

TEST(ImageEncoding, JpegAndPngDecodeBackToTheSamePictureAndBadInputIsRefused) {
    auto image = solid(64, 48, 200, 100, 50);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x) {
            auto* p = image->row(y) + x * 4;
            p[0] = p[1] = p[2] = 255;
        }
    auto png = encoded(*image, ImageType::png, 1.0);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->substr(1, 3), "PNG");
    auto back = decoded(*png);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->width(), 64);
    ASSERT_EQ(back->height(), 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(back->row(y)[x * 4 + c], image->row(y)[x * 4 + c]) << x << "," << y;

    auto jpeg = encoded(*image, ImageType::jpeg, 0.75);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(static_cast<unsigned char>((*jpeg)[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>((*jpeg)[1]), 0xD8);
    auto fromJpeg = decoded(*jpeg);
    ASSERT_TRUE(fromJpeg);
    EXPECT_NEAR(fromJpeg->row(40)[60 * 4 + 2], 50, 6);
    EXPECT_NEAR(fromJpeg->row(5)[5 * 4], 255, 6);
    // Lower quality makes smaller files.
    EXPECT_LT(encoded(*image, ImageType::jpeg, 0.1)->size(), jpeg->size());

    // Bad input is refused, not crashed on.
    EXPECT_FALSE(encoded(Image(), ImageType::jpeg, 0.75));
    EXPECT_FALSE(decoded(""));
    EXPECT_FALSE(decoded("\xFF\xD8 not really a jpeg"));
    EXPECT_FALSE(decoded("\x89PNG\r\n\x1a\n truncated"));
}

TEST(ImageCrop, CopiesTheRectangleAndRefusesOneOutsideAndResizeGivesTheAskedSize) {
    auto image = solid(10, 10, 0, 0, 0);
    image->row(3)[4 * 4 + 1] = 77;
    Image part = cropped(*image, 4, 3, 2, 2);
    EXPECT_EQ(part.width(), 2);
    EXPECT_EQ(part.row(0)[1], 77);
    EXPECT_THROW(cropped(*image, 9, 9, 2, 2), std::out_of_range);
    EXPECT_THROW(cropped(*image, -1, 0, 2, 2), std::out_of_range);
    // Resizing gives exactly the asked size and format.
    Image grey = resized(*solid(1179, 2556, 255, 255, 255), 300, 650, Image::Format::gray);
    EXPECT_EQ(grey.width(), 300);
    EXPECT_EQ(grey.height(), 650);
    EXPECT_EQ(grey.stride(), 300);
    EXPECT_NEAR(grey.row(100)[100], 255, 1);
}
