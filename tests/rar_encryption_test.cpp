// Encrypted "rar" archives of both formats: the corpus archives with their
// passwords byte for byte, plain entries beside encrypted ones without a
// password, wrong passwords, encrypted headers, and patched copies (damaged
// check values, keyed checksums, refused key derivation costs, old ciphers).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "codecs/crypto/rar_cipher.h"
#include "engine/archive.h"
#include "engine/checked_stream.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/format_registry.h"
#include "engine/password.h"
#include "engine/stream.h"
#include "tests/archive_support.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::fs::path;

class GivenPassword final : public PasswordSource {
public:
    explicit GivenPassword(std::optional<std::u16string> password) : password_(std::move(password)) {}
    bool askPassword(const std::u16string&, Password& password) override {
        ++asked;
        if (!password_) return false;
        password.assign(password_->begin(), password_->end());
        return true;
    }
    int asked = 0;

private:
    std::optional<std::u16string> password_;
};

std::u16string wide(const std::string& utf8) { return utf8ToWide(utf8).value_or(u""); }

// Opens `file` asking `source` for the password; the opener's status says why it failed.
Ref<Archive> openWith(const path& file, GivenPassword* source) {
    return Ref<Archive>(openArchivePath(test::enginePath(file).c_str(), nullptr, ReadPlan::kBrowse, source));
}

// The stream of a "/"-separated path inside `archive`, checked against its
// stored CRC or hash; null with the failure in `failure`.
Ref<InStream> openInside(Archive* archive, const std::string& inner, Status* failure = nullptr) {
    Ref<Archive> level = Ref<Archive>::share(archive);
    std::string rest = inner;
    for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest = rest.substr(slash + 1)) {
        level = Ref<Archive>(level->openFolderByName(wide(rest.substr(0, slash)).c_str()));
        if (!level) return Ref<InStream>();
    }
    int index = level->findFile(wide(rest).c_str());
    Ref<InStream> stream(level->openFile(index));
    if (!stream) {
        if (failure) *failure = level->openFailure();
        return stream;
    }
    return Ref<InStream>(openChecked(stream.detach(), level->fileChecks(index)));
}

struct Read {
    std::vector<uint8_t> data;
    Status status;
    bool whole = false;
};

Read readEntry(Archive* archive, const std::string& inner) {
    Read r;
    Ref<InStream> stream = openInside(archive, inner, &r.status);
    if (!stream) return r;
    r.data = test::readAll(stream.get());
    r.status = stream->status();
    r.whole = r.status.ok() && stream->size() == int64_t(r.data.size());
    return r;
}

std::vector<std::vector<std::string>> tsv(const path& file) {
    std::ifstream in(file);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream fields(line);
        for (std::string col; std::getline(fields, col, '\t');) cols.push_back(col);
        cols.resize(8);
        rows.push_back(cols);
    }
    return rows;
}

// ---- Corpus --------------------------------------------------------------------

// Every RAR archive with an AES password in the corpus: each file row of it
// (or the entries the password is for) reads whole, checked by its stored
// CRC or hash, and equal to the manifest's SHA-256 where it has one.
TEST(RarEncryptionCorpus, EveryEncryptedFileReadsWithItsPassword) {
    REQUIRE_CORPUS(corpus);
    auto manifest = tsv(corpus / "MANIFEST.tsv");
    int checked = 0;
    for (const auto& pw : tsv(corpus / "encrypted" / "PASSWORDS.tsv")) {
        const std::string& archiveName = pw[0];
        if (pw[3].rfind("RAR 3.x", 0) != 0 && pw[3].rfind("RAR 5.0", 0) != 0) continue;
        SCOPED_TRACE(archiveName + " with " + pw[1]);
        GivenPassword source(wide(pw[1]));
        Ref<Archive> archive = openWith(corpus / archiveName, &source);
        ASSERT_TRUE(archive);
        for (const auto& row : manifest) {
            if (row[0] != archiveName || (row[1] != "file" && row[1] != "refused") || row[2].empty()) continue;
            if (!pw[5].empty() && row[2] != pw[5]) continue;
            // Rows of plain entries beside encrypted ones with other passwords.
            if (!pw[5].empty() || row[1] == "refused" || row[0].rfind("encrypted/", 0) == 0) {
                Read r = readEntry(archive.get(), row[2]);
                EXPECT_TRUE(r.whole) << row[2] << ": " << describe(r.status);
                if (!row[3].empty()) EXPECT_EQ(int64_t(r.data.size()), std::stoll(row[3])) << row[2];
                if (!row[4].empty()) EXPECT_EQ(test::sha256Hex(r.data), row[4]) << row[2];
                ++checked;
            }
        }
    }
    EXPECT_GE(checked, 50);
}

