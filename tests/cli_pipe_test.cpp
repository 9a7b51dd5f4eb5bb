// The zorvex program reading archives from standard input, and its progress
// line on a terminal (a python3 pseudo-terminal) and elsewhere.
#include <fstream>
#include <map>

#include "tests/test_util.h"

#ifndef _WIN32
namespace zorvex::test {
namespace {

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs a shell command in `dir`; its standard error goes to `err`.
int shell(const fs::path& dir, const std::string& command, std::string* err = nullptr) {
    const fs::path errFile = dir / "stderr.txt";
    int status = run("cd " + quote(dir) + " && (" + command + ") >/dev/null 2>" + quote(errFile));
    std::ifstream in(errFile);
    if (err) err->assign(std::istreambuf_iterator<char>(in), {});
    return status;
}

using Tree = std::map<std::string, std::vector<uint8_t>>;

Tree readTree(const fs::path& root) {
    Tree tree;
    for (auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file()) tree[fs::relative(item.path(), root).generic_string()] = readFile(item.path());
    return tree;
}

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "zorvex is not built";
        REQUIRE_TOOL("tar");
        REQUIRE_TOOL("python3");
        // One top folder: extracted from a file or from a pipe, it needs no
        // wrapper folder, whose name would differ. big.bin is large enough
        // to be kept in a file of its own while a tar streams by.
        writeFile(tmp / "in/top/small.txt", "small\n");
        writeFile(tmp / "in/top/empty.txt", "");
        auto big = sampleData(300000, 3);
        writeFile(tmp / "in/top/big.bin", big.data(), big.size());
        auto mid = sampleData(20000, 4);
        writeFile(tmp / "in/top/sub/mid.dat", mid.data(), mid.size());
        ASSERT_EQ(shell(tmp.path(), "tar cf t.tar -C in top"), 0);
        zorvex = quote(cliPath());
    }
    TempDir tmp;
    std::string zorvex;
};

struct Fixture {
    const char* name;
    const char* tool;  // the row is skipped without it
    const char* make;
};

// Tar and its compressed forms stream; a zip written to a pipe (python's
// zipfile then stores data descriptors) and a 7z are kept whole first.
const Fixture kFixtures[] = {
    {"t.tar", "tar", "true"},
    {"t.tar.gz", "gzip", "gzip -c t.tar > t.tar.gz"},
    {"t.tar.bz2", "bzip2", "bzip2 -c t.tar > t.tar.bz2"},
    {"t.tar.xz", "xz", "xz -c t.tar > t.tar.xz"},
    {"t.tar.lz", "lzip", "lzip -c t.tar > t.tar.lz"},
    {"t.tar.zst", "zstd", "zstd -q -c t.tar > t.tar.zst"},
    {"d.zip", "python3",
     "cd in && python3 -c \"import sys, zipfile, os\n"
     "z = zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED)\n"
     "for root, dirs, files in sorted(os.walk('top')):\n"
     "    for f in sorted(files): z.write(os.path.join(root, f))\n"
     "z.close()\" | cat > ../d.zip"},
    {"t.7z", "7zz", "cd in && 7zz a -bso0 -bsp0 ../t.7z top"},
};

