// The zorvex program reading archives from standard input, and its progress
// line on a terminal (a python3 pseudo-terminal) and elsewhere.
#include <fstream>
#include <map>
#include <sstream>

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
        writeFile(tmp / "zipstream.py", kZipStream);
        zorvex = quote(cliPath());
    }
    // Writes a zip of ./top to standard output, which is a pipe: python's
    // zipfile then puts every entry's sizes in a data descriptor after it
    // (zip64 fields and descriptors with "zip64").
    static constexpr char kZipStream[] = R"(
import os, shutil, sys, zipfile
z = zipfile.ZipFile(sys.stdout.buffer, 'w', getattr(zipfile, 'ZIP_' + sys.argv[1]))
for root, dirs, files in sorted(os.walk('top')):
    z.write(root)
    for path in (os.path.join(root, f) for f in sorted(files)):
        info = zipfile.ZipInfo.from_file(path)
        info.compress_type = z.compression
        with open(path, 'rb') as data, z.open(info, 'w', force_zip64=sys.argv[2:] == ['zip64']) as entry:
            shutil.copyfileobj(data, entry)
z.close()
)";
    TempDir tmp;
    std::string zorvex;
};

struct Fixture {
    const char* name;
    const char* tool;  // the row is skipped without it
    const char* make;
};

// Tar and its compressed forms stream (xz also in blocks, and as two streams
// with padding between them), and so do zips, by their local headers: with
// sizes there, or in data descriptors after stored, deflated and bzip2 data,
// and with zip64 fields. A 7z is kept whole first. A raw .lzma has no
// signature: its header tells it.
const Fixture kFixtures[] = {
    {"t.tar", "tar", "true"},
    {"t.tar.gz", "gzip", "gzip -c t.tar > t.tar.gz"},
    {"t.tar.bz2", "bzip2", "bzip2 -c t.tar > t.tar.bz2"},
    {"t.tar.xz", "xz", "xz -c t.tar > t.tar.xz"},
    {"blocks.tar.xz", "xz", "xz -T2 --block-size=65536 -c t.tar > blocks.tar.xz"},
    {"two.tar.xz", "xz",
     "{ head -c 100000 t.tar | xz; printf '\\0\\0\\0\\0'; tail -c +100001 t.tar | xz; } > two.tar.xz"},
    {"t.tar.lz", "lzip", "lzip -c t.tar > t.tar.lz"},
    {"t.tar.zst", "zstd", "zstd -q -c t.tar > t.tar.zst"},
    {"t.tar.lzma", "xz", "xz --format=lzma -c t.tar > t.tar.lzma"},
    {"d.zip", "python3", "cd in && python3 ../zipstream.py DEFLATED | cat > ../d.zip"},
    {"s.zip", "python3", "cd in && python3 ../zipstream.py STORED | cat > ../s.zip"},
    {"b.zip", "python3", "cd in && python3 ../zipstream.py BZIP2 | cat > ../b.zip"},
    {"sized.zip", "zip", "cd in && zip -qr ../sized.zip top"},
    {"piped.zip", "zip", "cd in && zip -qr - top | cat > ../piped.zip"},
    {"zip64.zip", "python3", "cd in && python3 ../zipstream.py DEFLATED zip64 | cat > ../zip64.zip"},
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
        // A zip from a pipe lists as its file does.
        if (name.ends_with(".zip"))
            EXPECT_EQ(runOutput("cd " + quote(tmp.path()) + " && cat " + name + " | " + zorvex + " list -lr -"),
                      runOutput("cd " + quote(tmp.path()) + " && " + zorvex + " list -lr " + name));
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

// Zips whose damage shows only as they are read: a bit flipped in an entry's
// data, a central directory that lists an entry the data does not carry or
// leaves out one it carries, an input cut inside an entry; each with sizes in the local headers ("sized")
// and in data descriptors ("piped").
constexpr char kDamagedZips[] = R"(
import io, struct, zipfile
def write(piped):
    out = io.BytesIO()
    class Pipe:  # neither seek nor tell: zipfile writes data descriptors
        def write(self, data): return out.write(data)
        def flush(self): pass
    z = zipfile.ZipFile(Pipe() if piped else out, 'w', zipfile.ZIP_DEFLATED)
    z.writestr('top/a.txt', b'alpha\n' * 1000)
    z.writestr('top/b.bin', bytes(range(256)) * 400)
    z.writestr('top/c.txt', b'gamma\n' * 1000)
    z.close()
    return out.getvalue()
for piped in (False, True):
    data = write(piped)
    entries = zipfile.ZipFile(io.BytesIO(data))
    b, c = (entries.getinfo('top/' + name).header_offset for name in ('b.bin', 'c.txt'))
    directory = struct.unpack('<I', data[-6:-2])[0]
    flipped = bytearray(data)
    flipped[b + 30 + 9 + 40] ^= 0x55
    records = [at for at in range(directory, len(data)) if data.startswith(b'PK\1\2', at)]
    kind = 'piped' if piped else 'sized'
    for name, damaged in (('flipped', flipped), ('unmet', data[:c] + data[directory:]),
                          ('unlisted', data[:records[1]] + data[records[2]:]), ('cut', data[:b + 30 + 9 + 200])):
        open(name + '-' + kind + '.zip', 'wb').write(damaged)
)";

