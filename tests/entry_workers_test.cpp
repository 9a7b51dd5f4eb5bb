// `zorvex extract` and `zorvex test` with entries decoded by several workers
// (-j): what they write and say must be what one thread writes and says.
// Fixtures are made at test time by python3's zipfile and 7zz, or taken from
// the corpus.
#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/test_util.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>
#endif

namespace zorvex::test {
namespace {

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

struct Outcome {
    int status;
    std::string out;
    std::string err;
    bool operator==(const Outcome&) const = default;
};

Outcome zorvex(const TempDir& tmp, const std::string& args) {
    const fs::path errFile = tmp / "stderr.txt";
    Outcome o;
    o.out = runOutput(quote(cliPath()) + " " + args + " 2>" + quote(errFile), &o.status);
    std::ifstream in(errFile);
    o.err.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

void python(const fs::path& dir, const std::string& script) {
    writeFile(dir / "make.py", "import zipfile, os, random, time\nrandom.seed(7)\n" + script);
    ASSERT_EQ(run("cd " + quote(dir) + " && python3 make.py"), 0) << script;
}

#ifndef _WIN32
// Everything below `root` as one text: each path with its type, mode,
// modification time and bytes (or link target), folders included. What has
// no stored time (a wrapper folder, what was there before) is "new".
std::string describeTree(const fs::path& root) {
    static const time_t start = time(nullptr) - 2;
    std::map<std::string, std::string> lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat state {};
        if (lstat(it->path().c_str(), &state) != 0) continue;
        std::ostringstream line;
        line << std::oct << state.st_mode << std::dec << ' ';
        if (state.st_mtim.tv_sec >= start)
            line << "new ";
        else
            line << state.st_mtim.tv_sec << ' ';
        if (S_ISLNK(state.st_mode))
            line << "-> " << fs::read_symlink(it->path()).string();
        else if (S_ISREG(state.st_mode))
            line << state.st_nlink << ' ' << sha256Hex(readFile(it->path()));
        lines[fs::relative(it->path(), root).generic_string()] = line.str();
    }
    std::string text;
    for (const auto& [path, line] : lines) text += path + ": " + line + "\n";
    return text;
}

class EntryWorkersTest : public ::testing::Test {
protected:
    TempDir tmp;

    // Runs `command` (with its archives) into a fresh folder with -j 1, 2
    // and 8 (after `prepare` filled it) and expects the same outcome and tree.
    void expectSameAsOneThread(const std::string& command, const std::string& prepare = "") {
        std::string treeOne;
        Outcome one;
        for (int threads : {1, 2, 8}) {
            SCOPED_TRACE("-j " + std::to_string(threads));
            const fs::path out = tmp / ("out" + std::to_string(threads));
            fs::remove_all(out);
            fs::create_directories(out);
            if (!prepare.empty()) ASSERT_EQ(run("cd " + quote(out) + " && " + prepare), 0);
            // Messages name the archives as given: the same text in every run.
            Outcome outcome = zorvex(tmp, "-j " + std::to_string(threads) + " " + command + " -C " + quote(out));
            std::string tree = describeTree(out);
            if (threads == 1) {
                one = outcome;
                treeOne = tree;
                continue;
            }
            EXPECT_EQ(outcome.status, one.status);
            EXPECT_EQ(outcome.out, one.out);
            EXPECT_EQ(outcome.err, one.err);
            EXPECT_EQ(tree, treeOne);
        }
    }
    void expectSameTestOutcome(const std::string& archives) {
        const Outcome one = zorvex(tmp, "-j 1 test " + archives);
        for (int threads : {2, 8}) EXPECT_EQ(zorvex(tmp, "-j " + std::to_string(threads) + " test " + archives), one);
    }

