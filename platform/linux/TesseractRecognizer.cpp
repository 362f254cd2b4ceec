#include "platform/linux/TesseractRecognizer.hpp"

#include "platform/linux/TesseractFragments.hpp"
#include "platform/linux/TesseractPrepare.hpp"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

namespace {

// Phone text at 3× reads best at half size; four bands keep both threads busy to the end of a frame.
constexpr int kReduction = 2;
constexpr int kBands = 4;
constexpr int kResolution = 150;

// Debian's engine runs its networks on four OpenMP threads by default, several times slower on a busy
// two-core machine than one thread; a nesting limit of zero keeps every parallel region on the caller.
void keepOpenMPOnThisThread() {
    using SetLevels = void (*)(int);
    if (auto set = reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels")))
        set(0);
}

// One initialised engine, kept for the life of its thread because loading the model takes longer than
// reading a frame.
class Engine {
public:
    Engine() {
        keepOpenMPOnThisThread();
        // No dictionaries: text is read as it is drawn, without language correction.
        std::vector<std::string> names{"load_system_dawg", "load_freq_dawg",    "load_punc_dawg",
                                       "load_number_dawg", "load_unambig_dawg", "load_bigram_dawg"};
        std::vector<std::string> values(names.size(), "0");
        if (api_.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) != 0)
            throw TextRecognitionError("cannot load the English text recognition model");
        api_.SetPageSegMode(tesseract::PSM_SPARSE_TEXT);
        api_.SetVariable("debug_file", "/dev/null");
        // Light text on dark grounds is turned dark on light before the engine sees it.
        api_.SetVariable("tessedit_do_invert", "0");
    }
    ~Engine() { api_.End(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    static Engine& forThisThread() {
        thread_local std::optional<Engine> engine;
        if (!engine)
            engine.emplace();
        return *engine;
    }

    // The words in rows [band.top, band.bottom) of `grey`, boxed in the frame's pixels.
    std::vector<ocr::Word> read(const Image& grey, const ocr::Band& band, int factor, double unit) {
        api_.SetImage(grey.row(band.top), grey.width(), band.bottom - band.top, 1, grey.stride());
        api_.SetSourceResolution(kResolution);
        if (api_.Recognize(nullptr) != 0) {
            api_.Clear();
            throw TextRecognitionError("the text recognition engine failed");
        }
        std::vector<ocr::Word> words;
        std::unique_ptr<tesseract::ResultIterator> it(api_.GetIterator());
        if (!it || it->Empty(tesseract::RIL_SYMBOL)) {
            api_.Clear();
            return words;
        }
        // Symbol by symbol, so that letters the engine took for one word across a wide gap (the keys of
        // the on-screen keyboard) come apart; a real word never has a gap as wide as its letters are tall.
        // A bar at either end of a word is the caret of a text field: it is no part of the word, and the
        // engine's doubt about the word it made with the bar is no doubt about the letters, so such a word
        // is judged by its least sure letter instead.
        ocr::Word piece;
        float confidence = 0, leastLetter = 100;
        bool barAtStart = false, barPending = false;
        ocr::Word bar;
        auto add = [&](const std::string& symbol, int left, int top, int right, int bottom) {
            if (piece.text.empty())
                piece = {"", left, top, 0, 0, confidence};
            piece.text += symbol;
            const int r = std::max(piece.x + piece.width, right), b = std::max(piece.y + piece.height, bottom);
            piece.x = std::min(piece.x, left), piece.y = std::min(piece.y, top);
            piece.width = r - piece.x, piece.height = b - piece.y;
        };
        auto flush = [&] {
            if ((barAtStart || barPending) && !piece.text.empty())
                piece.confidence = leastLetter;
            barAtStart = barPending = false;
            leastLetter = 100;
            if (!piece.text.empty() && !ocr::isJunk(piece, unit) &&
                !ocr::isStatusGlyph(piece, grey.height() * factor))
                words.push_back(std::move(piece));
            piece = {};
        };
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_WORD)) {
                flush();
                confidence = it->Confidence(tesseract::RIL_WORD);
            }
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_SYMBOL));
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!text || !it->BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom))
                continue;
            if (ocr::isGlyphLetter(text.get(), right - left, bottom - top))
                continue;
            left *= factor, right *= factor;
            top = (top + band.top) * factor, bottom = (bottom + band.top) * factor;
            if (!piece.text.empty() &&
                left - (piece.x + piece.width) > 4 * std::max(piece.height, bottom - top) / 5)
                flush();
            // A dash standing alone between words that is as tall as it is wide is a middle dot.
            const bool alone = it->IsAtBeginningOf(tesseract::RIL_WORD) &&
                               it->IsAtFinalElement(tesseract::RIL_WORD, tesseract::RIL_SYMBOL);
            const std::string symbol =
                alone && ocr::isMiddleDot(text.get(), right - left, bottom - top) ? "·" : text.get();
            if (symbol == "|") {
                if (piece.text.empty() && !barPending) {
                    barAtStart = true;
                } else {
                    if (barPending)
                        add("|", bar.x, bar.y, bar.x + bar.width, bar.y + bar.height);
                    barPending = true;
                    bar = {"|", left, top, right - left, bottom - top, 0};
                }
                continue;
            }
            if (barPending) {
                // A bar between letters belongs to the word.
                add("|", bar.x, bar.y, bar.x + bar.width, bar.y + bar.height);
                barPending = false;
            }
            leastLetter = std::min(leastLetter, it->Confidence(tesseract::RIL_SYMBOL));
            add(symbol, left, top, right, bottom);
        } while (it->Next(tesseract::RIL_SYMBOL));
        flush();
        api_.Clear();
        return words;
    }

