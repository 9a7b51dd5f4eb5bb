// The version 1.5, 2.0 and 5.0 RAR block decoders through their codecs: real
// entries of the corpus (their packed data found by tests/rar_packed.py),
// hand-made streams for what no sample holds, and damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/rar/rar50.h"
#include "codecs/rar/unpacker.h"
#include "engine/crc32.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

namespace fs = std::filesystem;

struct PackedEntry {
    int64_t offset = 0;
    int64_t packedSize = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    int version = 0;
    uint64_t dictionary = 0;
    bool solid = false;
    std::string name;
};

// One member of a codec's input: packed bytes and the size they decode to.
struct Member {
    std::vector<uint8_t> packed;
    uint64_t size = 0;
};

const char16_t* codecOf(int version) { return version == 15 ? u"rar15" : version == 50 ? u"rar50" : u"rar20"; }

// The compressed entries of RAR archives by archive path, from one run of
// tests/rar_packed.py.
std::map<std::string, std::vector<PackedEntry>> packedEntries(const std::vector<fs::path>& archives) {
    std::string command = "python3 '" + std::string(ZORVEX_SOURCE_DIR) + "/tests/rar_packed.py'";
    for (const fs::path& archive : archives) command += " '" + archive.string() + "'";
    int status = 0;
    std::istringstream lines(test::runOutput(command, &status));
    EXPECT_EQ(status, 0);
    std::map<std::string, std::vector<PackedEntry>> found;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string path;
        PackedEntry e;
        int solid = 0;
        std::getline(fields, path, '\t');
        fields >> e.offset >> e.packedSize >> e.size >> e.crc >> e.version >> e.dictionary >> solid;
        e.solid = solid != 0;
        std::getline(fields >> std::ws, e.name);
        found[path].push_back(e);
    }
    return found;
}

// The compressed entries of a corpus archive with their packed bytes.
struct CorpusArchive {
    std::vector<uint8_t> bytes;
    std::vector<PackedEntry> entries;

    explicit CorpusArchive(const fs::path& path)
        : bytes(test::readFile(path)), entries(packedEntries({path})[path.string()]) {}
    CorpusArchive(std::vector<uint8_t> archiveBytes, std::vector<PackedEntry> listed)
        : bytes(std::move(archiveBytes)), entries(std::move(listed)) {}

    const PackedEntry& entry(const std::string& name) const {
        for (const PackedEntry& e : entries)
            if (e.name == name) return e;
        ADD_FAILURE() << "no entry " << name;
        return entries.front();
    }
    Member member(const PackedEntry& e) const {
        auto first = bytes.begin() + e.offset;
        return {std::vector<uint8_t>(first, first + e.packedSize), e.size};
    }
};

uint64_t totalSize(const std::vector<Member>& members) {
    uint64_t total = 0;
    for (const Member& m : members) total += m.size;
    return total;
}

// Everything the codec delivers for these members.
std::vector<uint8_t> decode(const char16_t* codec, uint64_t dictionary, const std::vector<Member>& members) {
    std::vector<rar::Member> sizes;
    std::vector<uint8_t> input;
    for (const Member& m : members) sizes.push_back({m.packed.size(), m.size});
    for (const Member& m : members) input.insert(input.end(), m.packed.begin(), m.packed.end());
    Ref<InStream> stream = test::openCodec(codec, input, static_cast<int64_t>(totalSize(members)),
                                           rar::encodeProperties(dictionary, sizes));
    if (!stream) return {};
    return test::readAll(stream.get());
}

std::vector<uint8_t> decode(const char16_t* codec, const Member& member, uint64_t dictionary = 0) {
    return decode(codec, dictionary, std::vector<Member>{member});
}