    // 100 small files in each of `folders` folders, stored and deflated, with
    // modes, times and links.
    void makeSmallFiles(int folders) {
        python(tmp.path(), "folders = " + std::to_string(folders) + R"(
os.makedirs('src', exist_ok=True)
z = zipfile.ZipFile('small.zip', 'w')
def add(name, data, mode=0o644, method=zipfile.ZIP_DEFLATED, when=(2021, 3, 4, 5, 6, 8)):
    info = zipfile.ZipInfo(name, when)
    info.external_attr = mode << 16
    info.compress_type = method
    z.writestr(info, data)
for d in range(folders):
    add('d%d/' % d, b'', 0o40755, when=(2020, 1, 2, 3, 4, 6))
    for f in range(100):
        size = random.randint(0, 3000)
        data = os.urandom(size) if f % 5 == 0 else (b'line %d %d\n' % (d, f)) * (size // 10)
        add('d%d/f%d' % (d, f), data, 0o600 if f % 7 == 0 else 0o644,
            zipfile.ZIP_STORED if f % 4 == 0 else zipfile.ZIP_DEFLATED)
        open('src/d%d-f%d' % (d, f), 'wb').write(data)
add('d0/link', b'f1', 0o120777)
add('d1/up', b'../d0/f2', 0o120777)
z.close()
)");
    }
};

// Archives of every kind of unit: zip entries, 7z folders of one file and
// of many, RAR volumes; and several archives in one command.
TEST_F(EntryWorkersTest, ExtractAndTestGiveWhatOneThreadGives) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("7zz");
    makeSmallFiles(20);
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && 7zz a -bso0 -bsp0 -ms=off nonsolid.7z src/ && " +
                  "7zz a -bso0 -bsp0 -ms=on -ms=64f solid.7z src/"),
              0);
    std::string rar;
    if (auto corpus = corpusDir()) rar = quote(*corpus / "rar" / "Rar4.multi.part01.rar");
    // Each archive alone would say no more than all of them at once.
    const std::vector<std::string> cases = {"small.zip", "small.zip nonsolid.7z solid.7z " + rar};
    for (const std::string& archives : cases) {
        SCOPED_TRACE(archives);
        std::string paths;
        std::istringstream words(archives);
        for (std::string word; words >> word;) paths += " " + (word[0] == '\'' ? word : quote(tmp / word));
        expectSameAsOneThread("extract" + paths);
        expectSameTestOutcome(paths);
    }
}

// Order matters for what exists already (kept or replaced), for links after
// their targets and for folder times after their contents.
TEST_F(EntryWorkersTest, ConflictsAndLinksComeOutInOrder) {
    REQUIRE_TOOL("python3");
    makeSmallFiles(5);
    const std::string archive = quote(tmp / "small.zip");
    const std::string earlier = "mkdir d3 d4 && echo old > d3/f5 && mkdir d3/f6 && ln -s f9 d4/f8";
    expectSameAsOneThread("extract " + archive, earlier);
    expectSameAsOneThread("extract --overwrite " + archive, earlier);
    expectSameAsOneThread("extract --strip-components 1 " + archive + " 'd1/*' 'd2/f1*'");
    // Names taken twice in one archive (and files queued under a name a
    // folder takes later), and every name taken again by a second archive.
    python(tmp.path(), R"(
import warnings
warnings.simplefilter('ignore')
z = zipfile.ZipFile('twice.zip', 'w', zipfile.ZIP_DEFLATED)
for i in range(300):
    z.writestr('a/f%d' % (i % 120), b'copy %d\n' % i * 40)
z.writestr('a/F1', b'other case')
z.writestr('a/f2/inner', b'below a file')
z.close()
)");
    const std::string twice = quote(tmp / "twice.zip");
    for (const std::string& command :
         {"extract " + twice, "extract --overwrite " + twice, "extract " + archive + " " + archive}) {
        SCOPED_TRACE(command);
        expectSameAsOneThread(command);
    }
}

// Damage in some entries is said as one thread says it, at the same place
// among the other lines, and leaves no file for them.
TEST_F(EntryWorkersTest, DamageIsReportedAsWithOneThread) {
    REQUIRE_TOOL("python3");
    makeSmallFiles(5);
    python(tmp.path(), R"(
z = zipfile.ZipFile('small.zip')
data = bytearray(open('small.zip', 'rb').read())
names = []
for d in (0, 1, 2):
    info = next(i for i in z.infolist() if i.filename.startswith('d%d/f' % d) and i.compress_size >= 64
                and i.compress_type == (zipfile.ZIP_STORED if d == 1 else zipfile.ZIP_DEFLATED))
    start = info.header_offset + 30 + len(info.filename) + len(info.extra) + info.compress_size // 2
    data[start: start + 4] = b'\x00\xff\x13\x77'
    names.append(info.filename)
open('bad.zip', 'wb').write(data)
open('damaged.txt', 'w').write(' '.join(names))
)");
    // Alone, and first of several archives: its lines come before theirs.
    const std::string several = quote(tmp / "bad.zip") + " " + quote(tmp / "small.zip") + " " + quote(tmp / "bad.zip");
    for (const std::string& archives : {quote(tmp / "bad.zip"), several}) {
        expectSameAsOneThread("extract " + archives);
        expectSameTestOutcome(archives);
    }
    Outcome outcome = zorvex(tmp, "-j 2 extract " + quote(tmp / "bad.zip") + " -C " + quote(tmp / "bad"));
    EXPECT_EQ(outcome.status, 1);
    std::istringstream names(runOutput("cat " + quote(tmp / "damaged.txt")));
    for (std::string name; names >> name;) {
        EXPECT_NE(outcome.err.find(name + ": "), std::string::npos) << name;
        EXPECT_FALSE(fs::exists(tmp / "bad" / "bad" / name)) << name;
    }
    EXPECT_TRUE(fs::exists(tmp / "bad" / "bad" / "d3" / "f1"));
}