TEST_F(PipeTest, EveryFormatFromAPipeGivesWhatItsFileGives) {
    const Tree want = readTree(tmp / "in");
    for (const Fixture& fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        if (!haveTool(fixture.tool)) continue;
        const std::string name = fixture.name;
        ASSERT_EQ(shell(tmp.path(), fixture.make), 0);
        std::string err;
        ASSERT_EQ(shell(tmp.path(), zorvex + " extract " + name + " -C file/" + name, &err), 0) << err;
        ASSERT_EQ(shell(tmp.path(), "cat " + name + " | " + zorvex + " extract - -C pipe/" + name, &err), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_TRUE(readTree(tmp / ("pipe/" + name)) == readTree(tmp / ("file/" + name)));
        EXPECT_TRUE(readTree(tmp / ("pipe/" + name)) == want);
        // Nothing of the kept input stays behind in the destination.
        EXPECT_EQ(std::distance(fs::directory_iterator(tmp / ("pipe/" + name)), {}), 1);
        EXPECT_EQ(shell(tmp.path(), "cat " + name + " | " + zorvex + " test -", &err), 0) << err;
    }
    // A path inside the archive read from standard input.
    const std::string cat = runOutput("cd " + quote(tmp.path()) + " && " + zorvex + " cat -/top/small.txt < t.tar");
    EXPECT_EQ(cat, "small\n");
}

TEST_F(PipeTest, AnInputThatEndsEarlyOrCannotBeReadFails) {
    std::string err;
    EXPECT_EQ(shell(tmp.path(), zorvex + " list - < .", &err), 1);  // a folder: reading it fails
    EXPECT_NE(err.find("cannot read standard input: read error"), std::string::npos) << err;
    for (const Fixture& fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        if (!haveTool(fixture.tool)) continue;
        const std::string name = fixture.name;
        ASSERT_EQ(shell(tmp.path(), fixture.make), 0);
        // The writer stops halfway, inside big.bin's data.
        const std::string half = std::to_string(fs::file_size(tmp / name) / 2);
        std::string err;
        EXPECT_EQ(shell(tmp.path(), "head -c " + half + " " + name + " | " + zorvex + " extract - -C cut/" + name, &err),
                  1);
        EXPECT_NE(err, "");
        const fs::path big = tmp / ("cut/" + name + "/top/big.bin");
        EXPECT_TRUE(!fs::exists(big) || readFile(big) != readFile(tmp / "in/top/big.bin"));
        EXPECT_EQ(shell(tmp.path(), "head -c " + half + " " + name + " | " + zorvex + " test -"), 1);
    }
}

// Feeds t.tar to `zorvex ARGS` in two halves a while apart, standard error on
// a pseudo-terminal or a pipe, optionally sending SIGUSR1 in the pause;
// prints what standard error received, as python's repr.
constexpr char kFeeder[] = R"(
import os, pty, signal, subprocess, sys, time
terminal, send_signal = sys.argv[1] == 'tty', sys.argv[2] == 'signal'
if terminal:
    reader, writer = pty.openpty()
else:
    reader, writer = os.pipe()
data = open('t.tar', 'rb').read()
p = subprocess.Popen(sys.argv[3:], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=writer)
os.close(writer)
p.stdin.write(data[:len(data) // 2])
p.stdin.flush()
time.sleep(0.3)
if send_signal:
    p.send_signal(signal.SIGUSR1)
    time.sleep(0.2)
p.stdin.write(data[len(data) // 2:])
p.stdin.close()
got = b''
while True:
    try:
        piece = os.read(reader, 65536)
    except OSError:
        break
    if not piece:
        break
    got += piece
sys.stdout.write(repr(got) if p.wait() == 0 else 'failed')
)";

TEST_F(PipeTest, ProgressLineOnATerminalOnlyAndOnceOnSignal) {
    writeFile(tmp / "feed.py", kFeeder);
    struct Case {
        const char* where;
        const char* signal;
        const char* options;
        bool redrawn;  // "\r"-drawn lines, the last one cleared
        int lines;     // lines of their own
    } cases[] = {
        {"tty", "none", "", true, 0},
        {"tty", "none", "-q", false, 0},
        {"pipe", "none", "", false, 0},
        {"pipe", "none", "--progress", true, 0},
        {"pipe", "signal", "", false, 1},
        {"tty", "signal", "", true, 1},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.where) + " " + c.signal + " " + c.options);
        const std::string out = "out" + std::to_string(run++);
        std::string got = runOutput("cd " + quote(tmp.path()) + " && python3 feed.py " + c.where + " " + c.signal +
                                    " " + zorvex + " extract - -C " + out + " " + c.options);
        ASSERT_NE(got, "failed");
        const bool drawn = got.find("\\rreading standard input: ") != std::string::npos;
        EXPECT_EQ(drawn, c.redrawn) << got;
        if (c.redrawn) EXPECT_TRUE(got.ends_with("\\r\\x1b[K'")) << got;
        size_t lines = 0;
        for (size_t at = got.find("\\n"); at != std::string::npos; at = got.find("\\n", at + 1)) ++lines;
        EXPECT_EQ(lines, size_t(c.lines)) << got;
        if (c.lines) EXPECT_NE(got.find("reading standard input: "), std::string::npos) << got;
        if (!c.redrawn && !c.lines) EXPECT_EQ(got, "b''");
        EXPECT_TRUE(readTree(tmp / out / "top") == readTree(tmp / "in/top"));
    }
}

}  // namespace
}  // namespace zorvex::test
#endif
