// Modes, links and times as `zorvex extract`, `list` and `cat` restore and
// show them, on trees archived at test time by tar, zip and 7zz, and on RAR 5
// archives of the corpus.
#ifndef _WIN32
#include <sys/stat.h>

#include <fstream>

#include "tests/test_util.h"

namespace zorvex::test {
namespace {

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs zorvex under umask 022; standard error goes to `err`.
std::string zorvex(const TempDir& tmp, const std::string& args, int* status, std::string* err = nullptr) {
    fs::path errFile = tmp / "stderr.txt";
    std::string out = runOutput("umask 022; " + quote(cliPath()) + " " + args + " 2>" + quote(errFile), status);
    if (err) {
        std::ifstream in(errFile);
        err->assign(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

struct stat lstatOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

constexpr int64_t kFileTime = 1557126488;  // 2019-05-06 07:08:08 UTC, even for zip's two seconds
constexpr int64_t kLinkTime = 1577934244;  // 2020-01-02 03:04:04 UTC

// A tree with an executable script, a private file, a setuid program, a
// link inside and one leading out, a hard link, an empty folder and set times.
void makeTree(const fs::path& root) {
    fs::create_directories(root / "d/e");
    fs::create_directories(root / "empty");
    writeFile(root / "run.sh", "#!/bin/sh\necho hi\n");
    writeFile(root / "d/e/f.txt", "data\n");
    writeFile(root / "suid", "x");
    ::chmod((root / "run.sh").c_str(), 0755);
    ::chmod((root / "d/e/f.txt").c_str(), 0600);
    ::chmod((root / "suid").c_str(), 04755);
    fs::create_symlink("e/f.txt", root / "d/in");
    fs::create_symlink("../../../outside", root / "d/out");
    fs::create_hard_link(root / "d/e/f.txt", root / "hard.txt");
    for (const char* path : {"run.sh", "suid", "d/e/f.txt", "d/e", "d", "empty"})
        ASSERT_EQ(run("touch -d @" + std::to_string(kFileTime) + " " + quote(root / path)), 0);
    for (const char* path : {"d/in", "d/out"})
        ASSERT_EQ(run("touch -h -d @" + std::to_string(kLinkTime) + " " + quote(root / path)), 0);
}

struct Archiver {
    const char* name;
    const char* tool;
    const char* command;  // run in the tree's folder, writes ../tree.EXT
    const char* file;
    bool hardLinks;  // stored as links, not copies
};

TEST(UnixMetadata, ExtractionRestoresModesLinksAndTimes) {
    const Archiver archivers[] = {
        {"tar", "tar", "tar -cf ../tree.tar .", "tree.tar", true},
        {"zip", "zip", "zip -qry ../tree.zip .", "tree.zip", false},
        {"7z", "7zz", "7zz a -snl -snh -bd -y ../tree.7z . >/dev/null", "tree.7z", false},
    };
    for (const Archiver& archiver : archivers) {
        SCOPED_TRACE(archiver.name);
        if (!haveTool(archiver.tool)) continue;
        TempDir tmp;
        makeTree(tmp / "tree");
        ASSERT_EQ(run("cd " + quote(tmp / "tree") + " && " + archiver.command), 0);
        const fs::path archive = tmp / archiver.file;
        int status = 0;
        std::string err;
        zorvex(tmp, "extract -C " + quote(tmp / "out") + " " + quote(archive), &status, &err);
        EXPECT_EQ(status, 1);
        EXPECT_NE(err.find("d/out: link leaves the destination, not created"), std::string::npos) << err;
        const fs::path out = tmp / "out/tree";

        const std::pair<const char*, mode_t> modes[] = {
            {"run.sh", 0755}, {"d/e/f.txt", 0600}, {"suid", 0755}, {"d", 0755}, {"empty", 0755}};
        for (const auto& [path, mode] : modes) EXPECT_EQ(lstatOf(out / path).st_mode & 07777, mode) << path;
        for (const char* path : {"run.sh", "d/e/f.txt", "d", "d/e", "empty"})
            EXPECT_EQ(lstatOf(out / path).st_mtime, kFileTime) << path;

        EXPECT_TRUE(fs::is_symlink(out / "d/in"));
        EXPECT_EQ(fs::read_symlink(out / "d/in"), "e/f.txt");
        EXPECT_EQ(lstatOf(out / "d/in").st_mtime, kLinkTime);
        EXPECT_FALSE(fs::exists(fs::symlink_status(out / "d/out")));
        EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "outside")));
        EXPECT_EQ(readFile(out / "hard.txt"), readFile(out / "d/e/f.txt"));
        if (archiver.hardLinks) EXPECT_EQ(lstatOf(out / "hard.txt").st_ino, lstatOf(out / "d/e/f.txt").st_ino);

        std::string listing = zorvex(tmp, "list -r " + quote(archive), &status);
        EXPECT_NE(listing.find("d/in -> e/f.txt\n"), std::string::npos) << listing;
        EXPECT_EQ(zorvex(tmp, "cat " + quote(archive / "d/in"), &status), "data\n");
        EXPECT_EQ(status, 0);
        // Whole permissions only when asked.
        zorvex(tmp, "extract --preserve-permissions -C " + quote(tmp / "kept") + " " + quote(archive), &status);
        EXPECT_EQ(lstatOf(tmp / "kept/tree/suid").st_mode & 07777, 04755u);
    }
}

// RAR 5 redirection records: symbolic links relative to their folder, hard
// links to files of the archive, and a link named like a folder whose files
// are written first (never through the link); RAR 3 links of Unix hosts.
TEST(UnixMetadata, RarRedirectionsBecomeLinks) {
    REQUIRE_CORPUS(corpus);
    struct Case {
        const char* archive;
        const char* link;
        const char* target;  // symbolic link's text; "" for a hard link to `file`; null: not created
        const char* file;    // for a link not created: a file written where it was, or ""
        int status;
    };
    const Case cases[] = {
        {"rar5-links.rar", "sub/link-up", "../file.txt", "", 0},
        {"rar5-links.rar", "hard.txt", "", "file.txt", 0},
        {"rar5-symlink-unix.rar", "data_link", "data.txt", "", 0},
        {"rar5-hlink.rar", "stest2.txt", "", "stest1.txt", 0},
        {"rar5-evil-symlink-traversal.rar", "up", nullptr, "up/pwned.txt", 1},
        // Links to folders: a Windows symbolic link with the directory flag,
        // and a junction, whose target is absolute.
        {"rar5-symlink-win.rar", "links/dir_link", "../content/dir1", "", 1},
        {"rar5-symlink-win.rar", "links/dir_junction", nullptr, "", 1},
        {"../rar/rar3-symlink-unix.rar", "data_link", "data.txt", "", 0},  // the data is the target
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.archive) + " " + c.link);
        TempDir tmp;
        int status = 0;
        std::string err;
        zorvex(tmp, "extract -C " + quote(tmp / "out") + " " + quote(corpus / "rar5" / c.archive), &status, &err);
        EXPECT_EQ(status, c.status);
        fs::path out = tmp / "out" / fs::path(c.archive).stem();
        if (!c.target) {
            if (*c.file) {
                EXPECT_FALSE(fs::is_symlink(out / c.link));
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out / c.file)));
            } else {
                EXPECT_FALSE(fs::exists(fs::symlink_status(out / c.link)));
                EXPECT_NE(err.find(std::string(c.link) + ": link leaves the destination, not created"),
                          std::string::npos)
                    << err;
            }
        } else if (*c.target) {
            EXPECT_EQ(fs::read_symlink(out / c.link), c.target);
        } else {
            EXPECT_EQ(lstatOf(out / c.link).st_ino, lstatOf(out / c.file).st_ino);
        }
    }
}

}  // namespace
}  // namespace zorvex::test
#endif