// Encrypted entries beside plain ones: without a password the plain ones
// read, whatever was read before them, and the encrypted ones say why not.
TEST(RarEncryption, WithoutAPasswordPlainEntriesReadAndEncryptedOnesSaySo) {
    REQUIRE_CORPUS(corpus);
    struct Case {
        const char* archive;
        std::vector<std::string> plain, encrypted;
    };
    const Case cases[] = {
        {"rar/test_read_format_rar4_encrypted.rar", {"a.txt", "c.txt"}, {"b.txt", "d.txt"}},
        {"rar5/test_read_format_rar5_encrypted.rar", {"a.txt", "c.txt"}, {"b.txt", "d.txt"}},
        {"rar/test_read_format_rar_encryption_partially.rar", {"bar.txt"}, {"foo.txt"}},
        {"encrypted/sharpcompress-Rar5.encrypted_filesOnly.rar", {}, {"exe/test.exe"}},
        {"rar5/test_read_format_rar5_solid_encrypted.rar", {}, {"a.txt", "d.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        GivenPassword none(std::nullopt);
        Ref<Archive> archive = openWith(corpus / c.archive, &none);
        ASSERT_TRUE(archive);
        EXPECT_EQ(none.asked, 0) << "listing plain headers asks for nothing";
        for (const std::string& name : c.encrypted) {
            Read r = readEntry(archive.get(), name);
            EXPECT_EQ(r.status.kind(), Status::kEncrypted) << name << ": " << describe(r.status);
            EXPECT_TRUE(r.data.empty()) << name;
        }
        for (const std::string& name : c.plain) EXPECT_TRUE(readEntry(archive.get(), name).whole) << name;
        // Listings mark the encrypted ones.
        auto marked = [&](const std::string& name) {
            int index = archive->findFile(wide(name).c_str());
            return index >= 0 && archive->fileMetadata(index).encrypted;
        };
        for (const std::string& name : c.plain) EXPECT_FALSE(marked(name)) << name;
        if (c.encrypted.front().find('/') == std::string::npos) EXPECT_TRUE(marked(c.encrypted.front()));
    }
}

// A wrong password fails before any data where the format can tell: at
// the 5.0 check value, or at the first encrypted header. Format 1.5-4.x data
// shows it only in the data itself.
TEST(RarEncryption, WrongPasswordsFail) {
    REQUIRE_CORPUS(corpus);
    struct Case {
        const char* archive;
        const char* entry;  // null: the headers are encrypted
        bool early;         // told before any data
    };
    const Case cases[] = {
        {"rar5/rar5-psw.rar", "stest1.txt", true},
        {"encrypted/unrarrs-utf8-password.rar", ".gitignore", true},
        {"encrypted/unrarkit-Test_Archive_Password.rar", "Test File B.jpg", false},
        {"rar/test_read_format_rar_encryption_data.rar", "foo.txt", false},
        {"rar5/rar5-hpsw.rar", nullptr, true},
        {"encrypted/unrarrs-hpw-password.rar", nullptr, true},
        {"rar/test_read_format_rar4_encrypted_filenames.rar", nullptr, true},
        {"encrypted/unrarswift-encrypted-header.rar", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        GivenPassword wrong(u"not the password");
        Ref<Archive> archive = openWith(corpus / c.archive, &wrong);
        ASSERT_TRUE(archive);
        if (!c.entry) {
            EXPECT_EQ(archive->damageReason(), "wrong password");
            EXPECT_EQ(archive->fileCount() + archive->folderCount(), 0);
            continue;
        }
        Read r = readEntry(archive.get(), c.entry);
        EXPECT_FALSE(r.whole);
        if (c.early) {
            EXPECT_EQ(r.status.kind(), Status::kWrongPassword) << describe(r.status);
            EXPECT_TRUE(r.data.empty());
        }
    }
}

// Headers encrypted: nothing is listed without the password, and the
// archive says so.
TEST(RarEncryption, EncryptedHeadersNeedThePassword) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar5/rar5-hpsw.rar", "rar/rar3-comment-hpsw.rar",
                             "encrypted/sharpcompress-Rar.encrypted_filesAndHeader.rar"}) {
        SCOPED_TRACE(name);
        GivenPassword none(std::nullopt);
        Ref<Archive> archive = openWith(corpus / name, &none);
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->damageReason(), describe(Status::encrypted()));
        EXPECT_EQ(archive->fileCount() + archive->folderCount(), 0);
        EXPECT_EQ(none.asked, 1);
    }
}

