// Text recognition on a captured frame: the text of each line fragment with its box.
//
// Thread contract: `recognize` may be called from any thread, also by several threads at once.
#pragma once

#include "platform/Image.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

// Words on one row with no wide gap between them (a settings row's label and its value are two
// fragments), boxed in pixels of the frame with the origin at the top left.
struct RecognizedText {
    std::string text;
    double x = 0, y = 0, width = 0, height = 0;
    // The words of a text of several, each with its box, where the recogniser tells them.
    std::vector<RecognizedText> words{};
};

class TextRecognitionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;
    // The fragments found in a BGRA frame, in the recogniser's order; throws TextRecognitionError when
    // the recogniser cannot run or the frame is not a non-empty BGRA image.
    virtual std::vector<RecognizedText> recognize(const Image& frame) = 0;

    // This computer's recogniser.
    static std::shared_ptr<TextRecognizer> system();
};

} // namespace pokescope
