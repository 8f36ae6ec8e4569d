#include "framework/stdio_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "support/test_env.h"

namespace {

constexpr UINT kReadText = CStdioFile::modeRead | CStdioFile::typeText | CStdioFile::shareExclusive;

// Every line the file gives, and checks that a read past the end gives none, twice.
std::vector<std::string> ReadAll(const std::string& path) {
    CStdioFile file;
    EXPECT_TRUE(file.Open(path.c_str(), kReadText));
    std::vector<std::string> lines;
    CString line = "stale";
    while (file.ReadString(line)) lines.push_back(line);
    EXPECT_EQ(line, "");
    EXPECT_FALSE(file.ReadString(line));
    return lines;
}

TEST(StdioFile, ReadsLinesInTextMode) {
    const std::string longLine(1 << 20, 'x');
    // A CR LF pair split between two reads of the file's buffer.
    const std::string splitPair = std::string(64 * 1024 - 1, 'y') + "\r\n";
    const struct {
        const char* what;
        std::string content;
        std::vector<std::string> lines;
    } cases[] = {
        {"empty file", "", {}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"CR LF", "Version\r\n12\r\nA\r\n", {"Version", "12", "A"}},
        {"last line without terminator", "a\nb", {"a", "b"}},
        {"lone CR is kept", "a\rb\nc\r", {"a\rb", "c\r"}},
        {"only the CR before LF goes", "a\r\r\n", {"a\r"}},
        {"empty lines", "\n\n", {"", ""}},
        {"blanks stay", "  5 \n", {"  5 "}},
        {"Ctrl-Z in the middle",
         "a\nb\x1A"
         "c\nd\n",
         {"a", "b"}},
        {"Ctrl-Z at a line start",
         "a\n\x1A"
         "b\n",
         {"a"}},
        {"Ctrl-Z first",
         "\x1A"
         "a\n",
         {}},
        {"zero byte", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
        {"1 MB line", longLine, {longLine}},
        {"1 MB line with CR LF", longLine + "\r\nz", {longLine, "z"}},
        {"CR LF across buffers", splitPair + "next", {std::string(64 * 1024 - 1, 'y'), "next"}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const auto path = dir.path() / "lines.txt";
        WriteFile(path, c.content);
        EXPECT_EQ(ReadAll(path.string()), c.lines) << c.what;
    }
}

TEST(StdioFile, OpenFailsForWhatIsNoReadableFile) {
    TempDir dir;
    CStdioFile file;
    EXPECT_FALSE(file.Open((dir.path() / "missing.txt").string().c_str(), kReadText));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Open((dir.path() / "no" / "missing.txt").string().c_str(), kReadText));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // A directory is not a file to read.
    EXPECT_FALSE(file.Open(dir.str().c_str(), kReadText));
}

TEST(StdioFile, CloseAndReopen) {
    TempDir dir;
    WriteFile(dir.path() / "one.txt", "first\nsecond\n");
    WriteFile(dir.path() / "two.txt", "other\n");
    CStdioFile file;
    ASSERT_TRUE(file.Open((dir.path() / "one.txt").string().c_str(), kReadText));
    CString line;
    ASSERT_TRUE(file.ReadString(line));
    // Opening again starts the other file from its beginning, with nothing left over.
    ASSERT_TRUE(file.Open((dir.path() / "two.txt").string().c_str(), kReadText));
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, "other");
    EXPECT_FALSE(file.ReadString(line));
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.ReadString(line));
    file.Close();
}

// A file that opens but cannot be read: the kernel refuses reads of a process's own memory at
// address 0. Only where such a file exists.
TEST(StdioFile, ReadErrorRaisesFileException) {
    CStdioFile file;
    if (!file.Open("/proc/self/mem", kReadText)) GTEST_SKIP() << "no unreadable file here";
    CString line;
    try {
        file.ReadString(line);
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_strFileName, "/proc/self/mem");
        EXPECT_NE(e.m_lOsError, 0u);
    }
}

}  // namespace
