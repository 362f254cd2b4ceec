#include "model/ScreenshotSaving.hpp"

#include "platform/AtomicFile.hpp"
#include "platform/Paths.hpp"

namespace pokescope::ScreenshotSaving {

std::string fileName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "iPhone %Y-%m-%d at %H.%M.%S.png", &local);
    return text;
}

std::optional<Encoded> encode(const ImageRef& image, const std::optional<std::filesystem::path>& chosen) {
    auto png = encoded(*image, ImageType::png, 0.8);
    if (!png)
        return std::nullopt;
    std::filesystem::path folder;
    try {
        folder = chosen ? *chosen : Paths::screenshots();
    } catch (const std::exception&) {
        folder = Paths::home() / "Pictures" / "Pokescope";
    }
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return Encoded{std::move(*png), folder};
}

std::optional<std::filesystem::path> write(const std::filesystem::path& folder, std::time_t when,
                                           const std::string& png, std::string& failure) {
    const std::string name = fileName(when);
    std::filesystem::path file = folder / name;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(file, ec) && n < 1000; ++n)
        file = folder / (name.substr(0, name.size() - 4) + " (" + std::to_string(n) + ").png");
    if (!writeFileAtomically(file, png, failure))
        return std::nullopt;
    return file;
}

} // namespace pokescope::ScreenshotSaving
