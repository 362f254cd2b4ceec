#include "platform/VideoCodec.hpp"

#include "platform/linux/FFmpegHandles.hpp"
#include "platform/linux/FFmpegInput.hpp"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace pokescope {

namespace nal {

bool isKeyframe(const std::vector<NalUnit>& accessUnit) {
    return std::any_of(accessUnit.begin(), accessUnit.end(),
                       [](const NalUnit& unit) { return type(unit) == kIdrSlice; });
}

} // namespace nal

namespace {

using ffmpeg::CodecPtr;
using ffmpeg::errorText;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;
using SwsPtr = std::unique_ptr<SwsContext, ffmpeg::SwsFree>;
using DictionaryPtr = std::unique_ptr<AVDictionary, ffmpeg::DictionaryFree>;
using Kind = VideoCodecError::Kind;

constexpr int kMaxSide = 4096;
constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

std::string size(int width, int height) {
    return std::to_string(width) + " × " + std::to_string(height);
}

// The NAL units of an Annex B byte stream, without their start codes. A unit never ends in a zero byte
// (its last byte holds the stop bit), so zeros before a start code belong to the start code.
std::vector<NalUnit> splitAnnexB(const std::uint8_t* data, std::size_t size) {
    std::vector<NalUnit> units;
    std::size_t i = 0;
    std::optional<std::size_t> begin;
    auto finish = [&](std::size_t end) {
        if (!begin)
            return;
        while (end > *begin && data[end - 1] == 0)
            --end;
        if (end > *begin)
            units.emplace_back(data + *begin, data + end);
    };
    while (i + 2 < size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            finish(i);
            i += 3;
            begin = i;
        } else {
            ++i;
        }
    }
    finish(size);
    return units;
}

// What makes a unit impossible to frame or decode, checked before the decoder sees it; empty when fine.
std::string unitFault(const NalUnit& unit) {
    if (unit.empty())
        return "an empty NAL unit";
    if (unit[0] & 0x80)
        return "a NAL unit with its forbidden bit set";
    // Emulation prevention keeps 00 00 00, 00 00 01 and 00 00 02 out of every unit.
    for (std::size_t i = 0; i + 2 < unit.size(); ++i)
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] <= 2)
            return "a NAL unit with a start code inside it";
    return {};
}

PacketPtr annexBPacket(const std::vector<NalUnit>& units) {
    std::size_t total = 0;
    for (const auto& unit : units)
        total += sizeof kStartCode + unit.size();
    PacketPtr packet(av_packet_alloc());
    if (!packet || total > static_cast<std::size_t>(INT32_MAX) ||
        av_new_packet(packet.get(), static_cast<int>(total)) < 0)
        throw VideoCodecError(Kind::failed, "out of memory for an H.264 access unit");
    std::uint8_t* out = packet->data;
    for (const auto& unit : units) {
        std::memcpy(out, kStartCode, sizeof kStartCode);
        std::memcpy(out + sizeof kStartCode, unit.data(), unit.size());
        out += sizeof kStartCode + unit.size();
    }
    return packet;
}

// ---------------------------------------------------------------------------------------------------

class FFmpegH264Encoder final : public H264Encoder {
public:
    FFmpegH264Encoder(int width, int height) : width_(width), height_(height) {
        if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide)
            throw VideoCodecError(Kind::badInput, "an H.264 picture must be 2 to " +
                                                      std::to_string(kMaxSide) + " pixels a side, not " +
                                                      size(width, height));
        codedWidth_ = (width + 1) & ~1;
        codedHeight_ = (height + 1) & ~1;
        openEncoder();
        openScaler();
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    int codedWidth() const override { return codedWidth_; }
    int codedHeight() const override { return codedHeight_; }
    const ParameterSets& parameterSets() const override { return sets_; }

