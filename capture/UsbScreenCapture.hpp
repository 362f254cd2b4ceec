// Capture straight over the USB cable: a capture backend whose devices are the phones that share their
// screen over USB. Each session runs the screen-sharing protocol (capture/usb) on a link of the USB layer
// (platform/UsbScreen), decodes the phone's H.264 into BGRA frames at the phone's size, one frame per
// decoded picture, and turns its 48 kHz LPCM into sound buffers stamped on the capture clock.
//
// Thread contract: as CaptureBackend. Frames and sound arrive on the link's reading thread.
#pragma once

#include "capture/usb/UsbObjects.hpp"
#include "platform/Capture.hpp"
#include "platform/UsbScreen.hpp"

#include <functional>
#include <memory>

namespace pokescope {

// Pictures from the phone's H.264 access units, for one video format.
class UsbVideoDecoder {
public:
    virtual ~UsbVideoDecoder() = default;
    // The picture of one access unit (raw NAL units), or none while the decoder waits for more; throws
    // std::runtime_error for data it cannot decode.
    virtual ImageRef decode(const std::vector<usbscreen::Bytes>& nalUnits) = 0;
};

class UsbScreenCapture final : public CaptureBackend {
public:
    using DecoderFactory = std::function<std::unique_ptr<UsbVideoDecoder>(const usbscreen::FormatDescription& format)>;

    // `decoders` defaults to the platform's H.264 decoder.
    explicit UsbScreenCapture(std::shared_ptr<UsbScreenHost> host, DecoderFactory decoders = {});

    Permission permission() const override;
    void requestPermission(std::function<void(bool granted)> done) override;
    std::vector<CaptureDeviceInfo> devices() override;
    void setDeviceEvents(DeviceEventHandler handler) override;
    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) override;

    // The model name such a device reports (a phone that streams its own screen).
    static constexpr const char* kModelID = kPhoneStreamModel;

private:
    std::shared_ptr<UsbScreenHost> host_;
    DecoderFactory decoders_;
};

// 16-bit interleaved LPCM as float samples in [-1, 1).
std::vector<float> floatSamples(const usbscreen::Bytes& pcm16);

} // namespace pokescope