bool isPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Cut short anywhere, the data decodes to a prefix of the right output and
// never to a complete wrong one; with random bits flipped it ends without
// delivering more than its size.
void checkDamage(const char16_t* codec, const Member& good, uint64_t dictionary) {
    std::vector<uint8_t> expected = decode(codec, good, dictionary);
    ASSERT_EQ(expected.size(), good.size);
    size_t step = std::max<size_t>(1, good.packed.size() / 400);
    for (size_t cut = 0; cut < good.packed.size(); cut += step) {
        Member damaged{std::vector<uint8_t>(good.packed.begin(), good.packed.begin() + cut), good.size};
        std::vector<uint8_t> got = decode(codec, damaged, dictionary);
        ASSERT_TRUE(isPrefix(got, expected)) << "cut at " << cut;
    }
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        Member damaged = good;
        for (int flips = 1 + i % 3; flips > 0; --flips)
            damaged.packed[random() % damaged.packed.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
        ASSERT_LE(decode(codec, damaged, dictionary).size(), good.size);
    }
}

// Bits written most significant first, for hand-made streams.
class BitWriter {
public:
    void put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
            ++bits_;
        }
    }
    void append(const BitWriter& other) {
        for (size_t i = 0; i < other.bits_; ++i) put((other.bytes_[i / 8] >> (7 - i % 8)) & 1, 1);
    }
    size_t bits() const { return bits_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t bits_ = 0;
};

// --- Real entries ---

TEST(RarDecoders, CorpusEntriesDecodeToTheirChecksums) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    // Solid members join the group of the entry before them.
    const char* archives[] = {
        "rar/Rar15.rar",
        "rar/BoatModernEnglish-regular-unpack15-dos.rar",
        "rar/BoatModernEnglish-regular-unpack15-win.rar",
        "rar/rar15-comment.rar",
        "rar/rar15-comment-lock.rar",
        "rar/Rar2.rar",
        "rar/rar2-unix-owner.rar",
        "rar/BoatModernEnglish-regular-unpack20.rar",
        "rar/BoatModernEnglish-audio-text-unpack20.rar",
        "rar5/Rar5.solid.rar",
        "rar5/rar5-crc.rar",
        "rar5/rar5-solid-qo.rar",
        "rar5/test_read_format_rar5_arm.rar",
        "rar5/test_read_format_rar5_solid.rar",
        "rar5/test_read_format_rar5_compressed.rar",
        "rar5/test_read_format_rar5_win32.rar",
    };
    std::vector<fs::path> paths;
    for (const char* name : archives) paths.push_back(corpus / name);
    std::map<std::string, std::vector<PackedEntry>> listed = packedEntries(paths);
    int decoded = 0;
    for (const fs::path& path : paths) {
        SCOPED_TRACE(path.filename().string());
        CorpusArchive archive(test::readFile(path), listed[path.string()]);
        ASSERT_FALSE(archive.entries.empty());
        std::vector<std::vector<const PackedEntry*>> groups;
        for (const PackedEntry& e : archive.entries) {
            if (!e.solid || groups.empty()) groups.emplace_back();
            groups.back().push_back(&e);
        }
        for (const auto& group : groups) {
            std::vector<Member> members;
            for (const PackedEntry* e : group) members.push_back(archive.member(*e));
            std::vector<uint8_t> out = decode(codecOf(group[0]->version), group[0]->dictionary, members);
            ASSERT_EQ(out.size(), totalSize(members)) << group[0]->name;
            size_t at = 0;
            for (const PackedEntry* e : group) {
                EXPECT_EQ(crc32Update(0, out.data() + at, e->size), e->crc) << e->name;
                at += e->size;
                ++decoded;
            }
        }
    }
    EXPECT_GE(decoded, 30);
}

TEST(RarDecoders, CommentArchiveFileDecodesToItsText) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    for (const char* name : {"rar/rar15-comment.rar", "rar/rar15-comment-lock.rar"}) {
        CorpusArchive archive(corpus / name);
        EXPECT_EQ(test::fileText(decode(u"rar15", archive.member(archive.entry("FILE1.TXT")))), "foooo\r\n") << name;
        auto viaReader = test::entryData(test::insidePath(corpus / name, "FILE1.TXT"));
        ASSERT_TRUE(viaReader) << name;
        EXPECT_EQ(test::fileText(*viaReader), "foooo\r\n") << name;
    }
}

