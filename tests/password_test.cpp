// Encrypted zip and 7z archives: made at test time by 7zz, and the corpus'
// own, read with the right password, a wrong one and none; and the command
// line's password options.
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/archive.h"
#include "engine/convert.h"
#include "engine/password.h"
#include "engine/stream.h"
#include "tests/archive_support.h"
#include "tests/test_util.h"

namespace zorvex::test {
namespace {

class FixedPassword final : public PasswordSource {
public:
    explicit FixedPassword(std::u16string text) : text_(std::move(text)) {}
    bool askPassword(const std::u16string&, Password& password) override {
        ++asks;
        password.assign(text_.begin(), text_.end());
        return true;
    }
    int asks = 0;

private:
    std::u16string text_;
};

struct Read {
    std::vector<uint8_t> data;
    Status status;
    Status statusBeforeReading;
};

// An entry of the archive's top level or below ("dir/name"), opened with `source`.
Read readEntry(const fs::path& archive, const std::string& entry, PasswordSource* source) {
    std::u16string path = insidePath(archive, entry);
    size_t slash = path.find_last_of(u'\\');
    Ref<Archive> parent(openArchivePath(path.substr(0, slash).c_str(), nullptr, ReadPlan::kBrowse, source));
    Read read;
    if (!parent) return read;
    Ref<InStream> stream(parent->openFileByName(path.c_str() + slash + 1));
    if (!stream) {
        read.status = parent->damaged() ? Status::corrupt() : parent->openFailure();
        return read;
    }
    read.statusBeforeReading = stream->status();
    read.data = readAll(stream.get());
    read.status = stream->status();
    return read;
}

struct Fixture {
    const char* archive;
    const char* switches;
    bool headersEncrypted;
};

const Fixture kFixtures[] = {
    {"zipcrypto_store.zip", "-tzip -mem=ZipCrypto -mm=Copy", false},
    {"zipcrypto_deflate.zip", "-tzip -mem=ZipCrypto -mm=Deflate", false},
    {"aes128_deflate.zip", "-tzip -mem=AES128 -mm=Deflate", false},
    {"aes192_store.zip", "-tzip -mem=AES192 -mm=Copy", false},
    {"aes256_lzma.zip", "-tzip -mem=AES256 -mm=LZMA", false},
    {"aes256_bzip2.zip", "-tzip -mem=AES256 -mm=BZip2", false},
    {"lzma2_solid.7z", "-t7z -ms=on", false},
    {"lzma2_nonsolid_hdrenc.7z", "-t7z -ms=off -mhe=on", true},
    {"ppmd_solid_hdrenc.7z", "-t7z -m0=PPMd -ms=on -mhe=on", true},
    {"lzma_nonsolid.7z", "-t7z -m0=LZMA -ms=off", false},
};

const std::u16string kPassword = u"p\u00e4ssw\u00f6rd\u20ac";  // pässwörd€
const char* const kPasswordUtf8 = "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC";
const std::u16string kAsciiPassword = u"Secret 123";

// 7zz takes only ASCII passwords for zip archives (the corpus has zip
// archives with others).
bool asciiPassword(const Fixture& f) { return std::string(f.archive).ends_with(".zip"); }
std::u16string passwordOf(const Fixture& f) { return asciiPassword(f) ? kAsciiPassword : kPassword; }

class MadeArchives : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveTool("7zz")) return;
        dir_ = new TempDir;
        files_ = {{"small.txt", "hello, world\n"}, {"empty.txt", ""}};
        std::vector<uint8_t> big = sampleData(300000, 7);
        files_["big.bin"] = std::string(big.begin(), big.end());
        for (const auto& [name, text] : files_) writeFile(*dir_ / "in" / name, text);
        for (const Fixture& f : kFixtures)
            ASSERT_EQ(run("cd '" + (*dir_ / "in").string() + "' && LC_ALL=C.UTF-8 7zz a -bso0 -bsp0 " + f.switches +
                          " -p'" + (asciiPassword(f) ? "Secret 123" : kPasswordUtf8) + "' ../" + f.archive +
                          " . >/dev/null"),
                      0)
                << f.archive;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!dir_) GTEST_SKIP() << "7zz is not installed";
    }

    static TempDir* dir_;
    static std::map<std::string, std::string> files_;
};

TempDir* MadeArchives::dir_ = nullptr;
std::map<std::string, std::string> MadeArchives::files_;

