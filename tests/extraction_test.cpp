// The whole-archive extraction rule: which level is written, under which
// wrapper folder and in which order (the command line and the shell's Extract
// and data objects follow it).
#include "engine/extraction.h"

#include "engine/codec.h"
#include "test_util.h"

namespace zorvex::test {
namespace {

std::string displayed(std::u16string_view name) { return std::string(name.begin(), name.end()); }

TEST(ExtractionRule, WrapperNameIsTheLastComponentWithoutItsExtension) {
    EXPECT_EQ(wrapperName(u"C:\\x\\photos.zip"), u"photos");
    EXPECT_EQ(wrapperName(u"/tmp/x.tar.gz\\x.tar"), u"x");
    EXPECT_EQ(wrapperName(u"C:\\x\\release.v2.zip"), u"release.v2");
    EXPECT_EQ(wrapperName(u"noextension"), u"noextension");
}

TEST(ExtractionRule, NamesAreMadeSafeForWindows) {
    // Devices, with any extension and in any case, get a leading "_".
    for (const char16_t* device : {u"CON", u"con.txt", u"Nul", u"COM1.tar.gz", u"lpt9", u"NUL .txt", u"CONIN$",
                                   u"com\u00b2"})
        EXPECT_EQ(windowsSafeName(device), u"_" + std::u16string(device)) << displayed(device);
    for (const char16_t* plain : {u"COM0", u"CONSOLE", u"com10", u"console.log", u"a.con", u"normal name.txt"})
        EXPECT_EQ(windowsSafeName(plain), plain) << displayed(plain);
    // Streams, reserved characters and control characters.
    EXPECT_EQ(windowsSafeName(u"file.txt:secret"), u"file.txt_secret");
    EXPECT_EQ(windowsSafeName(u"a<b>c\"d|e?f*g/h\\i\x01j"), u"a_b_c_d_e_f_g_h_i_j");
    // Trailing dots and spaces, which Windows would strip.
    EXPECT_EQ(windowsSafeName(u"trail. ."), u"trail___");
    EXPECT_EQ(windowsSafeName(u".."), u"__");
    EXPECT_EQ(windowsSafeName(u"."), u"_");
    EXPECT_EQ(windowsSafeName(u""), u"_");
    EXPECT_EQ(windowsSafeName(u".hidden"), u".hidden");
}

TEST(ExtractionRule, OrderGivesPositionsInTheOrderOfTheData) {
    std::vector<uint8_t> bytes(1024);
    Ref<MemoryStream> stream(MemoryStream::create(u"mem", nullptr, 0, bytes.data(), bytes.size()));
    Ref<Archive> archive(newArchive(u"\\t\\a.arc", nullptr, stream.get()));
    const std::pair<const char16_t*, int64_t> entries[] = {
        {u"a", 100}, {u"c", 300}, {u"dir\\b", 200}, {u"dir\\deep\\d", 250}};
    for (auto [path, offset] : entries)
        ASSERT_TRUE(addEntry(archive.get(), findCodec(u"store"), path, offset, 4, 4, 0));

    struct Case {
        std::vector<std::u16string> paths;
        std::vector<size_t> order;
    };
    const Case cases[] = {
        {{}, {}},
        {{u"c", u"a", u"dir\\b", u"dir\\deep\\d"}, {1, 2, 3, 0}},
        // Names are matched as stored: a path the archive does not hold (here
        // one in another case) comes first.
        {{u"c", u"dir\\deep\\d", u"C"}, {2, 1, 0}},
        // A path given twice cannot be told from itself: the given order stands.
        {{u"c", u"a", u"c"}, {0, 1, 2}},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(extractionOrder(archive.get(), cases[i].paths), cases[i].order) << "case " << i;
}

TEST(ExtractionRule, UnwrapsSingleNestedArchivesAndWrapsSeveralEntries) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("gzip");
    TempDir dir;
    writeFile(dir / "one.txt", "1");
    writeFile(dir / "two.txt", "22");
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && tar cf bundle.tar one.txt two.txt && gzip -n -k bundle.tar"),
              0);
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && gzip -n -k one.txt"), 0);

    Ref<Archive> tgz(openArchivePath(enginePath(dir / "bundle.tar.gz").c_str()));
    ASSERT_TRUE(tgz);
    ExtractionPlan plan = planExtraction(tgz.get());
    ASSERT_TRUE(plan.level);
    EXPECT_EQ(plan.unwrapped, std::vector<std::u16string>({u"bundle.tar"}));
    EXPECT_EQ(plan.wrapper, u"bundle");
    EXPECT_EQ(plan.level->fileCount(), 2);

    // One file: written straight into the target, no wrapper.
    Ref<Archive> gz(openArchivePath(enginePath(dir / "one.txt.gz").c_str()));
    ASSERT_TRUE(gz);
    plan = planExtraction(gz.get());
    ASSERT_TRUE(plan.level);
    EXPECT_TRUE(plan.unwrapped.empty());
    EXPECT_TRUE(plan.wrapper.empty());
    EXPECT_EQ(plan.level->fileCount(), 1);
}

TEST(ExtractionRule, UnwrappingStopsAtAFixedDepth) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    // d.gz.gz... : each gzip file holds nothing but the next one.
    std::string name = "d";
    writeFile(dir / name, "deep");
    for (int i = 0; i < kMaxUnwrapDepth + 4; ++i, name += ".gz")
        ASSERT_EQ(run("cd '" + dir.path().string() + "' && gzip -n -c " + name + " > " + name + ".gz"), 0);
    Ref<Archive> chain(openArchivePath(enginePath(dir / name).c_str()));
    ASSERT_TRUE(chain);
    ExtractionPlan plan = planExtraction(chain.get());
    ASSERT_TRUE(plan.level);
    EXPECT_EQ(plan.unwrapped.size(), static_cast<size_t>(kMaxUnwrapDepth));
    // The level reached still holds one nested archive, written as a file.
    EXPECT_EQ(plan.level->nestedCount(), 1);
    EXPECT_TRUE(plan.wrapper.empty());
}

}  // namespace
}  // namespace zorvex::test