// Archives of a corpus folder whose compressed entries all have one of `versions`.
std::set<std::string> archivesOf(const fs::path& corpus, const std::string& folder, std::set<int> versions) {
    std::vector<fs::path> paths;
    for (const auto& file : fs::directory_iterator(corpus / folder))
        if (file.path().extension() == ".rar") paths.push_back(file.path());
    std::set<std::string> found;
    for (const auto& [path, entries] : packedEntries(paths)) {
        bool ours = true;
        for (const PackedEntry& e : entries) ours &= versions.count(e.version) > 0;
        if (ours) found.insert(folder + "/" + fs::path(path).filename().string());
    }
    return found;
}

TEST(RarDecoders, CorpusRowsThroughTheReader) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    std::set<std::string> old = archivesOf(corpus, "rar", {15, 20, 26});
    EXPECT_GE(old.size(), 12u);
    test::checkCorpusFolder(corpus, "rar", {}, old);
    std::set<std::string> rar5 = archivesOf(corpus, "rar5", {50});
    EXPECT_GE(rar5.size(), 20u);
    test::checkCorpusFolder(corpus, "rar5", {}, rar5);
}

// --- Version 1.5 ---

TEST(Rar15Decoder, InvalidDataIsAnErrorAfterTheGoodPrefix) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive good(corpus / "rar/BoatModernEnglish-regular-unpack15-dos.rar");
    std::vector<uint8_t> wav = decode(u"rar15", good.member(good.entry("BOATMO~1.WAV")));
    ASSERT_EQ(wav.size(), 56464u);
    // A flag symbol past the list's end, and a distance before the first byte.
    for (const char* name : {"rar/flagsplace-oob.rar", "rar/void-dist-v15.rar"}) {
        SCOPED_TRACE(name);
        CorpusArchive bad(corpus / name);
        std::vector<uint8_t> got = decode(u"rar15", bad.member(bad.entry("BOATMO~1.WAV")));
        EXPECT_LT(got.size(), wav.size());
        EXPECT_TRUE(isPrefix(got, wav));
        EXPECT_EQ(decode(u"rar15", bad.member(bad.entry("LICENSE.TXT"))).size(), 107u);
    }
}

TEST(Rar15Decoder, StopsAtTheMemberSizeWithoutOvershooting) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive archive(corpus / "rar/Rar15.rar");
    Member text = archive.member(archive.entry("TECT.TXT"));
    std::vector<uint8_t> full = decode(u"rar15", text);
    ASSERT_EQ(full.size(), 15498u);
    int exact = 0;
    for (uint64_t size = 1; size < 600; size += 7) {
        Member shorter{text.packed, size};
        std::vector<uint8_t> got = decode(u"rar15", shorter);
        // A match that would run past the size is damage: the output stops before it.
        ASSERT_TRUE(isPrefix(got, full)) << size;
        exact += got.size() == size;
    }
    EXPECT_GT(exact, 0);
}

TEST(Rar15Decoder, DamagedInputNeverCrashesOrLies) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive archive(corpus / "rar/Rar15.rar");
    checkDamage(u"rar15", archive.member(archive.entry("TECT.TXT")), 0);
    CorpusArchive comment(corpus / "rar/rar15-comment.rar");
    checkDamage(u"rar15", comment.member(comment.entry("FILE1.TXT")), 0);
}

// --- Version 2.0 ---

// A table header of the given mode whose pre-code gives every symbol 5 bits
// (pre-symbol s is coded as the 5-bit number s), followed by `lengths` coded
// as plain values (the previous lengths being zero).
BitWriter rar20Tables(bool audio, int channels, const std::vector<uint8_t>& lengths) {
    BitWriter w;
    w.put(audio ? 2 : 0, 2);
    if (audio) w.put(static_cast<uint32_t>(channels - 1), 2);
    for (int i = 0; i < 19; ++i) w.put(5, 4);
    for (uint8_t length : lengths) w.put(length, 5);
    return w;
}