// The right password, asked once per archive, gives every file byte for byte.
TEST_F(MadeArchives, RightPasswordReadsEveryFile) {
    for (const Fixture& f : kFixtures) {
        FixedPassword source(passwordOf(f));
        Ref<Archive> a(openArchivePath(enginePath(*dir_ / f.archive).c_str(), nullptr, ReadPlan::kEveryEntry,
                                       &source));
        ASSERT_TRUE(a) << f.archive;
        ASSERT_EQ(a->fileCount(), 3) << f.archive;
        for (const auto& [name, text] : files_) {
            int index = a->findFile(utf8ToWide(name)->c_str());
            ASSERT_GE(index, 0) << f.archive << " " << name;
            // 7z stores no data for an empty file.
            EXPECT_EQ(a->fileMetadata(index).encrypted, !text.empty() || f.archive[0] != 'l' && f.archive[0] != 'p')
                << f.archive << " " << name;
            Ref<InStream> s(a->openFile(index));
            ASSERT_TRUE(s) << f.archive << " " << name;
            std::vector<uint8_t> data = readAll(s.get());
            EXPECT_TRUE(s->status().ok()) << f.archive << " " << name << ": " << describe(s->status());
            EXPECT_EQ(std::string(data.begin(), data.end()), text) << f.archive << " " << name;
        }
        EXPECT_EQ(source.asks, 1) << f.archive;
    }
}

// A wrong password fails before any data is delivered: at the check byte or
// verifier (zip), at the encrypted header or the first block (7z).
TEST_F(MadeArchives, WrongPasswordFailsEarly) {
    for (const Fixture& f : kFixtures) {
        FixedPassword wrong(u"password");
        bool zip = std::string(f.archive).ends_with(".zip");
        Read read = readEntry(*dir_ / f.archive, "big.bin", &wrong);
        EXPECT_TRUE(read.data.empty()) << f.archive;
        if (f.headersEncrypted) {
            Ref<Archive> a(openArchivePath(enginePath(*dir_ / f.archive).c_str(), nullptr, ReadPlan::kBrowse, &wrong));
            ASSERT_TRUE(a) << f.archive;
            EXPECT_EQ(a->fileCount(), 0) << f.archive;
            EXPECT_EQ(a->damageReason(), "wrong password or damaged header") << f.archive;
            continue;
        }
        EXPECT_EQ(read.status.kind(), Status::kWrongPassword) << f.archive << ": " << describe(read.status);
        if (zip) EXPECT_EQ(read.statusBeforeReading.kind(), Status::kWrongPassword) << f.archive;
    }
}

// Without a password source, encrypted data names what it lacks; plain
// headers still list.
TEST_F(MadeArchives, NoPasswordSaysEncrypted) {
    for (const Fixture& f : kFixtures) {
        Read read = readEntry(*dir_ / f.archive, "small.txt", nullptr);
        EXPECT_TRUE(read.data.empty()) << f.archive;
        if (f.headersEncrypted) {
            Ref<Archive> a(openArchivePath(enginePath(*dir_ / f.archive).c_str()));
            ASSERT_TRUE(a) << f.archive;
            EXPECT_EQ(a->damageReason(), "encrypted; give a password with -p") << f.archive;
        } else {
            EXPECT_EQ(read.status.kind(), Status::kEncrypted) << f.archive << ": " << describe(read.status);
        }
    }
}

// A nested archive inside an encrypted one uses the outer archive's
// password: the user is asked once.
TEST_F(MadeArchives, NestedArchiveUsesTheOuterPassword) {
    std::string in = (*dir_ / "in").string();
    ASSERT_EQ(run("cd '" + in + "' && 7zz a -bso0 -t7z -mhe=on -p'Secret 123' ../inner.7z small.txt >/dev/null && "
                  "cd .. && 7zz a -bso0 -tzip -mem=AES256 -p'Secret 123' outer.zip inner.7z >/dev/null"),
              0);
    FixedPassword source(kAsciiPassword);
    Read read = readEntry(*dir_ / "outer.zip", "inner.7z/small.txt", &source);
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), "hello, world\n") << describe(read.status);
    EXPECT_EQ(source.asks, 1);
}

// AE-2 entries have no CRC: a changed byte of the encrypted data is caught by
// the authentication code alone.
TEST_F(MadeArchives, DamagedAesDataFailsItsAuthenticationCode) {
    fs::path copy = *dir_ / "damaged.zip";
    fs::copy_file(*dir_ / "aes192_store.zip", copy, fs::copy_options::overwrite_existing);
    std::vector<uint8_t> bytes = readFile(copy);
    // The first entry: its data after the local header, salt (12) and verifier (2).
    size_t data = 30 + (bytes[26] | bytes[27] << 8) + (bytes[28] | bytes[29] << 8) + 12 + 2;
    bytes[data + 5] ^= 0x01;
    writeFile(copy, bytes.data(), bytes.size());
    std::string first(reinterpret_cast<const char*>(&bytes[30]), bytes[26] | bytes[27] << 8);
    FixedPassword source(kAsciiPassword);
    Read read = readEntry(copy, first, &source);
    EXPECT_EQ(read.status.kind(), Status::kCheckFailed) << first << ": " << describe(read.status);
}