// ---- Patched copies --------------------------------------------------------------

// A format 5.0 archive's bytes, with a byte changed in the header block that
// holds `at` and that block's CRC made to hold again.
std::vector<uint8_t> patchRar5Header(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
    bytes.at(at) = value;
    size_t block = 8;
    while (block + 5 < bytes.size()) {
        auto vint = [&](size_t& p) {
            uint64_t v = 0;
            for (int shift = 0; p < bytes.size(); shift += 7) {
                uint8_t b = bytes[p++];
                v |= uint64_t(b & 0x7F) << shift;
                if (!(b & 0x80)) break;
            }
            return v;
        };
        size_t p = block + 4;
        uint64_t size = vint(p);
        size_t headerEnd = p + size;
        uint64_t type = vint(p), flags = vint(p), dataSize = 0;
        (void)type;
        if (flags & 1) vint(p);
        if (flags & 2) dataSize = vint(p);
        if (at < headerEnd) {
            uint32_t crc = crc32Update(0, bytes.data() + block + 4, headerEnd - block - 4);
            for (int i = 0; i < 4; ++i) bytes[block + i] = uint8_t(crc >> (8 * i));
            return bytes;
        }
        block = headerEnd + dataSize;
    }
    ADD_FAILURE() << "no header holds offset " << at;
    return bytes;
}

size_t find(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& what) {
    auto it = std::search(bytes.begin(), bytes.end(), what.begin(), what.end());
    EXPECT_NE(it, bytes.end());
    return size_t(it - bytes.begin());
}

// A check value whose own checksum fails says nothing: the right password
// still reads (the keyed CRC confirms it), a wrong one fails at the data's check.
TEST(RarEncryption, DamagedCheckValueLeavesItToTheDataChecksum) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> original = test::readFile(corpus / "rar5" / "rar5-psw.rar");
    const size_t check = find(original, {0x81, 0x51, 0xcf, 0xf6, 0x36, 0x49, 0xc1, 0x6e});
    test::TempDir dir;
    test::writeFile(dir / "a.rar", patchRar5Header(original, check, original[check] ^ 0x40).data(), original.size());
    GivenPassword right(u"password"), wrong(u"wrong");
    Ref<Archive> withRight = openWith(dir / "a.rar", &right);
    ASSERT_TRUE(withRight);
    EXPECT_TRUE(readEntry(withRight.get(), "stest1.txt").whole);
    test::writeFile(dir / "b.rar", patchRar5Header(original, check, original[check] ^ 0x40).data(), original.size());
    Ref<Archive> withWrong = openWith(dir / "b.rar", &wrong);
    ASSERT_TRUE(withWrong);
    Read r = readEntry(withWrong.get(), "stest1.txt");
    EXPECT_FALSE(r.whole);
    EXPECT_NE(r.status.kind(), Status::kWrongPassword);
}