// Audio lengths with one-bit codes for delta `delta` ("0") and new tables ("1").
std::vector<uint8_t> audioLengths(int channels, int delta) {
    std::vector<uint8_t> lengths(257 * channels, 0);
    for (int c = 0; c < channels; ++c) lengths[c * 257 + delta] = lengths[c * 257 + 256] = 1;
    return lengths;
}

TEST(Rar20Decoder, FewerAudioChannelsRestartTheChannelCycle) {
    const int delta = 5;
    const int after = 20;
    // Three bytes on four channels (the next one would be channel 3), then a
    // one-channel table: every later byte belongs to channel 0.
    BitWriter four = rar20Tables(true, 4, audioLengths(4, delta));
    four.put(0, 3);
    four.put(1, 1);
    four.append(rar20Tables(true, 1, audioLengths(1, delta)));
    four.put(0, after);
    // The same continuation where channel 0 was the only one used before.
    BitWriter one = rar20Tables(true, 1, audioLengths(1, delta));
    one.put(0, 1);
    one.put(1, 1);
    one.append(rar20Tables(true, 1, audioLengths(1, delta)));
    one.put(0, after);

    std::vector<uint8_t> fromFour = decode(u"rar20", Member{four.bytes(), 3 + after});
    std::vector<uint8_t> fromOne = decode(u"rar20", Member{one.bytes(), 1 + after});
    ASSERT_EQ(fromFour.size(), 3u + after);
    ASSERT_EQ(fromOne.size(), 1u + after);
    // Channels 0 to 2 each predicted their first byte from nothing.
    EXPECT_EQ(fromFour[0], static_cast<uint8_t>(-delta));
    EXPECT_EQ(fromFour[1], fromFour[0]);
    EXPECT_EQ(std::vector<uint8_t>(fromFour.begin() + 3, fromFour.end()),
              std::vector<uint8_t>(fromOne.begin() + 1, fromOne.end()));
}

TEST(Rar20Decoder, TableRepeatsStopAtTheTableEnd) {
    // Four audio channels fill all 1028 lengths; the last channel codes
    // deltas 5 and 6 and its zeros end in runs of 138 that reach 26 lengths
    // past the table.
    std::vector<uint8_t> lengths = audioLengths(4, 5);
    lengths[3 * 257 + 256] = 0;
    lengths[3 * 257 + 6] = 1;
    lengths.resize(3 * 257 + 7);
    BitWriter w = rar20Tables(true, 4, lengths);
    for (int run = 0; run < 2; ++run) {
        w.put(18, 5);
        w.put(127, 7);
    }
    w.put(0, 3);
    w.put(1, 1);
    std::vector<uint8_t> out = decode(u"rar20", Member{w.bytes(), 4});
    ASSERT_EQ(out.size(), 4u);
    // Channel 3 decoded "1" as delta 6.
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFB, 0xFB, 0xFB, 0xFA}));
}

TEST(Rar20Decoder, OversubscribedCodeLengthsAreRejected) {
    // 257 codes of 8 bits do not fit in 8 bits.
    std::vector<uint8_t> lengths(374, 0);
    std::fill(lengths.begin(), lengths.begin() + 257, 8);
    BitWriter w = rar20Tables(false, 1, lengths);
    for (int i = 0; i < 4; ++i) w.put('x', 8);
    EXPECT_TRUE(decode(u"rar20", Member{w.bytes(), 4}).empty());
}

TEST(Rar20Decoder, DamagedInputNeverCrashesOrLies) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive lz(corpus / "rar/Rar2.rar");
    checkDamage(u"rar20", lz.member(lz.entries.back()), lz.entries.back().dictionary);
    CorpusArchive audio(corpus / "rar/BoatModernEnglish-audio-text-unpack20.rar");
    checkDamage(u"rar20", audio.member(audio.entries.front()), audio.entries.front().dictionary);
}

// --- Version 5.0 ---