    std::vector<NalUnit> encode(const Image& image, bool forceKeyframe) override {
        if (image.format() != Image::Format::bgra || image.width() != width_ || image.height() != height_)
            throw VideoCodecError(Kind::badInput, "the encoder takes BGRA pictures of " +
                                                      size(width_, height_) + ", not a picture of " +
                                                      size(image.width(), image.height()));
        fill(image);
        picture_->pts = pts_++;
        // Without forced-idr an I picture asked for here could be a plain I, which a decoder joining the
        // stream cannot start from.
        picture_->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        int rc = avcodec_send_frame(context_.get(), picture_.get());
        if (rc < 0)
            throw VideoCodecError(Kind::failed, "the H.264 encoder failed: " + errorText(rc));
        std::vector<NalUnit> units;
        while ((rc = avcodec_receive_packet(context_.get(), packet_.get())) == 0) {
            for (auto& unit : splitAnnexB(packet_->data, static_cast<std::size_t>(packet_->size)))
                if (nal::type(unit) != nal::kSps && nal::type(unit) != nal::kPps)
                    units.push_back(std::move(unit));
            av_packet_unref(packet_.get());
        }
        if (rc != AVERROR(EAGAIN))
            throw VideoCodecError(Kind::failed, "the H.264 encoder failed: " + errorText(rc));
        if (units.empty())
            throw VideoCodecError(Kind::failed, "the H.264 encoder held a picture back");
        return units;
    }

private:
    void openEncoder() {
        const AVCodec* codec = ffmpeg::findX264();
        if (!codec)
            throw VideoCodecError(Kind::unavailable, "the H.264 encoder (libx264) is not available");
        context_.reset(avcodec_alloc_context3(codec));
        picture_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !picture_ || !packet_)
            throw VideoCodecError(Kind::failed, "out of memory for the H.264 encoder");
        AVCodecContext& c = *context_;
        c.width = codedWidth_;
        c.height = codedHeight_;
        c.pix_fmt = AV_PIX_FMT_YUV420P;
        c.time_base = AVRational{1, 60};
        c.framerate = AVRational{60, 1};
        // A screen mostly stands still: keyframes come when asked for, and a long backstop interval.
        c.gop_size = 600;
        c.max_b_frames = 0;
        // x264 chooses its thread count; zero latency makes them slice threads, so no frame is held.
        c.thread_count = 0;
        c.color_primaries = AVCOL_PRI_BT709;
        c.color_trc = AVCOL_TRC_BT709;
        c.colorspace = AVCOL_SPC_BT709;
        c.color_range = AVCOL_RANGE_MPEG;
        // The parameter sets travel in the format description, not in every keyframe.
        c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* raw = nullptr;
        av_dict_set(&raw, "preset", "superfast", 0);
        av_dict_set(&raw, "tune", "zerolatency", 0);
        av_dict_set(&raw, "crf", "20", 0);
        av_dict_set(&raw, "forced-idr", "1", 0);
        av_dict_set(&raw, "x264-params", "log=0", 0);
        int rc = avcodec_open2(context_.get(), codec, &raw);
        DictionaryPtr unused(raw);
        if (rc < 0)
            throw VideoCodecError(Kind::unavailable, "can't open the H.264 encoder for " +
                                                         size(codedWidth_, codedHeight_) + ": " +
                                                         errorText(rc));
        for (auto& unit : splitAnnexB(c.extradata, static_cast<std::size_t>(std::max(c.extradata_size, 0)))) {
            if (nal::type(unit) == nal::kSps && sets_.sps.empty())
                sets_.sps = std::move(unit);
            else if (nal::type(unit) == nal::kPps && sets_.pps.empty())
                sets_.pps = std::move(unit);
        }
        if (sets_.sps.empty() || sets_.pps.empty())
            throw VideoCodecError(Kind::unavailable, "the H.264 encoder gave no parameter sets");

