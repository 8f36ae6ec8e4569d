#include "engine/dropped_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>

#include "engine/content_cache.h"
#include "fake_run.h"

namespace fs = std::filesystem;

namespace {

engine::ManifestRecord RecordOf(const std::string& content) {
    return {content.size(), *net::Sha256::Of(content)};
}

std::string Line(const std::string& content, const std::string& name) {
    return "dropped " + std::to_string(content.size()) + " " +
           net::HexText(*net::Sha256::Of(content)) + " " + name + "\n";
}

// A removal that fails with the error it is given.
class FailingRemoval : public engine::IFileRemoval {
  public:
    explicit FailingRemoval(DWORD error) : m_error(error) {}
    BOOL RemoveFile(const char*, const char*) override {
        SetLastError(m_error);
        return FALSE;
    }

  private:
    DWORD m_error;
};

// What a product directory holds: "name" to content, "name/" for a directory.
std::map<std::string, std::string> Contents(const fs::path& root) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).generic_string();
        if (entry.is_symlink()) {
            found[name] = "-> link";
        } else if (entry.is_directory()) {
            found[name + "/"] = "";
        } else {
            found[name] = ReadFile(entry.path());
        }
    }
    return found;
}

}  // namespace

TEST(DroppedFiles, ReadsItsOwnTextAndRefusesAnyOther) {
    const engine::DroppedFiles dropped = {
        {"plugins/old.dll", {RecordOf("v1"), RecordOf("version 2")}},
        {"readme.txt", {RecordOf("")}},
    };
    const CString text = engine::DroppedFilesText(dropped);
    const std::optional<engine::DroppedFiles> read = engine::ParseDroppedFiles(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at("plugins/old.dll").size(), 2u);
    EXPECT_EQ(engine::DroppedFilesText(*read), text);
    const std::string record = Line("v1", "a b.dll");
    const struct {
        std::string text;
        bool read;
    } cases[] = {
        {"kestrin-dropped 1\n", true},
        {"kestrin-dropped 1\r\n" + record.substr(0, record.size() - 1) + "\r\n", true},
        {"kestrin-dropped 1\n" + record + Line("v2", "a b.dll"), true},
        {"", false},
        {"kestrin-dropped 1", false},
        {"kestrin-dropped 2\n" + record, false},
        {"kestrin-manifest 1\n" + record, false},
        {"kestrin-dropped 1\n" + record + record, false},
        {"kestrin-dropped 1\n\n", false},
        {"kestrin-dropped 1\nfile 2 " + record.substr(10), false},
        {"kestrin-dropped 1\ndropped 02 " + record.substr(10), false},
        {"kestrin-dropped 1\ndropped 2 " + record.substr(11, 63) + " a\n", false},
        {"kestrin-dropped 1\n" + Line("v1", ""), false},
        {"kestrin-dropped 1\n" + Line("v1", "a\tb"), false},
    };
    for (const auto& c : cases) {
        CString reason;
        EXPECT_EQ(engine::ParseDroppedFiles(c.text, &reason).has_value(), c.read)
            << c.text << reason;
    }
}

TEST(DroppedFiles, TellsTheLineItRefusesAndWhy) {
    const std::string record = Line("v1", "old.dll");
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"kestrin-dropped 1\n" + record.substr(0, 20),
         "line 2: the text does not end with a line feed"},
        {"kestrin-dropped 2\n" + record, "line 1: not \"kestrin-dropped 1\""},
        {"kestrin-dropped 1\nfile " + record.substr(8), "line 2: not \"dropped SIZE SHA256 NAME\""},
        {"kestrin-dropped 1\n" + record + "dropped 2\n",
         "line 3: not \"dropped SIZE SHA256 NAME\""},
        {"kestrin-dropped 1\n" + record + record, "line 3: a record a second time"},
    };
    for (const auto& c : cases) {
        CString reason;
        EXPECT_FALSE(engine::ParseDroppedFiles(c.text, &reason)) << c.text;
        EXPECT_EQ(reason, c.reason) << c.text;
    }
}

