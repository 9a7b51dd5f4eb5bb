// The checks xz, .lzma, gzip, lzip and zstd files carry, through the zorvex
// program: every damaged file fails `test` and `cat`, every intact one (also
// the unusual but sound ones) passes with its content. tests/damaged_streams.py
// writes the files.
#include "tests/test_util.h"

namespace zorvex::test {
namespace {

struct Fixture {
    const char* file;
    bool intact;
    const char* tool;  // needed beyond python3, xz and gzip; null for none
};

constexpr Fixture kFixtures[] = {
    // xz: several blocks with a CRC-64 each.
    {"xz-intact.xz", true, nullptr},
    {"xz-stream-padding.xz", true, nullptr},
    {"xz-check.xz", false, nullptr},
    {"xz-nonzero-stream-padding.xz", false, nullptr},
    {"xz-short-stream-padding.xz", false, nullptr},
    {"xz-index-count.xz", false, nullptr},
    {"xz-footer-flags.xz", false, nullptr},
    // xz: one block without a check value, with and without a filter before
    // LZMA2; the index disagrees with the block in its sizes.
    {"xz-plain-intact.xz", true, nullptr},
    {"xz-plain-bigger-packed-size.xz", false, nullptr},
    {"xz-plain-smaller-packed-size.xz", false, nullptr},
    {"xz-plain-smaller-size.xz", false, nullptr},
    {"xz-plain-larger-size.xz", false, nullptr},
    {"xz-plain-block-padding.xz", false, nullptr},
    {"xz-plain-control-byte.xz", false, nullptr},
    {"xz-x86-intact.xz", true, nullptr},
    {"xz-x86-bigger-packed-size.xz", false, nullptr},
    {"xz-x86-smaller-packed-size.xz", false, nullptr},
    {"xz-x86-smaller-size.xz", false, nullptr},
    {"xz-x86-larger-size.xz", false, nullptr},
    {"xz-x86-block-padding.xz", false, nullptr},
    {"xz-x86-control-byte.xz", false, nullptr},
    // .lzma: the stated size against the end mark and the data's end. Bytes
    // after the end mark are passed over as tar readers do.
    {"lzma-intact.lzma", true, nullptr},
    {"lzma-bytes-after-end-mark.lzma", true, nullptr},
    {"lzma-stated-size.lzma", true, nullptr},
    {"lzma-size-before-end-mark.lzma", false, nullptr},
    {"lzma-size-after-end.lzma", false, nullptr},
    {"lzma-no-end-mark.lzma", true, "7zz"},
    {"lzma-no-end-mark-short-size.lzma", false, "7zz"},
    // gzip and lzip: two members, each checked against its trailer. Data
    // after the last member is passed over as gzip -t and lzip -t do, unless
    // it starts a member that is cut short.
    {"gz-intact.gz", true, nullptr},
    {"gz-zero-padding.gz", true, nullptr},
    {"gz-garbage.gz", true, nullptr},
    {"gz-crc.gz", false, nullptr},
    {"gz-size.gz", false, nullptr},
    {"gz-first-member-crc.gz", false, nullptr},
    {"gz-magic-byte.gz", false, nullptr},
    {"lz-intact.lz", true, "lzip"},
    {"lz-garbage.lz", true, "lzip"},
    {"lz-crc.lz", false, "lzip"},
    {"lz-size.lz", false, "lzip"},
    {"lz-member-size.lz", false, "lzip"},
    {"lz-first-member-crc.lz", false, "lzip"},
    {"lz-cut-member.lz", false, "lzip"},
    // zstd: checksums and stated content sizes.
    {"zst-intact.zst", true, "zstd"},
    {"zst-checksum.zst", false, "zstd"},
    {"zst-last-checksum.zst", false, "zstd"},
    {"zst-smaller-content-size.zst", false, "zstd"},
    {"zst-larger-content-size.zst", false, "zstd"},
    {"zst-zero-padding.zst", false, "zstd"},
};

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

TEST(StreamChecks, DamageFailsTestAndCatWhileIntactFilesPass) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("xz");
    REQUIRE_TOOL("gzip");
    TempDir dir;
    ASSERT_EQ(run("cd " + quote(dir.path()) + " && python3 '" ZORVEX_SOURCE_DIR "/tests/damaged_streams.py'"), 0);
    std::vector<uint8_t> data = readFile(dir / "data");
    std::string cli = quote(cliPath());
    for (const Fixture& fixture : kFixtures) {
        if (fixture.tool && !haveTool(fixture.tool)) continue;
        SCOPED_TRACE(fixture.file);
        fs::path file = dir / fixture.file;
        ASSERT_TRUE(fs::exists(file));
        fs::path entry = file / file.stem();
        int test = run(cli + " test " + quote(file) + " >/dev/null 2>&1");
        int cat = run(cli + " cat " + quote(entry) + " >" + quote(dir / "out") + " 2>/dev/null");
        if (fixture.intact) {
            EXPECT_EQ(test, 0);
            EXPECT_EQ(cat, 0);
            EXPECT_TRUE(readFile(dir / "out") == data);
        } else {
            EXPECT_NE(test, 0);
            EXPECT_EQ(cat, 1);
        }
    }
}

}  // namespace
}  // namespace zorvex::test