// Keyed CRC and BLAKE2sp values: changed data fails them, with the right password.
TEST(RarEncryption, KeyedChecksumsCatchChangedData) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar5/rar5-psw.rar", "rar5/rar5-psw-blake.rar"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = test::readFile(corpus / name);
        test::TempDir dir;
        test::writeFile(dir / "good.rar", bytes.data(), bytes.size());
        // stest2.txt is stored: its last cipher block changes only its own plain text.
        GivenPassword password(u"password");
        Ref<Archive> good = openWith(dir / "good.rar", &password);
        ASSERT_TRUE(good);
        EXPECT_TRUE(readEntry(good.get(), "stest2.txt").whole);
        size_t end = bytes.size();
        // The end-of-archive block is the last 8 bytes; before it, stest2.txt's data ends.
        bytes[end - 8 - 20] ^= 1;
        test::writeFile(dir / "bad.rar", bytes.data(), bytes.size());
        Ref<Archive> bad = openWith(dir / "bad.rar", &password);
        ASSERT_TRUE(bad);
        Read r = readEntry(bad.get(), "stest2.txt");
        EXPECT_FALSE(r.whole);
        EXPECT_EQ(r.status.kind(), Status::kCheckFailed) << describe(r.status);
    }
}

// The key derivation's cost comes from the file: above 2^24 rounds the
// entry, or an archive with encrypted headers, is refused at once.
TEST(RarEncryption, KeyDerivationCostIsBounded) {
    REQUIRE_CORPUS(corpus);
    test::TempDir dir;
    std::vector<uint8_t> files = test::readFile(corpus / "rar5" / "rar5-psw.rar");
    const size_t salt = find(files, {0x7e, 0x98, 0x2c, 0xdd, 0x1a, 0xe2, 0x1c, 0x36});
    ASSERT_EQ(files[salt - 1], 15);
    test::writeFile(dir / "files.rar", patchRar5Header(files, salt - 1, 31).data(), files.size());
    std::vector<uint8_t> headers = test::readFile(corpus / "rar5" / "rar5-hpsw.rar");
    ASSERT_EQ(headers[17], 15);
    test::writeFile(dir / "headers.rar", patchRar5Header(headers, 17, 40).data(), headers.size());

    const auto start = std::chrono::steady_clock::now();
    GivenPassword password(u"password");
    Ref<Archive> archive = openWith(dir / "files.rar", &password);
    ASSERT_TRUE(archive);
    Read r = readEntry(archive.get(), "stest1.txt");
    EXPECT_FALSE(r.whole);
    EXPECT_NE(describe(r.status).find("cost"), std::string::npos) << describe(r.status);
    EXPECT_TRUE(readEntry(archive.get(), "stest2.txt").whole) << "the other file keeps its cost";
    GivenPassword again(u"password");
    Ref<Archive> refused = openWith(dir / "headers.rar", &again);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->damageReason(), describe(rar_crypto::costTooHigh()));
    EXPECT_EQ(again.asked, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Files encrypted with the ciphers before AES are listed, marked, and refused when read.
TEST(RarEncryption, OldCiphersAreListedAndRefused) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar/rar15-password-stored.rar", "rar/rar20-password-compressed.rar"}) {
        SCOPED_TRACE(name);
        GivenPassword password(u"password");
        Ref<Archive> archive = openWith(corpus / name, &password);
        ASSERT_TRUE(archive);
        int index = archive->findFile(u"SECRET.TXT");
        ASSERT_GE(index, 0);
        EXPECT_TRUE(archive->fileMetadata(index).encrypted);
        Read r = readEntry(archive.get(), "SECRET.TXT");
        EXPECT_FALSE(r.whole);
        EXPECT_EQ(describe(r.status), "encryption method not supported");
    }
}

// ---- Hostile copies ---------------------------------------------------------------