        picture_->format = AV_PIX_FMT_YUV420P;
        picture_->width = codedWidth_;
        picture_->height = codedHeight_;
        if (av_frame_get_buffer(picture_.get(), 0) < 0)
            throw VideoCodecError(Kind::failed, "out of memory for the H.264 encoder's picture");
    }

    void openScaler() {
        // BT.709 in limited range, as the stream is tagged. The whole coded picture is converted: an odd
        // side is padded in BGRA first, because libswscale's colour halving reads a pixel beyond an odd
        // row's end.
        scaler_.reset(sws_getContext(codedWidth_, codedHeight_, AV_PIX_FMT_BGRA, codedWidth_, codedHeight_,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr,
                                     nullptr));
        if (!scaler_)
            throw VideoCodecError(Kind::unavailable, "can't convert " + size(width_, height_) +
                                                         " pictures for the H.264 encoder");
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        if (codedWidth_ != width_ || codedHeight_ != height_)
            padded_ = Image(codedWidth_, codedHeight_, Image::Format::bgra);
    }

    // The picture at the coded size, its last column and row repeated into the padding.
    const Image& withPadding(const Image& image) {
        if (padded_.empty())
            return image;
        const std::size_t rowBytes = static_cast<std::size_t>(width_) * 4;
        for (int y = 0; y < codedHeight_; ++y) {
            std::uint8_t* target = padded_.row(y);
            std::memcpy(target, image.row(std::min(y, height_ - 1)), rowBytes);
            for (int x = width_; x < codedWidth_; ++x)
                std::memcpy(target + x * 4, target + (width_ - 1) * 4, 4);
        }
        return padded_;
    }

    void fill(const Image& image) {
        // The encoder may still hold the last picture; a shared one is replaced, not overwritten.
        if (av_frame_make_writable(picture_.get()) < 0)
            throw VideoCodecError(Kind::failed, "out of memory for the H.264 encoder's picture");
        const Image& source = withPadding(image);
        const std::uint8_t* planes[1] = {source.data()};
        const int strides[1] = {source.stride()};
        if (sws_scale(scaler_.get(), planes, strides, 0, codedHeight_, picture_->data, picture_->linesize) !=
            codedHeight_)
            throw VideoCodecError(Kind::failed, "can't convert the picture for the H.264 encoder");
    }

    int width_, height_;
    int codedWidth_ = 0, codedHeight_ = 0;
    CodecPtr context_;
    FramePtr picture_;
    PacketPtr packet_;
    SwsPtr scaler_;
    Image padded_;
    ParameterSets sets_;
    std::int64_t pts_ = 0;
};

// ---------------------------------------------------------------------------------------------------