// Only a regular file with a recorded content goes, with the directories it leaves empty; any
// other thing at a dropped name stays and is not mentioned.
TEST(DroppedFiles, RemovesOnlyWhatThePublisherPublished) {
    const std::string v1 = "plug-in, first release";
    const std::string v2 = "plug-in, second release";
    const engine::DroppedFiles dropped = {
        {"plugins/old.dll", {RecordOf(v1), RecordOf(v2)}},
        {"Data.dat", {RecordOf(v1)}},
        {"deep/er/gone.txt", {RecordOf(v1)}},
        {"../outside.txt", {RecordOf(v1)}},
    };
    const struct {
        const char* what;
        std::map<std::string, std::string> before;
        DWORD error;  // the removal's failure; none: the program's removal
        std::map<std::string, std::string> after;
        std::vector<std::string> lines;
    } cases[] = {
        {"an earlier content, its directory left empty",
         {{"plugins/old.dll", v1}, {"deep/er/gone.txt", v2}},
         ERROR_SUCCESS,
         {{"deep/", ""}, {"deep/er/", ""}, {"deep/er/gone.txt", v2}},
         {"status: Removed...plugins/old.dll"}},
        {"the last content, its directory holding another file",
         {{"plugins/old.dll", v2}, {"plugins/mine.dll", "mine"}, {"deep/er/gone.txt", v1}},
         ERROR_SUCCESS,
         {{"plugins/", ""}, {"plugins/mine.dll", "mine"}},
         {"status: Removed...deep/er/gone.txt", "status: Removed...plugins/old.dll"}},
        {"changed by the user, same size",
         {{"plugins/old.dll", std::string(v1).replace(0, 1, "P")}},
         ERROR_SUCCESS,
         {{"plugins/", ""}, {"plugins/old.dll", std::string(v1).replace(0, 1, "P")}},
         {}},
        {"a directory at the name",
         {{"plugins/old.dll/x", v1}},
         ERROR_SUCCESS,
         {{"plugins/", ""}, {"plugins/old.dll/", ""}, {"plugins/old.dll/x", v1}},
         {}},
        {"a name still listed, in other case and separators",
         {{"Data.dat", v1}},
         ERROR_SUCCESS,
         {{"Data.dat", v1}},
         {}},
        {"a removal that fails",
         {{"plugins/old.dll", v1}},
         ERROR_ACCESS_DENIED,
         {{"plugins/", ""}, {"plugins/old.dll", v1}},
         {"status: Failed...plugins/old.dll"}},
        {"a link on the way",
         {{"plugins/old.dll", v1}},
         ERROR_CANT_RESOLVE_FILENAME,
         {{"plugins/", ""}, {"plugins/old.dll", v1}},
         {}},
    };
    for (const auto& c : cases) {
        TempDir install;
        const fs::path product = install.path() / "Pelmora";
        fs::create_directories(product);
        for (const auto& [name, content] : c.before) WriteFile(product / name, content);
        WriteFile(install.path() / "outside.txt", v1);
        engine::ContentCache cache("", "");
        FakeRun view;
        FailingRemoval failing(c.error);
        engine::RemoveDropped((product / "").string(), dropped, {engine::NameKey("data.DAT")},
                              cache, view,
                              c.error == ERROR_SUCCESS ? engine::LandingRemoval() : failing);
        EXPECT_EQ(Contents(product), c.after) << c.what;
        EXPECT_EQ(view.log, c.lines) << c.what;
        EXPECT_TRUE(fs::exists(install.path() / "outside.txt")) << c.what;
    }
}

// The program's removal walks no link below the product directory, removes none in a file's
// stead, and takes the directories a removal left empty up to the product directory only.
TEST(DroppedFiles, TheProgramsRemovalKeepsToTheProductDirectory) {
    const std::string v1 = "plug-in, first release";
    const engine::DroppedFiles dropped = {{"plugins/old.dll", {RecordOf(v1)}},
                                          {"a/b/gone.dll", {RecordOf(v1)}},
                                          {"link.dll", {RecordOf(v1)}}};
    TempDir install;
    const fs::path product = install.path() / "Pelmora";
    const fs::path outside = install.path() / "outside";
    WriteFile(outside / "old.dll", v1);
    WriteFile(product / "a" / "b" / "gone.dll", v1);
    std::error_code error;
    fs::create_directory_symlink(outside, product / "plugins", error);
    fs::create_symlink(outside / "old.dll", product / "link.dll", error);
    const bool links = !error;
    engine::ContentCache cache("", "");
    FakeRun view;
    engine::RemoveDropped((product / "").string(), dropped, {}, cache, view,
                          engine::LandingRemoval());
    EXPECT_EQ(view.log, std::vector<std::string>{"status: Removed...a/b/gone.dll"});
    EXPECT_TRUE(fs::is_directory(product));
    EXPECT_FALSE(fs::exists(product / "a"));
    EXPECT_EQ(ReadFile(outside / "old.dll"), v1);
    if (links) {
        EXPECT_TRUE(fs::is_symlink(product / "plugins"));
        EXPECT_TRUE(fs::is_symlink(product / "link.dll"));
    }
}