private:
    tesseract::TessBaseAPI api_;
};

} // namespace

struct TesseractRecognizer::Job {
    Image grey;
    int factor = 1;
    double unit = 1; // the frame's pixels per pixel of a 3× phone's picture
    std::vector<ocr::Band> bands;
    std::vector<std::vector<ocr::Word>> words;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t finished = 0;
    std::exception_ptr error;
};

// Loading the engines here, before this object is complete, also makes the engine library's own caches
// outlive the helper's engine at exit; a failure shows again, and is reported, at the first frame.
TesseractRecognizer::TesseractRecognizer() {
    // The engine's layout analysis reports a box it clips at the picture's border (a page's thin edge along
    // a band's side, mid-transition) as an error of its image library, on this process's standard error,
    // and reads on: nothing a user of this computer should see in the terminal, or could act on.
    setMsgSeverity(L_SEVERITY_NONE);
    const auto load = [] {
        try {
            Engine::forThisThread();
        } catch (const TextRecognitionError&) {
        }
    };
    load();
    helper_.sync(load);
}
TesseractRecognizer::~TesseractRecognizer() = default;

std::shared_ptr<TextRecognizer> TextRecognizer::system() { return std::make_shared<TesseractRecognizer>(); }

void TesseractRecognizer::work(Job& job) {
    for (std::size_t i = job.next++; i < job.bands.size(); i = job.next++) {
        std::vector<ocr::Word> words;
        std::exception_ptr error;
        try {
            words = Engine::forThisThread().read(job.grey, job.bands[i], job.factor, job.unit);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(job.mutex);
        job.words[i] = std::move(words);
        if (error && !job.error)
            job.error = error;
        ++job.finished;
        job.changed.notify_all();
    }
}

std::vector<RecognizedText> TesseractRecognizer::recognize(const Image& frame) {
    if (frame.format() != Image::Format::bgra || frame.empty())
        throw TextRecognitionError("the frame is not a BGRA image");
    auto job = std::make_shared<Job>();
    // A 3× phone's picture is read at half size; a smaller one (a 2× phone, an adapter's picture) whole,
    // so that its letters stay as large as the engine reads best.
    job->unit = ocr::frameUnit(frame.width(), frame.height());
    job->factor = job->unit >= 0.85 ? kReduction : 1;
    job->grey = ocr::preparedGrey(frame, job->factor, job->unit);
    job->bands = ocr::bands(job->grey, kBands);
    job->words.resize(job->bands.size());
    if (job->bands.size() > 1)
        helper_.async([job] { work(*job); });
    work(*job);
    {
        std::unique_lock lock(job->mutex);
        job->changed.wait(lock, [&] { return job->finished == job->bands.size(); });
        if (job->error)
            std::rethrow_exception(job->error);
    }
    std::vector<ocr::Word> all;
    for (auto& band : job->words)
        all.insert(all.end(), std::make_move_iterator(band.begin()), std::make_move_iterator(band.end()));
    return ocr::fragments(std::move(all));
}

} // namespace pokescope