TEST_F(PipeTest, ADamagedZipFromAPipeFailsEntryByEntryAsItsFileDoes) {
    writeFile(tmp / "damaged.py", kDamagedZips);
    ASSERT_EQ(shell(tmp.path(), "python3 damaged.py"), 0);
    struct Case {
        const char* zip;
        const char* message;
        const char* extracted;  // the files a pipe gives
        bool sameAsFile;        // the file reports the same (a cut piped zip's file has no directory to go by)
    } cases[] = {
        {"flipped-sized", "top/b.bin: CRC mismatch", "top/a.txt top/c.txt", true},
        {"flipped-piped", "top/b.bin: CRC mismatch", "top/a.txt top/c.txt", true},
        {"unmet-sized", "top/c.txt: listed in the central directory, not in the data read", "top/a.txt top/b.bin",
         false},
        {"unmet-piped", "top/c.txt: listed in the central directory, not in the data read", "top/a.txt top/b.bin",
         false},
        {"unlisted-sized", "the central directory does not list top/b.bin", "top/a.txt top/b.bin top/c.txt", false},
        {"unlisted-piped", "the central directory does not list top/b.bin", "top/a.txt top/b.bin top/c.txt", false},
        {"cut-sized", "top/b.bin: data ends after 149 of 102400 bytes", "top/a.txt", true},
        {"cut-piped", "top/b.bin: data ends after 149 bytes", "top/a.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zip);
        const std::string zip = std::string(c.zip) + ".zip";
        std::string fromPipe, fromFile;
        EXPECT_EQ(shell(tmp.path(), zorvex + " extract - -C pipe/" + c.zip + " < " + zip, &fromPipe), 1);
        EXPECT_NE(fromPipe.find(c.message), std::string::npos) << fromPipe;
        EXPECT_EQ(shell(tmp.path(), zorvex + " test - < " + zip), 1);
        std::string extracted;
        for (const auto& [name, data] : readTree(tmp / "pipe" / c.zip)) extracted += (extracted.empty() ? "" : " ") + name;
        EXPECT_EQ(extracted, c.extracted);
        EXPECT_EQ(readFile(tmp / "pipe" / c.zip / "top/a.txt").size(), 6000u);
        if (!c.sameAsFile) continue;
        EXPECT_EQ(shell(tmp.path(), zorvex + " extract " + zip + " -C file/" + c.zip, &fromFile), 1);
        for (size_t at; (at = fromFile.find(zip + ":")) != std::string::npos;) fromFile.replace(at, zip.size(), "-");
        EXPECT_EQ(fromPipe, fromFile);
        EXPECT_TRUE(readTree(tmp / "pipe" / c.zip) == readTree(tmp / "file" / c.zip));
    }
}

// Zip's traditional encryption with its sizes after the data (stored and
// deflated entries), and with them in the headers, zip's AES, and a 7z with
// encrypted headers, which need the password as soon as they are opened.
TEST_F(PipeTest, AnEncryptedArchiveFromAPipeTakesThePassword) {
    const Fixture encrypted[] = {
        {"e1.zip", "zip", "cd in && zip -qr -P secret - top | cat > ../e1.zip"},
        {"e2.zip", "7zz", "cd in && 7zz a -bso0 -bsp0 -tzip -psecret -mem=ZipCrypto ../e2.zip top"},
        {"e3.zip", "7zz", "cd in && 7zz a -bso0 -bsp0 -tzip -psecret -mem=AES256 ../e3.zip top"},
        {"e4.7z", "7zz", "cd in && 7zz a -bso0 -bsp0 -psecret -mhe=on ../e4.7z top"},
    };
    for (const Fixture& fixture : encrypted) {
        SCOPED_TRACE(fixture.name);
        if (!haveTool(fixture.tool)) continue;
        const std::string name = fixture.name;
        ASSERT_EQ(shell(tmp.path(), fixture.make), 0);
        std::string err;
        EXPECT_EQ(shell(tmp.path(), zorvex + " -p secret extract - -C pipe/" + name + " < " + name, &err), 0) << err;
        EXPECT_TRUE(readTree(tmp / "pipe" / name) == readTree(tmp / "in"));
        EXPECT_EQ(runOutput("cd " + quote(tmp.path()) + " && " + zorvex + " -p secret list -lr - < " + name),
                  runOutput("cd " + quote(tmp.path()) + " && " + zorvex + " -p secret list -lr " + name));
        EXPECT_EQ(shell(tmp.path(), zorvex + " -p wrong test - < " + name), 1);
    }
}

// The compressed single streams, each made by `make` from t.tar into OUT.
// All but raw .lzma carry check values, so any flipped bit is found.
struct Compressor {
    const char* tool;
    const char* make;
    bool checked = true;
};
const Compressor kCompressors[] = {
    {"gzip", "gzip -c t.tar > OUT"},
    {"bzip2", "bzip2 -c t.tar > OUT"},
    {"lzip", "lzip -c t.tar > OUT"},
    {"zstd", "zstd -q -c t.tar > OUT"},
    // A skippable frame of metadata before the data.
    {"zstd", "{ printf '\\120\\052\\115\\030\\004\\000\\000\\000meta'; zstd -q -c t.tar; } > OUT"},
    {"xz", "xz -c t.tar > OUT"},
    {"xz", "xz -T2 --block-size=65536 --check=crc32 -c t.tar > OUT"},
    {"xz", "xz --check=sha256 --x86 --lzma2 -c t.tar > OUT"},
    {"xz", "{ head -c 100000 t.tar | xz; printf '\\0\\0\\0\\0'; tail -c +100001 t.tar | xz; } > OUT"},
    {"xz", "xz --format=lzma -c t.tar > OUT", false},
};

// A command that writes `file` with a bit of its middle byte flipped.
std::string withBitFlipped(const std::string& file) {
    return "python3 -c \"import sys; d = bytearray(open('" + file +
           "', 'rb').read()); d[len(d) // 2] ^= 4; sys.stdout.buffer.write(d)\"";
}

std::string made(const Compressor& compressor, const std::string& out) {
    std::string command = compressor.make;
    command.replace(command.find("OUT"), 3, out);
    return command;
}

TEST_F(PipeTest, CatOfACompressedStreamGivesItsDecodedBytesAndACutOneFails) {
    int row = 0;
    for (const Compressor& compressor : kCompressors) {
        const std::string packed = "s" + std::to_string(row++);
        SCOPED_TRACE(made(compressor, packed));
        if (!haveTool(compressor.tool)) continue;
        ASSERT_EQ(shell(tmp.path(), made(compressor, packed)), 0);
        std::string err;
        EXPECT_EQ(shell(tmp.path(), "cat " + packed + " | " + zorvex + " cat - > " + packed + ".out", &err), 0)
            << err;
        EXPECT_TRUE(readFile(tmp / (packed + ".out")) == readFile(tmp / "t.tar"));
        // Cut before anything decodes (a bzip2 block is whole or nothing),
        // cut inside the data, and a bit flipped halfway: never a success.
        const std::string half = std::to_string(fs::file_size(tmp / packed) / 2);
        std::vector<std::string> damaged = {"head -c 100 " + packed, "head -c " + half + " " + packed};
        if (compressor.checked) damaged.push_back(withBitFlipped(packed));
        for (const std::string& feed : damaged) {
            EXPECT_EQ(shell(tmp.path(), feed + " | " + zorvex + " cat -", &err), 1) << feed;
            EXPECT_NE(err, "");
            EXPECT_EQ(shell(tmp.path(), feed + " | " + zorvex + " test -"), 1) << feed;
        }
    }
}

// For each PACKED file: feeds it to `ZORVEX -j 1 extract - -C xPACKED` up to
// three quarters, and while the rest is held back, measures how many bytes
// the files it has open in TMPDIR take on disk (the scratch file is sparse);
// prints that, the bytes fed and the exit status, a line per file.
constexpr char kScratchWatcher[] = R"(
import os, subprocess, sys, time
scratch = os.path.realpath(os.environ['TMPDIR'])
for packed in sys.argv[2:]:
    data = open(packed, 'rb').read()
    fed = len(data) * 3 // 4
    p = subprocess.Popen([sys.argv[1], '-j', '1', 'extract', '-', '-C', 'x' + packed],
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    p.stdin.write(data[:fed])
    p.stdin.flush()
    time.sleep(0.3)
    held = 0
    for fd in os.listdir('/proc/%d/fd' % p.pid):
        path = '/proc/%d/fd/%s' % (p.pid, fd)
        try:
            if os.readlink(path).startswith(scratch + '/'):
                held += os.stat(path).st_blocks * 512
        except OSError:
            pass
    p.stdin.write(data[fed:])
    p.stdin.close()
    print(packed, held, fed, p.wait())
)";

TEST_F(PipeTest, ACompressedTarOrAZipIsDecodedAsItArrivesWithoutKeepingItsPackedData) {
    if (!fs::exists("/proc/self/fd")) GTEST_SKIP() << "no /proc";
    // Data that does not compress: what is fed is about what it decodes to.
    ASSERT_EQ(shell(tmp.path(), "mkdir -p noise/top && head -c 400000 /dev/urandom > noise/top/a.bin && "
                                "head -c 400000 /dev/urandom > noise/top/b.bin && tar cf t.tar -C noise top"),
              0);
    writeFile(tmp / "watch.py", kScratchWatcher);
    fs::create_directories(tmp / "scratch");
    std::vector<std::string> packed;
    for (const Compressor& compressor : kCompressors) {
        const std::string name = "w" + std::to_string(packed.size());
        if (!haveTool(compressor.tool)) continue;
        ASSERT_EQ(shell(tmp.path(), made(compressor, name)), 0);
        packed.push_back(name);
    }
    // Zips, with sizes in their local headers and in data descriptors.
    if (haveTool("python3")) {
        ASSERT_EQ(shell(tmp.path(), "cd noise && python3 ../zipstream.py DEFLATED | cat > ../wz"), 0);
        packed.push_back("wz");
    }
    if (haveTool("zip")) {
        ASSERT_EQ(shell(tmp.path(), "cd noise && zip -qr ../wzs.zip top && mv ../wzs.zip ../wzs"), 0);
        packed.push_back("wzs");
    }
    std::string names;
    for (const std::string& name : packed) names += " " + name;
    // One thread: with more, a stream of units that decode apart (gzip
    // members) is first read ahead into a bounded buffer to share out.
    std::istringstream lines(
        runOutput("cd " + quote(tmp.path()) + " && TMPDIR=scratch python3 watch.py " + zorvex + names));
    std::string name;
    long long held = -1, fed = 0;
    int status = -1, seen = 0;
    while (lines >> name >> held >> fed >> status) {
        SCOPED_TRACE(name);
        ++seen;
        EXPECT_EQ(status, 0);
        // The entries' data goes into the destination; the temporary folder
        // holds the tar's headers at most, never the input read so far (nor
        // a zip's packed data).
        EXPECT_LT(held, fed / 10);
        EXPECT_TRUE(readTree(tmp / ("x" + name)) == readTree(tmp / "noise"));
    }
    EXPECT_EQ(seen, int(packed.size()));
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
