// `zorvex mount` through the kernel: trees against `zorvex extract`, reads at
// random offsets of every codec family, parallel readers, damage.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "tests/test_util.h"

namespace zorvex::test {
namespace {

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Skips unless this machine can mount: /dev/fuse and a zorvex built with libfuse3.
#define REQUIRE_MOUNT()                                                                                     \
    if (!fs::exists("/dev/fuse"))                                                                          \
        GTEST_SKIP() << "/dev/fuse is missing: mounting needs FUSE (in a container: --device /dev/fuse)"; \
    if (run(quote(cliPath()) + " mount --help >/dev/null 2>&1") != 0)                                     \
    GTEST_SKIP() << "zorvex was built without libfuse3"

// An archive mounted for the object's life.
class Mounted {
public:
    // `options`: more arguments of the mount command; it has no terminal to ask on.
    Mounted(const fs::path& archive, const fs::path& point, const std::string& options = "") : point_(point) {
        fs::create_directories(point);
        ok_ = run(quote(cliPath()) + " mount " + options + " " + quote(archive) + " " + quote(point) +
                  " </dev/null") == 0;
    }
    ~Mounted() {
        // A process started meanwhile by another thread may hold a file of it open for a moment.
        for (int tries = 0; ok_ && tries < 100; ++tries) {
            if (run(quote(cliPath()) + " unmount " + quote(point_) + " 2>/dev/null") == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "cannot unmount " << point_;
    }
    bool ok() const { return ok_; }

private:
    fs::path point_;
    bool ok_ = false;
};

// Extraction writes several top-level entries into a folder named after the
// archive; a mount shows them at its root.
fs::path contentsOf(const fs::path& extracted, const fs::path& mounted) {
    std::vector<fs::path> top;
    for (auto& entry : fs::directory_iterator(extracted)) top.push_back(entry.path());
    if (top.size() == 1 && fs::is_directory(fs::symlink_status(top[0])) &&
        !fs::exists(fs::symlink_status(mounted / top[0].filename())))
        return top[0];
    return extracted;
}

// Read once, before any thread: reading it means setting it.
mode_t processUmask() {
    static const mode_t mask = [] {
        mode_t current = umask(022);
        umask(current);
        return current;
    }();
    return mask;
}

// A file's bytes; empty when it cannot be read.
std::vector<uint8_t> bytesOf(const fs::path& file) {
    try {
        return readFile(file);
    } catch (const std::exception&) {
        return {};
    }
}

// Every name, type, link target, mode and byte below `mounted` against what
// extraction wrote; a nested archive (a file there, a folder here) against
// its hidden bytes file and its own extraction, depth first.
void compareTrees(const fs::path& mounted, const fs::path& extracted, const fs::path& scratch,
                  std::vector<std::string>& faults) {
    std::set<std::string> seen;
    for (auto& entry : fs::directory_iterator(extracted)) {
        const std::string name = entry.path().filename().string();
        const fs::path here = mounted / name;
        seen.insert(name);
        auto want = entry.symlink_status();
        auto got = fs::symlink_status(here);
        if (fs::is_symlink(want)) {
            if (!fs::is_symlink(got) || fs::read_symlink(here) != fs::read_symlink(entry.path()))
                faults.push_back(here.string() + ": not the same link");
        } else if (fs::is_directory(want)) {
            if (fs::is_directory(got))
                compareTrees(here, entry.path(), scratch, faults);
            else
                faults.push_back(here.string() + ": not a folder");
        } else if (fs::is_directory(got)) {
            const std::string bytes = "." + name + ".bytes";
            seen.insert(bytes);
            if (bytesOf(mounted / bytes) != bytesOf(entry.path())) faults.push_back(here.string() + ": bytes differ");
            fs::path inner = scratch / std::to_string(std::distance(fs::directory_iterator(scratch), {}));
            if (run(quote(cliPath()) + " extract -C " + quote(inner) + " " + quote(entry.path()) + " 2>/dev/null") ==
                0)
                compareTrees(here, contentsOf(inner, here), scratch, faults);
        } else if (!fs::is_regular_file(got)) {
            faults.push_back(here.string() + ": missing");
        } else {
            if (bytesOf(here) != bytesOf(entry.path())) faults.push_back(here.string() + ": data differs");
            auto shown = fs::perms(unsigned(got.permissions()) & ~processUmask() & 0777);
            if (shown != (want.permissions() & fs::perms(0777))) faults.push_back(here.string() + ": mode differs");
        }
    }
    for (auto& entry : fs::directory_iterator(mounted))
        if (!seen.count(entry.path().filename().string())) faults.push_back(entry.path().string() + ": only mounted");
}

TEST(Mount, CorpusTreesMatchExtraction) {
    REQUIRE_MOUNT();
    REQUIRE_CORPUS(corpus);
    TempDir tmp;
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    std::set<std::string> archives;
    for (std::string line; std::getline(manifest, line);) {
        std::string archive = line.substr(0, line.find('\t'));
        if (archive != "archive" && archive.rfind("encrypted/", 0) != 0) archives.insert(archive);
    }
    // Mounting and extracting mostly wait on the kernel and on new processes:
    // a few archives at a time.
    constexpr int kWorkers = 4;
    processUmask();
    // Under the address sanitizer every process starts and ends slowly: one archive in sixteen there.
#ifdef __SANITIZE_ADDRESS__
    constexpr size_t kStride = 16;
#else
    constexpr size_t kStride = 1;
#endif
    std::vector<std::string> list;
    size_t position = 0;
    for (const std::string& archive : archives)
        if (position++ % kStride == 0) list.push_back(archive);
    std::atomic<int> next{0}, compared{0};
    std::mutex faultsLock;
    std::vector<std::string> failed;
    auto worker = [&](int id) {
        const fs::path work = tmp / std::to_string(id);
        for (size_t i; (i = size_t(next++)) < list.size();) {
            const std::string& archive = list[i];
            fs::remove_all(work);
            fs::create_directories(work / "scratch");
            if (run(quote(cliPath()) + " extract -C " + quote(work / "x") + " " + quote(corpus / archive) +
                    " >/dev/null 2>&1") != 0)
                continue;  // damaged samples: extraction leaves some out
            std::vector<std::string> faults;
            {
                Mounted mount(corpus / archive, work / "m");
                if (mount.ok())
                    compareTrees(work / "m", contentsOf(work / "x", work / "m"), work / "scratch", faults);
                else
                    faults.push_back("does not mount");
            }
            ++compared;
            std::lock_guard<std::mutex> hold(faultsLock);
            if (!faults.empty())
                failed.push_back(archive + ": " + faults.front() + " (" + std::to_string(faults.size()) + " faults)");
        }
    };
    std::vector<std::thread> workers;
    for (int id = 0; id < kWorkers; ++id) workers.emplace_back(worker, id);
    for (std::thread& thread : workers) thread.join();
    for (const std::string& fault : failed) ADD_FAILURE() << fault;
    EXPECT_GT(compared, int(300 / kStride));
}

TEST(Mount, LinksAndNestedArchivesAsExtractionGivesThem) {
    REQUIRE_MOUNT();
    REQUIRE_TOOL("zip");
    TempDir tmp;
    writeFile(tmp / "in/inner.txt", "inner\n");
    ASSERT_EQ(run("cd " + quote(tmp / "in") + " && zip -q ../inner.zip inner.txt"), 0);
    writeFile(tmp / "src/real.txt", "real\n");
    fs::create_directories(tmp / "src/dir");
    fs::copy_file(tmp / "inner.zip", tmp / "src/dir/inner.zip");
    fs::create_symlink("real.txt", tmp / "src/link.zip");  // named like an archive, still a link
    fs::create_hard_link(tmp / "src/real.txt", tmp / "src/hard.txt");
    ASSERT_EQ(run("tar cf " + quote(tmp / "a.tar") + " -C " + quote(tmp / "src") + " ."), 0);
    Mounted mount(tmp / "a.tar", tmp / "m");
    ASSERT_TRUE(mount.ok());
    EXPECT_EQ(fs::read_symlink(tmp / "m/link.zip"), "real.txt");
    EXPECT_EQ(readFile(tmp / "m/link.zip"), readFile(tmp / "src/real.txt"));
    struct stat real {}, hard {};
    ASSERT_EQ(::stat((tmp / "m/real.txt").c_str(), &real), 0);
    ASSERT_EQ(::stat((tmp / "m/hard.txt").c_str(), &hard), 0);
    EXPECT_EQ(real.st_ino, hard.st_ino);
    EXPECT_EQ(hard.st_nlink, 2u);
    EXPECT_EQ(readFile(tmp / "m/hard.txt"), readFile(tmp / "src/real.txt"));
    EXPECT_TRUE(fs::is_directory(tmp / "m/dir/inner.zip"));
    EXPECT_EQ(readFile(tmp / "m/dir/inner.zip/inner.txt"), readFile(tmp / "in/inner.txt"));
    EXPECT_EQ(readFile(tmp / "m/dir/.inner.zip.bytes"), readFile(tmp / "inner.zip"));
}

// Reads `count` random ranges of `file` with pread and compares them with
// `data`; `uncached`: each past the kernel's cache of the file.
void randomReads(const fs::path& file, const std::vector<uint8_t>& data, int count, uint32_t seed,
                 std::vector<std::string>& faults, bool uncached = false) {
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) {
        faults.push_back(file.string() + ": cannot open");
        return;
    }
    std::mt19937 random(seed);
    std::vector<uint8_t> buffer(1 << 18);
    for (int i = 0; i < count && faults.empty(); ++i) {
        size_t size = std::uniform_int_distribution<size_t>(1, buffer.size())(random);
        size_t offset = std::uniform_int_distribution<size_t>(0, data.size() - 1)(random);
        if (uncached) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ssize_t got = ::pread(fd, buffer.data(), size, off_t(offset));
        size_t expected = std::min(size, data.size() - offset);
        if (got != ssize_t(expected) || std::memcmp(buffer.data(), data.data() + offset, expected) != 0)
            faults.push_back(file.string() + ": wrong bytes at " + std::to_string(offset));
    }
    ::close(fd);
}

struct Packer {
    const char* archive;
    const char* tool;
    const char* command;  // in the source folder; ARCHIVE is the archive's path
};

TEST(Mount, RandomReadsInEveryCodecFamily) {
    REQUIRE_MOUNT();
    const Packer packers[] = {
        {"a.tar.gz", "gzip", "tar czf ARCHIVE ."},
        // As parallel writers make them: flush points every 128 KiB, and members of 256 KiB.
        {"flushed.tar.gz", "python3",
         "tar cf - . | python3 -c \"import sys,zlib; c=zlib.compressobj(6,zlib.DEFLATED,31); "
         "d=sys.stdin.buffer.read(); "
         "sys.stdout.buffer.write(b''.join(c.compress(d[i:i+131072])+c.flush(zlib.Z_SYNC_FLUSH) "
         "for i in range(0,len(d),131072))+c.flush())\" > ARCHIVE"},
        {"members.tar.gz", "python3",
         "tar cf - . | python3 -c \"import gzip,sys; d=sys.stdin.buffer.read(); "
         "[sys.stdout.buffer.write(gzip.compress(d[i:i+262144])) for i in range(0,len(d),262144)]\" > ARCHIVE"},
        {"a.tar.bz2", "bzip2", "tar cjf ARCHIVE ."},
        {"a.tar.xz", "xz", "tar cf - . | xz -T2 --block-size=1MiB > ARCHIVE"},
        {"a.tar.zst", "zstd", "tar cf - . | zstd -q -o ARCHIVE"},
        {"a.7z", "7zz", "7zz a -bd -ms=on ARCHIVE . >/dev/null"},
        {"a.zip", "zip", "zip -qr ARCHIVE ."},
    };
    TempDir tmp;
    const std::vector<uint8_t> big = sampleData(4 << 20, 31);
    writeFile(tmp / "src/big.bin", big.data(), big.size());
    writeFile(tmp / "src/small.txt", "small\n");
    for (const Packer& packer : packers) {
        if (!haveTool(packer.tool)) continue;
        SCOPED_TRACE(packer.archive);
        std::string command = packer.command;
        command.replace(command.find("ARCHIVE"), 7, quote(tmp / packer.archive));
        ASSERT_EQ(run("cd " + quote(tmp / "src") + " && " + command), 0);
        Mounted mount(tmp / packer.archive, tmp / "m");
        ASSERT_TRUE(mount.ok());
        std::vector<std::string> faults;
        randomReads(tmp / "m/big.bin", big, 1000, 7, faults);
        EXPECT_TRUE(faults.empty()) << faults.front();
        // Again once read through, from the restart points the first pass kept.
        EXPECT_TRUE(bytesOf(tmp / "m/big.bin") == big);
        randomReads(tmp / "m/big.bin", big, 100, 8, faults, true);
        EXPECT_TRUE(faults.empty()) << faults.front();
    }
}

TEST(Mount, ParallelReadersGetTheirOwnBytes) {
    REQUIRE_MOUNT();
    REQUIRE_TOOL("zip");
    TempDir tmp;
    constexpr int kReaders = 8;
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < kReaders; ++i) {
        files.push_back(sampleData(size_t(2 << 20) + size_t(i) * 4099, uint32_t(100 + i)));
        writeFile(tmp / ("src/f" + std::to_string(i)), files.back().data(), files.back().size());
    }
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && zip -qr ../a.zip ."), 0);
    Mounted mount(tmp / "a.zip", tmp / "m");
    ASSERT_TRUE(mount.ok());
    std::vector<std::vector<std::string>> faults(kReaders);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&, i] {
            // Half read their own file, half share one.
            int file = i % 2 ? i : 0;
            randomReads(tmp / ("m/f" + std::to_string(file)), files[size_t(file)], 200, uint32_t(i), faults[size_t(i)]);
        });
    for (std::thread& reader : readers) reader.join();
    for (auto& fault : faults) EXPECT_TRUE(fault.empty()) << fault.front();
}