// Where workers cannot read a copy of the archive (standard input, a folder
// inside an archive), or may not start (-j 1), one thread does the work.
TEST_F(EntryWorkersTest, OneThreadWorksWhereWorkersCannot) {
    REQUIRE_TOOL("python3");
    makeSmallFiles(5);
    const std::string archive = quote(tmp / "small.zip");
    expectSameAsOneThread("extract - < " + archive);
    expectSameAsOneThread("extract " + quote(tmp / "small.zip" / "d2"));
}

// Archives after the first are opened (a compressed tar decoded), or tested,
// on other threads: what they write and say still comes in the order given, for
// archives that clash, are damaged, encrypted, not archives at all, or come
// from standard input.
TEST_F(EntryWorkersTest, ArchivesOpenedAheadComeOutInOrder) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("7zz");
    makeSmallFiles(3);
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && tar -czf a.tar.gz src && tar -cJf b.tar.xz src small.zip && " +
                  "7zz a -bso0 -bsp0 -psecret -mhe=on hidden.7z src/d0-f1 && echo notes > notes.txt"),
              0);
    python(tmp.path(), R"(
data = bytearray(open('b.tar.xz', 'rb').read())
data[len(data) // 2: len(data) // 2 + 8] = b'\x00\xff\x13\x77\x00\xff\x13\x77'
open('bad.tar.xz', 'wb').write(data)
)");
    auto paths = [&](const std::string& names) {
        std::string text;
        std::istringstream words(names);
        for (std::string word; words >> word;) text += " " + (word == "-" ? word : quote(tmp / word));
        return text;
    };
    for (const std::string& archives : {"a.tar.gz bad.tar.xz small.zip notes.txt a.tar.gz b.tar.xz hidden.7z",
                                        "b.tar.xz - a.tar.gz", "bad.tar.xz b.tar.xz"}) {
        SCOPED_TRACE(archives);
        expectSameAsOneThread("extract" + paths(archives) + " < " + quote(tmp / "small.zip"));
        expectSameTestOutcome(paths(archives) + " < " + quote(tmp / "small.zip"));
    }
    // Archives of a single file, decoded whole ahead of their turn: damaged,
    // cut short or failing their check only when the caller decodes them.
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && cat src/* > one && cp one two && gzip -k one && bzip2 -k two && " +
                  "head -c 3000 one.gz > short.gz && zip -q one.zip one"),
              0);
    python(tmp.path(), R"(
data = bytearray(open('one.gz', 'rb').read())
data[-8] ^= 1
open('crc.gz', 'wb').write(data)
)");
    for (const std::string& options : {"", "--overwrite "}) {
        const std::string singles = paths("one.gz two.bz2 crc.gz one.zip short.gz one.gz two.bz2");
        expectSameAsOneThread("extract " + options + singles);
    }
    const std::string encrypted = paths("hidden.7z notes.txt hidden.7z a.tar.gz");
    expectSameAsOneThread("extract -p secret" + encrypted);
    expectSameTestOutcome("-p secret" + encrypted);
}

// An interruption while workers write leaves only whole files behind.
TEST_F(EntryWorkersTest, InterruptionLeavesOnlyWholeFiles) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
z = zipfile.ZipFile('zeros.zip', 'w', zipfile.ZIP_DEFLATED, compresslevel=1)
for i in range(4):
    z.writestr('z%d' % i, bytes(64 << 20))
z.close()
)");
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    std::string program = cliPath(), archive = (tmp / "zeros.zip").string(), folder = out.string();
    // Interrupted once a file is open in the folder the archive's entries go to.
    const fs::path folderOut = fs::canonical(out) / "zeros";
    const int status = interruptWhileWriting({program, "-j", "2", "extract", archive, "-C", folder}, folderOut, SIGINT);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    for (auto& item : fs::directory_iterator(folderOut)) {
        EXPECT_NE(item.path().extension(), ".part") << item.path();
        EXPECT_EQ(fs::file_size(item.path()), uint64_t(64) << 20) << item.path();
    }
}
#endif

}  // namespace
}  // namespace zorvex::test