// Every file of an archive opened from memory with a password, by path; nullopt
// for files that did not read whole or failed their check.
std::map<std::string, std::optional<std::vector<uint8_t>>> readAllWith(const std::vector<uint8_t>& bytes,
                                                                        GivenPassword* source) {
    std::map<std::string, std::optional<std::vector<uint8_t>>> out;
    OpeningWithPassword opening(std::make_shared<ArchivePassword>(source, u"x.rar"));
    Ref<InStream> stream(MemoryStream::create(u"x.rar", nullptr, 0, bytes.data(), bytes.size()));
    Ref<Archive> archive(detectAndOpen(u"x.rar", nullptr, stream.get()));
    if (!archive) return out;
    for (const auto& [name, size] : test::listTree(archive.get())) {
        if (name.ends_with("/")) continue;
        Read r = readEntry(archive.get(), name);
        out[name] = r.whole ? std::optional(r.data) : std::nullopt;
    }
    return out;
}

// Cut and bit-flipped copies of encrypted archives (headers too), read with
// the right password: nothing crashes, and what reads whole is what the
// original holds.
TEST(RarEncryptionHostile, DamagedCopiesNeverClaimSuccess) {
    REQUIRE_CORPUS(corpus);
    std::mt19937 random(11);
    for (const char* name : {"rar5/rar5-hpsw.rar", "rar/rar3-comment-hpsw.rar", "rar5/rar5-psw-blake.rar",
                             "rar/test_read_format_rar4_solid_encrypted.rar",
                             "rar5/test_read_format_rar5_solid_encrypted_filenames.rar"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> a = test::readFile(corpus / name);
        GivenPassword password(u"password");
        auto original = readAllWith(a, &password);
        ASSERT_FALSE(original.empty());
        for (const auto& [entry, data] : original) EXPECT_TRUE(data) << entry;
        auto check = [&](const std::vector<uint8_t>& damaged) {
            GivenPassword again(u"password");
            for (const auto& [entry, data] : readAllWith(damaged, &again)) {
                if (!data) continue;
                auto it = original.find(entry);
                if (it != original.end()) EXPECT_EQ(*data, *it->second) << entry;
            }
        };
        for (size_t cut = 0; cut < a.size(); cut += std::max<size_t>(a.size() / 40, 16))
            check(std::vector<uint8_t>(a.begin(), a.begin() + long(cut)));
        for (int i = 0; i < 40; ++i) {
            std::vector<uint8_t> damaged = a;
            damaged[8 + random() % (a.size() - 8)] ^= uint8_t(1 << (random() % 8));
            check(damaged);
        }
    }
}

// ---- Command line ------------------------------------------------------------------

// Without a password (and no terminal to ask at) the command fails with exit
// status 1, names each encrypted file, extracts the plain ones, and leaves no
// file for the encrypted ones.
TEST(RarEncryptionCli, WithoutAPasswordEncryptedFilesFailAndLeaveNoFile) {
    REQUIRE_CORPUS(corpus);
    if (!test::fs::exists(test::cliPath())) GTEST_SKIP() << "zorvex is not built";
    REQUIRE_TOOL("sh");
    for (const char* name : {"rar/test_read_format_rar4_encrypted.rar", "rar5/test_read_format_rar5_encrypted.rar"}) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        int status = 0;
        std::string out = test::runOutput("'" + test::cliPath() + "' extract -C '" + dir.path().string() + "' '" +
                                              (corpus / name).string() + "' </dev/null 2>&1",
                                          &status);
        EXPECT_EQ(status, 1) << out;
        EXPECT_NE(out.find("b.txt: encrypted; give a password with -p"), std::string::npos) << out;
        EXPECT_NE(out.find("d.txt: encrypted; give a password with -p"), std::string::npos) << out;
        size_t files = 0;
        for (const auto& entry : test::fs::recursive_directory_iterator(dir.path())) {
            if (!entry.is_regular_file()) continue;
            ++files;
            std::string leaf = entry.path().filename().string();
            EXPECT_TRUE(leaf == "a.txt" || leaf == "c.txt") << leaf;
        }
        EXPECT_EQ(files, 2u);
    }
}

}  // namespace
}  // namespace zorvex