// Reads a whole file; the errno of the first failed read, or 0.
int readError(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return errno;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
    }
    int error = got < 0 ? errno : 0;
    ::close(fd);
    return error;
}

int preadError(const fs::path& file, off_t offset) {
    int fd = ::open(file.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return errno;
    char buffer[4096];
    int error = ::pread(fd, buffer, sizeof buffer, offset) < 0 ? errno : 0;
    ::close(fd);
    return error;
}

TEST(Mount, DamageAndChangeAreErrorsAndTheMountStaysUp) {
    REQUIRE_MOUNT();
    REQUIRE_TOOL("zip");
    TempDir tmp;
    const std::vector<uint8_t> data = sampleData(1 << 20, 5);
    writeFile(tmp / "src/a-bad.bin", data.data(), data.size());
    writeFile(tmp / "src/b-good.txt", "good\n");
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && zip -q0 ../stored.zip a-bad.bin b-good.txt && zip -q9 ../deflated.zip "
                  "a-bad.bin b-good.txt"),
              0);
    for (const char* name : {"stored.zip", "deflated.zip"}) {
        SCOPED_TRACE(name);
        // Bytes in the middle of the first entry's data (its CRC no longer holds).
        std::vector<uint8_t> archive = readFile(tmp / name);
        for (size_t i = 0; i < 64; ++i) archive[archive.size() / 3 + i] ^= 0x5A;
        writeFile(tmp / name, archive.data(), archive.size());
        Mounted mount(tmp / name, tmp / "m");
        ASSERT_TRUE(mount.ok());
        EXPECT_EQ(readError(tmp / "m/a-bad.bin"), EIO);
        // Read again from the middle (as the kernel retries a failed read-ahead): still no bytes.
        EXPECT_EQ(preadError(tmp / "m/a-bad.bin", data.size() / 2), EIO);
        EXPECT_EQ(readError(tmp / "m/b-good.txt"), 0);
        EXPECT_EQ(readFile(tmp / "m/b-good.txt"), std::vector<uint8_t>({'g', 'o', 'o', 'd', '\n'}));
        // The archive changes on disk: nothing more is read from it.
        writeFile(tmp / name, archive.data(), archive.size() - 1);
        EXPECT_EQ(readError(tmp / "m/b-good.txt"), ESTALE);
    }
}