TEST(Rar50Filters, TransformBlocksInTheirFile) {
    // Too short for a call and its address: unchanged.
    std::vector<uint8_t> call = {0xE8, 0x10, 0, 0};
    rar::rar50CallFilter(call.data(), 4, 0, false);
    EXPECT_EQ(call, (std::vector<uint8_t>{0xE8, 0x10, 0, 0}));
    // Absolute targets become relative to the byte after the opcode.
    call = {0xE8, 0x00, 0x01, 0, 0, 0xE9, 0x00, 0x01, 0, 0, 0};
    std::vector<uint8_t> both = call;
    rar::rar50CallFilter(call.data(), 11, 0x10, false);
    EXPECT_EQ(call, (std::vector<uint8_t>{0xE8, 0xEF, 0, 0, 0, 0xE9, 0x00, 0x01, 0, 0, 0}));
    rar::rar50CallFilter(both.data(), 11, 0x10, true);
    EXPECT_EQ(both, (std::vector<uint8_t>{0xE8, 0xEF, 0, 0, 0, 0xE9, 0xEA, 0, 0, 0, 0}));
    // A negative target that lands inside the file wraps into 24 bits.
    call = {0xE8, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    rar::rar50CallFilter(call.data(), 6, 1, false);
    EXPECT_EQ(call, (std::vector<uint8_t>{0xE8, 0xFF, 0xFF, 0xFF, 0x00, 0}));

    std::vector<uint8_t> arm = {0x00, 0x00, 0x10, 0xEB, 0x00, 0x00, 0x10, 0xEA};
    rar::rar50ArmFilter(arm.data(), 8, 8);
    EXPECT_EQ(arm, (std::vector<uint8_t>{0xFE, 0xFF, 0x0F, 0xEB, 0x00, 0x00, 0x10, 0xEA}));

    std::vector<uint8_t> in = {1, 2, 3, 4, 5}, out(5);
    rar::rar50DeltaFilter(in.data(), out.data(), 5, 2);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0xFC, 0xFD, 0xF7, 0xFA}));
}

// A complete last block of a file with tables: pre-code symbol s coded as
// the 5-bit number s, literals and symbol 256 (a filter) as 9-bit numbers
// unless `mainLengths` says otherwise, then `body`.
std::vector<uint8_t> rar50Block(const BitWriter& body, std::vector<uint8_t> mainLengths = {}) {
    if (mainLengths.empty()) mainLengths.assign(257, 9);
    BitWriter w;
    for (int i = 0; i < 20; ++i) w.put(5, 4);
    for (uint8_t length : mainLengths) w.put(length, 5);
    // Zeros for the rest of the 430 lengths, the last run clipped at the end.
    for (int left = 430 - static_cast<int>(mainLengths.size()); left > 0; left -= 138) {
        w.put(19, 5);
        w.put(127, 7);
    }
    w.append(body);
    size_t size = (w.bits() + 7) / 8;
    int lastBits = static_cast<int>(w.bits() - (size - 1) * 8);
    uint8_t flags = static_cast<uint8_t>(0x80 | 0x40 | 1 << 3 | (lastBits - 1));
    std::vector<uint8_t> block = {flags, 0, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
    block[1] = static_cast<uint8_t>(0x5A ^ flags ^ block[2] ^ block[3]);
    block.insert(block.end(), w.bytes().begin(), w.bytes().end());
    return block;
}

void putFilter(BitWriter& w, uint32_t offset, uint32_t length, int type) {
    w.put(256, 9);
    for (uint32_t number : {offset, length}) {
        int bytes = number > 0xFFFFFF ? 4 : number > 0xFFFF ? 3 : number > 0xFF ? 2 : 1;
        w.put(static_cast<uint32_t>(bytes - 1), 2);
        for (int i = 0; i < bytes; ++i) w.put((number >> (8 * i)) & 0xFF, 8);
    }
    w.put(static_cast<uint32_t>(type), 3);
    if (type == 0) w.put(0, 5);
}

void putLiterals(BitWriter& w, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) w.put(b, 9);
}