class FFmpegH264Decoder final : public H264Decoder {
public:
    FFmpegH264Decoder(const NalUnit& sps, const NalUnit& pps, int width, int height)
        : width_(width), height_(height) {
        if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
            throw VideoCodecError(Kind::badInput, "an H.264 picture must be 1 to " +
                                                      std::to_string(kMaxSide) + " pixels a side, not " +
                                                      size(width, height));
        if (nal::type(sps) != nal::kSps || !unitFault(sps).empty())
            throw VideoCodecError(Kind::badInput, "the H.264 sequence parameter set is not one (NAL type 7)");
        if (nal::type(pps) != nal::kPps || !unitFault(pps).empty())
            throw VideoCodecError(Kind::badInput, "the H.264 picture parameter set is not one (NAL type 8)");
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (!codec)
            throw VideoCodecError(Kind::unavailable, "the H.264 decoder is not available");
        context_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        if (!context_ || !frame_)
            throw VideoCodecError(Kind::failed, "out of memory for the H.264 decoder");
        PacketPtr sets = annexBPacket({sps, pps});
        context_->extradata =
            static_cast<std::uint8_t*>(av_mallocz(sets->size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context_->extradata)
            throw VideoCodecError(Kind::failed, "out of memory for the H.264 decoder");
        std::memcpy(context_->extradata, sets->data, static_cast<std::size_t>(sets->size));
        context_->extradata_size = sets->size;
        // Each picture comes out of the access unit that completes it: no reordering delay, and one
        // thread. Frame threads hold a picture per thread; with slice threads the decoder neither reports
        // nor flags a damaged slice.
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        context_->thread_count = 1;
        // Damage is reported, not concealed into a picture that looks plausible.
        context_->err_recognition |= AV_EF_EXPLODE;
        int rc = avcodec_open2(context_.get(), codec, nullptr);
        if (rc < 0)
            throw VideoCodecError(Kind::unavailable, "can't open the H.264 decoder: " + errorText(rc));
    }

    std::optional<Image> decode(const std::vector<NalUnit>& accessUnit) override {
        if (accessUnit.empty())
            throw VideoCodecError(Kind::damaged, "the H.264 access unit holds no NAL units");
        for (const auto& unit : accessUnit)
            if (auto fault = unitFault(unit); !fault.empty())
                throw VideoCodecError(Kind::damaged, "the H.264 access unit holds " + fault);
        PacketPtr packet = annexBPacket(accessUnit);
        int rc = avcodec_send_packet(context_.get(), packet.get());
        if (rc < 0) {
            drain();
            throw VideoCodecError(Kind::damaged, "the H.264 access unit can't be decoded: " + errorText(rc));
        }
        std::optional<Image> picture;
        while ((rc = avcodec_receive_frame(context_.get(), frame_.get())) == 0) {
            bool corrupt = frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
            if (corrupt) {
                av_frame_unref(frame_.get());
                drain();
                throw VideoCodecError(Kind::damaged, "the H.264 picture was damaged");
            }
            picture = convert(*frame_);
            av_frame_unref(frame_.get());
        }
        if (rc != AVERROR(EAGAIN))
            throw VideoCodecError(Kind::damaged, "the H.264 decoder failed: " + errorText(rc));
        return picture;
    }

private:
    // Leaves nothing of a damaged unit behind for the next call.
    void drain() {
        while (avcodec_receive_frame(context_.get(), frame_.get()) == 0)
            av_frame_unref(frame_.get());
    }

    struct Key {
        int width = 0, height = 0, format = -1, matrix = 0;
        bool fullRange = false;
        bool operator==(const Key&) const = default;
    };

    Image convert(const AVFrame& frame) {
        if (frame.width < width_ || frame.height < height_)
            throw VideoCodecError(Kind::damaged, "the H.264 picture is " + size(frame.width, frame.height) +
                                                     ", smaller than the " + size(width_, height_) +
                                                     " expected");
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        auto format = static_cast<AVPixelFormat>(frame.format);
        // The JPEG ("J") formats are the plain ones at full range; libswscale wants them said that way.
        if (format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P) {
            fullRange = true;
            format = format == AV_PIX_FMT_YUVJ420P   ? AV_PIX_FMT_YUV420P
                     : format == AV_PIX_FMT_YUVJ422P ? AV_PIX_FMT_YUV422P
                                                     : AV_PIX_FMT_YUV444P;
        }
        // Phones' pictures are HD: BT.709 unless the stream says it is one of the SD matrices.
        int matrix = SWS_CS_ITU709;
        if (frame.colorspace == AVCOL_SPC_BT470BG || frame.colorspace == AVCOL_SPC_SMPTE170M)
            matrix = SWS_CS_ITU601;
        Key key{frame.width, frame.height, format, matrix, fullRange};
        if (!scaler_ || !(key == key_)) {
            // Converting only the top left width × height crops the padding away.
            scaler_.reset(sws_getContext(width_, height_, format, width_, height_, AV_PIX_FMT_BGRA,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr));
            if (!scaler_)
                throw VideoCodecError(Kind::failed, "can't convert the decoded H.264 picture to BGRA");
            sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(matrix), fullRange ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            key_ = key;
        }
        // libswscale's fast YUV-to-RGB path writes whole blocks of 16 pixels, past the end of a row whose
        // width is not a multiple of 16 (a phone's 1179 is not), and so past the last row. It is ten times
        // faster than the exact path that avoids it, so it writes into rows with room to spare, and the
        // rows are copied out.
        const int scratchStride = (width_ * 4 + 63) / 64 * 64 + 64;
        scratch_.resize(static_cast<std::size_t>(scratchStride) * (height_ + 1));
        std::uint8_t* planes[4] = {scratch_.data(), nullptr, nullptr, nullptr};
        int strides[4] = {scratchStride, 0, 0, 0};
        if (sws_scale(scaler_.get(), frame.data, frame.linesize, 0, height_, planes, strides) != height_)
            throw VideoCodecError(Kind::failed, "can't convert the decoded H.264 picture to BGRA");
        Image image(width_, height_, Image::Format::bgra);
        const std::size_t rowBytes = static_cast<std::size_t>(width_) * 4;
        for (int y = 0; y < height_; ++y)
            std::memcpy(image.row(y), scratch_.data() + static_cast<std::size_t>(y) * scratchStride,
                        rowBytes);
        return image;
    }

    int width_, height_;
    CodecPtr context_;
    FramePtr frame_;
    SwsPtr scaler_;
    Key key_;
    std::vector<std::uint8_t> scratch_;
};

} // namespace

std::unique_ptr<H264Encoder> H264Encoder::create(int width, int height) {
    return std::make_unique<FFmpegH264Encoder>(width, height);
}

std::unique_ptr<H264Decoder> H264Decoder::create(const NalUnit& sps, const NalUnit& pps, int width,
                                                 int height) {
    return std::make_unique<FFmpegH264Decoder>(sps, pps, width, height);
}

} // namespace pokescope
