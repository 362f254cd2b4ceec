// Whole-file writes: the new contents or the old, a file of this user's only, and nothing written through
// whatever someone else left at the name (a symbolic link, a folder) in a shared folder.
#include "platform/AtomicFile.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path() / "picture.jpg";

    // Everything in the folder, so that a test sees a temporary file left behind.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder.path()))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }
    static mode_t modeOf(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode;
    }
};

} // namespace

TEST_F(AtomicFileTest, WritesOrReplacesAFileThatOnlyThisUserCanReadWhateverTheUmask) {
    std::string failure = "not cleared";
    const mode_t old = ::umask(0277);
    const bool written = writeFileAtomically(file, "first", failure);
    ::umask(old);
    ASSERT_TRUE(written) << failure;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(readFile(file), "first");
    EXPECT_TRUE(S_ISREG(modeOf(file)));
    EXPECT_EQ(modeOf(file) & 07777, 0600u);

    writeFile(file, "old contents that are longer than the new");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(writeFileAtomically(file, "new", failure)) << failure;
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});
}

// Nothing is written through a symbolic link at the name (which is replaced), nor through links planted at
// guessable temporary names.
TEST_F(AtomicFileTest, ASymbolicLinkAtTheNameIsReplacedAndNothingIsWrittenWhereItPoints) {
    const fs::path victim = folder.path() / "victim.txt";
    writeFile(victim, "precious");
    ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
    fs::create_symlink(victim, file);

    std::string failure;
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(modeOf(victim) & 07777, 0644u);
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_TRUE(S_ISREG(modeOf(file)));
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    EXPECT_EQ(readFile(file), "picture");
    EXPECT_EQ(names(), (std::vector<std::string>{"picture.jpg", "victim.txt"}));

    // A dangling one creates nothing where it points.
    const fs::path nowhere = folder.path() / "created-through-the-link";
    fs::remove(file);
    fs::create_symlink(nowhere, file);
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_FALSE(fs::exists(nowhere));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readFile(file), "picture");

    // Links planted at the names a predictable scheme would pick for the temporary file (the process id and a
    // counter) are never written through.
    fs::remove(file);
    for (int counter = 0; counter < 10; ++counter) {
        fs::path planted = file;
        planted += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter);
        fs::create_symlink(victim, planted);
    }
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readFile(file), "picture");
    EXPECT_EQ(names().size(), 12u); // the file, the victim and the ten links, nothing else
}

// A folder at the name, a missing folder or one that cannot be written is a clear failure that leaves nothing.
TEST_F(AtomicFileTest, AFolderAtTheNameOrAMissingOrReadOnlyFolderIsAClearFailure) {
    fs::create_directory(file);
    writeFile(file / "inside.txt", "kept");

    std::string failure;
    EXPECT_FALSE(writeFileAtomically(file, "picture", failure));
    EXPECT_EQ(failure, "Is a directory");
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(readFile(file / "inside.txt"), "kept");
    // No temporary file is left beside it.
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});

    EXPECT_FALSE(writeFileAtomically(folder.path() / "missing" / "settings.json", "{}", failure));
    EXPECT_EQ(failure, "No such file or directory");
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});
    if (::geteuid() == 0)
        return; // the superuser writes into any folder

    // A folder that cannot be written: the old file stays.
    const fs::path old = folder.path() / "old.txt";
    writeFile(old, "old");
    ASSERT_EQ(::chmod(folder.path().c_str(), 0500), 0);
    const bool written = writeFileAtomically(old, "new", failure);
    ::chmod(folder.path().c_str(), 0700);
    EXPECT_FALSE(written);
    EXPECT_EQ(failure, "Permission denied");
    EXPECT_EQ(readFile(old), "old");
    EXPECT_EQ(names(), (std::vector<std::string>{"old.txt", "picture.jpg"}));
}
