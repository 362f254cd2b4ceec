// The text recogniser on Tesseract's LSTM engine (English), set up for phone screens: sparse text, a grey
// image reduced to the scale the engine reads best, one engine per thread limited to that thread, and the
// frame read in bands on this thread and a helper thread at once.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/TextRecognition.hpp"

#include <memory>

namespace pokescope {

class TesseractRecognizer final : public TextRecognizer {
public:
    TesseractRecognizer();
    ~TesseractRecognizer() override;

    std::vector<RecognizedText> recognize(const Image& frame) override;

private:
    // Reads the bands not yet taken by another thread; shared with the helper, which may start late.
    struct Job;
    static void work(Job& job);

    DispatchQueue helper_{"pokescope.ocr"};
};

} // namespace pokescope