TEST(Rar50Decoder, FiltersApplyWithinTheirBoundsAndUnknownOnesFail) {
    const std::vector<uint8_t> code = {0x90, 0xE8, 0x10, 0x00, 0x00, 0x00, 0x90, 0x90};
    auto decodeWith = [&](uint32_t length, int type) {
        BitWriter body;
        putFilter(body, 0, length, type);
        putLiterals(body, code);
        return decode(u"rar50", Member{rar50Block(body), code.size()});
    };
    // The call at file offset 1 points at 0x10: relative, 0x10 - 2.
    std::vector<uint8_t> filtered = code;
    filtered[2] = 0x0E;
    EXPECT_EQ(decodeWith(8, 1), filtered);
    // Longer than any encoder makes: the filter is dropped, the data kept.
    EXPECT_EQ(decodeWith(0x400001, 1), code);
    // An unknown type is damage, not a block silently left out.
    EXPECT_TRUE(decodeWith(8, 5).empty());
}

TEST(Rar50Decoder, TablesAreCheckedAndTheirRepeatsClipped) {
    BitWriter body;
    putLiterals(body, {'o', 'k'});
    // rar50Block's last zero run reaches past the 430 lengths.
    EXPECT_EQ(test::fileText(decode(u"rar50", Member{rar50Block(body), 2})), "ok");
    BitWriter bytes;
    for (uint8_t c : {'n', 'o'}) bytes.put(c, 8);
    EXPECT_TRUE(decode(u"rar50", Member{rar50Block(bytes, std::vector<uint8_t>(257, 8)), 2}).empty());
}

TEST(Rar50Decoder, BadBlockHeadersEndDecoding) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive archive(corpus / "rar5/rar5-crc.rar");
    Member good = archive.member(archive.entries.front());
    ASSERT_EQ(decode(u"rar50", good).size(), good.size);
    for (int bit = 0; bit < 8; ++bit) {
        Member bad = good;
        bad.packed[1] ^= static_cast<uint8_t>(1 << bit);
        EXPECT_TRUE(decode(u"rar50", bad).empty()) << bit;
    }
    Member fourSizeBytes = good;
    fourSizeBytes.packed[0] |= 0x18;
    EXPECT_TRUE(decode(u"rar50", fourSizeBytes).empty());
}

TEST(Rar50Decoder, SolidMembersRestartAtTheirOwnPackedData) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    CorpusArchive archive(corpus / "rar5/Rar5.solid.rar");
    ASSERT_EQ(archive.entries.size(), 3u);
    std::vector<Member> members;
    for (const PackedEntry& e : archive.entries) {
        members.push_back(archive.member(e));
        // Bytes after a member's last block are never read as the next one's.
        members.back().packed.insert(members.back().packed.end(), {0xFF, 0x00, 0x5A});
    }
    std::vector<uint8_t> out = decode(u"rar50", archive.entries[0].dictionary, members);
    ASSERT_EQ(out.size(), totalSize(members));
    size_t at = 0;
    for (const PackedEntry& e : archive.entries) {
        EXPECT_EQ(crc32Update(0, out.data() + at, e.size), e.crc) << e.name;
        at += e.size;
    }
}

TEST(Rar50Decoder, DamagedInputNeverCrashesOrLies) {
    REQUIRE_CORPUS(corpus);
    REQUIRE_TOOL("python3");
    for (const char* name : {"rar5/rar5-crc.rar", "rar5/test_read_format_rar5_arm.rar"}) {
        SCOPED_TRACE(name);
        CorpusArchive archive(corpus / name);
        checkDamage(u"rar50", archive.member(archive.entries.front()), archive.entries.front().dictionary);
    }
    CorpusArchive solid(corpus / "rar5/Rar5.solid.rar");
    checkDamage(u"rar50", solid.member(solid.entry("тест.txt")), solid.entries.front().dictionary);
}

}  // namespace
}  // namespace zorvex