// The command line: the password from -p or a file, none (standard input is
// no terminal here) or a wrong one; a failed entry leaves no file.
TEST_F(MadeArchives, CommandLinePasswords) {
    for (const char* archive : {"zipcrypto_deflate.zip", "lzma2_solid.7z"}) {
        std::string password = std::string(archive).ends_with(".zip") ? "Secret 123" : kPasswordUtf8;
        fs::path passwordFile = *dir_ / "password.txt";
        writeFile(passwordFile, password + "\r\nnot this line\n");
        struct Case {
            std::string options;
            int status;
            std::string message;
        } cases[] = {
            {"-p '" + password + "'", 0, ""},
            {"--password-file '" + passwordFile.string() + "'", 0, ""},
            {"", 1, "small.txt: encrypted; give a password with -p"},
            {"--password wrong", 1, "small.txt: wrong password"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(archive) + " " + c.options);
            fs::path out = *dir_ / "out";
            fs::remove_all(out);
            int status = -1;
            runOutput("'" + cliPath() + "' extract " + c.options + " -C '" + out.string() + "' '" +
                          (*dir_ / archive).string() + "' </dev/null 2>'" + (*dir_ / "err.txt").string() + "'",
                      &status);
            std::string err = fileText(readFile(*dir_ / "err.txt"));
            EXPECT_EQ(status, c.status) << err;
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
            fs::path small = out / fs::path(archive).stem() / "small.txt";
            EXPECT_EQ(fs::exists(small), c.status == 0);
            if (c.status == 0) EXPECT_EQ(fileText(readFile(small)), "hello, world\n");
        }
    }
    std::string listing = runOutput("'" + cliPath() + "' list '" + (*dir_ / "aes128_deflate.zip").string() + "'");
    EXPECT_NE(listing.find("*small.txt"), std::string::npos) << listing;
}

#ifndef _WIN32
// While a command runs, the process list shows no password given on the
// command line, in any of the option's spellings.
TEST(CommandLinePassword, NotShownInTheProcessList) {
    if (!fs::exists("/proc/self/cmdline")) GTEST_SKIP() << "no /proc here";
    for (const char* option : {"-p pw-4711", "-ppw-4711", "--password pw-4711", "--password=pw-4711"}) {
        SCOPED_TRACE(option);
        // zorvex waits on standard input while its arguments are read.
        std::string shown = runOutput("(sleep 1 | '" + cliPath() + "' list " + option +
                                      " - >/dev/null 2>&1 & pid=$!; sleep 0.5; tr '\\0' ' ' </proc/$pid/cmdline)");
        EXPECT_NE(shown.find(" list "), std::string::npos) << shown;
        EXPECT_EQ(shown.find("pw-4711"), std::string::npos) << shown;
    }
}
#endif

#ifndef _WIN32
// Runs a command with standard input and error on a pseudo-terminal, typing
// the next of the answers (argv[1], comma-separated) at each password
// prompt; prints the exit status, a newline, and what the terminal showed.
constexpr char kTypist[] = R"(
import os, pty, select, subprocess, sys
answers = [a.encode() for a in sys.argv[1].split(',') if a]
controller, terminal = pty.openpty()
p = subprocess.Popen(sys.argv[2:], stdin=terminal, stderr=terminal, stdout=subprocess.DEVNULL)
os.close(terminal)
shown, prompts = b'', 0
while True:
    ready, _, _ = select.select([controller], [], [], 20)
    if not ready:
        p.kill()
        break
    try:
        piece = os.read(controller, 4096)
    except OSError:
        break
    if not piece:
        break
    shown += piece
    if shown.count(b'Password for ') > prompts:
        prompts += 1
        os.write(controller, (answers.pop(0) if answers else b'') + b'\n')
sys.stdout.write(str(p.wait()) + '\n' + shown.decode('utf-8', 'replace'))
)";