// Encrypted data reads with the password given (a comma in it escaped, as
// in any -o option), and fails to open without it (EACCES) or with a wrong
// one (EACCES where the format tells at once, else EIO as the decoded data
// fails its checks).
TEST(Mount, EncryptedEntriesReadWithTheGivenPassword) {
    REQUIRE_MOUNT();
    struct Case {
        const char* archive;
        const char* tool;
        const char* command;
    };
    const Case cases[] = {
        {"crypto.zip", "zip", "zip -q -P 'se cr,et' ARCHIVE data.bin"},
        {"aes.7z", "7zz", "7zz a -bd '-pse cr,et' ARCHIVE data.bin >/dev/null"},
    };
    TempDir tmp;
    const std::vector<uint8_t> data = sampleData(3 << 20, 11);
    writeFile(tmp / "src/data.bin", data.data(), data.size());
    for (const Case& c : cases) {
        if (!haveTool(c.tool)) continue;
        SCOPED_TRACE(c.archive);
        std::string command = c.command;
        command.replace(command.find("ARCHIVE"), 7, quote(tmp / c.archive));
        ASSERT_EQ(run("cd " + quote(tmp / "src") + " && " + command), 0);
        {
            Mounted mount(tmp / c.archive, tmp / "m", "-o 'readers=2,password=se cr\\,et'");
            ASSERT_TRUE(mount.ok());
            EXPECT_TRUE(bytesOf(tmp / "m/data.bin") == data);
            std::vector<std::string> faults;
            randomReads(tmp / "m/data.bin", data, 50, 3, faults);
            EXPECT_TRUE(faults.empty()) << faults.front();
            // The server's arguments in the process list no longer show it.
            EXPECT_NE(run("cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\\0' ' ' | grep -q 'se c[r]'"), 0);
        }
        {
            Mounted mount(tmp / c.archive, tmp / "m");
            ASSERT_TRUE(mount.ok());
            EXPECT_EQ(readError(tmp / "m/data.bin"), EACCES);
        }
        {
            Mounted mount(tmp / c.archive, tmp / "m", "-o password=wrong");
            ASSERT_TRUE(mount.ok());
            int error = readError(tmp / "m/data.bin");
            EXPECT_TRUE(error == EACCES || error == EIO) << error;
        }
    }
}

}  // namespace
}  // namespace zorvex::test
#endif