// With no password option and a terminal for standard input, the password
// is asked there without echo: once per archive named, and kept for the
// archives nested in it.
TEST_F(MadeArchives, TerminalPrompt) {
    REQUIRE_TOOL("python3");
    const fs::path dir = dir_->path();
    writeFile(dir / "typist.py", kTypist);
    ASSERT_EQ(run("cd '" + (dir / "in").string() +
                  "' && 7zz a -bso0 -t7z -mhe=on -p'Secret 123' ../prompt_inner.7z small.txt >/dev/null && cd .. && "
                  "7zz a -bso0 -tzip -mem=AES256 -p'Secret 123' prompt_outer.zip prompt_inner.7z >/dev/null"),
              0);
    struct Case {
        std::string answers;  // typed at the prompts in turn, the first one never to be shown
        std::string command;
        int status;
        std::vector<std::string> asked;  // the archives prompted for, in order
        std::string message;
        std::string extracted;  // a file that must hold small.txt's text afterwards
    } cases[] = {
        {kPasswordUtf8, "extract -C out lzma2_solid.7z", 0, {"lzma2_solid.7z"}, "", "out/lzma2_solid/small.txt"},
        {"nope-4711", "extract -C out lzma2_solid.7z", 1, {"lzma2_solid.7z"}, "small.txt: wrong password", ""},
        {"Secret 123", "cat prompt_outer.zip/prompt_inner.7z/small.txt", 0, {"prompt_outer.zip"}, "", ""},
        {"Secret 123,Secret 123", "extract -C out aes256_lzma.zip zipcrypto_store.zip", 0,
         {"aes256_lzma.zip", "zipcrypto_store.zip"}, "", "out/zipcrypto_store/small.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        fs::remove_all(dir / "out");
        std::string got = runOutput("cd '" + dir.string() + "' && python3 typist.py '" + c.answers + "' '" +
                                    cliPath() + "' " + c.command);
        size_t newline = got.find('\n');
        ASSERT_NE(newline, std::string::npos) << got;
        const std::string shown = got.substr(newline + 1);
        EXPECT_EQ(got.substr(0, newline), std::to_string(c.status)) << shown;
        std::vector<std::string> asked;
        const std::string prompt = "Password for ";
        for (size_t at = shown.find(prompt); at != std::string::npos; at = shown.find(prompt, at + 1)) {
            size_t colon = shown.find(": ", at);
            ASSERT_NE(colon, std::string::npos) << shown;
            std::string name = shown.substr(at, colon - at);
            asked.push_back(name.substr(name.find_last_of('/') + 1));
        }
        EXPECT_EQ(asked, c.asked) << shown;
        EXPECT_EQ(shown.find(c.answers.substr(0, c.answers.find(','))), std::string::npos) << shown;
        EXPECT_NE(shown.find(c.message), std::string::npos) << shown;
        if (!c.extracted.empty()) EXPECT_EQ(fileText(readFile(dir / c.extracted)), "hello, world\n");
    }
}
#endif

// Every file of the corpus' encrypted zip and 7z archives (with the
// passwords they were made with), and the plain files beside encrypted ones.
TEST(PasswordCorpus, EncryptedZipAnd7zFilesRead) {
    REQUIRE_CORPUS(corpus);
    std::map<std::string, std::string> passwords;
    std::set<std::string> strong;  // a cipher outside what is decrypted here
    std::ifstream list(corpus / "encrypted" / "PASSWORDS.tsv");
    std::string line;
    std::getline(list, line);
    while (std::getline(list, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        // Archives with a password per entry are not for this test.
        if (f.size() >= 6 && f[5].empty()) passwords.emplace(f[0], f[1]);
        if (f.size() >= 4 && f[3].find("strong encryption") != std::string::npos) strong.insert(f[0]);
    }
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    std::getline(manifest, line);
    int checked = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        // Rows of entries once refused for their encryption state the size alone.
        bool refused = f.size() >= 4 && f[1] == "refused" && !f[2].empty();
        // Passwords in a legacy code page (the same text in other bytes) no peer checked.
        bool listed = f[1] == "file" || f[1] == "unverified";
        if (f.size() < 4 || (!listed && !refused) || !passwords.count(f[0])) continue;
        if (!f[0].ends_with(".zip") && !f[0].ends_with(".7z")) continue;
        FixedPassword source(*utf8ToWide(passwords[f[0]]));
        Read read = readEntry(corpus / f[0], f[2], &source);
        if (strong.count(f[0]) && f[1] == "refused") {
            EXPECT_EQ(describe(read.status), "encryption method not supported") << f[0] << " " << f[2];
            continue;
        }
        EXPECT_TRUE(read.status.ok()) << f[0] << " " << f[2] << ": " << describe(read.status);
        if (refused) EXPECT_EQ(std::to_string(read.data.size()), f[3]) << f[0] << " " << f[2];
        else EXPECT_EQ(sha256Hex(read.data), f[4]) << f[0] << " " << f[2];
        ++checked;
    }
    EXPECT_GT(checked, 60);
}

}  // namespace
}  // namespace zorvex::test
