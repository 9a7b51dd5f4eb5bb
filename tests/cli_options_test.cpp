// End-to-end tests of zorvex's selection options (patterns, --exclude,
// --strip-components, -O), its JSON listing, --version, help, the manual page
// and completion against --help, and `cmake --install`.
#ifndef _WIN32
#include <fstream>
#include <set>
#include <sstream>

#include "tests/test_util.h"

namespace zorvex::test {
namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs zorvex with `args` (already quoted) in `dir`.
Outcome zorvex(const TempDir& dir, const std::string& args) {
    Outcome o;
    o.out = runOutput("cd " + quote(dir.path()) + " && " + quote(cliPath()) + " " + args + " 2>stderr.txt", &o.status);
    std::ifstream in(dir / "stderr.txt");
    o.err.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

// Every regular file and symbolic link below `root`, by relative path.
std::set<std::string> filesBelow(const fs::path& root) {
    std::set<std::string> files;
    if (!fs::exists(root)) return files;
    for (auto& item : fs::recursive_directory_iterator(root))
        if (!item.is_directory() || item.is_symlink())
            files.insert(item.path().lexically_relative(root).generic_string());
    return files;
}

// tree.tar: several top-level entries (so extraction wraps them in "tree/"),
// a link, an empty folder, names with spaces and beyond ASCII.
void makeTree(const TempDir& dir) {
    writeFile(dir / "make.py", R"(import tarfile, io
entries = {"docs/readme.txt": "read me", "docs/guide/intro.md": "intro", "docs/guide/deep/x.md": "x",
           "src/main.c": "int main;", "src/util/helper.c": "helper", "src/util/helper.h": "h", "src/obj.o": "o",
           "name with spaces.txt": "spaces", "\u00fcn\u00efcode/\u00df.txt": "sz", "README": "top",
           "README.old": "old"}
with tarfile.open("tree.tar", "w", format=tarfile.PAX_FORMAT) as tar:
    for name, text in entries.items():
        info = tarfile.TarInfo(name); data = text.encode(); info.size = len(data); info.mtime = 1700000000
        tar.addfile(info, io.BytesIO(data))
    for name in ("empty",):
        info = tarfile.TarInfo(name); info.type = tarfile.DIRTYPE; info.mtime = 1700000000; tar.addfile(info)
    info = tarfile.TarInfo("src/latest"); info.type = tarfile.SYMTYPE; info.linkname = "main.c"; tar.addfile(info)
)");
    ASSERT_EQ(run("cd " + quote(dir.path()) + " && python3 make.py"), 0);
}

TEST(CliOptionsTest, PatternsSelectWhatTheyMatch) {
    TempDir dir;
    makeTree(dir);
    const std::string u =
        "\xc3\xbc"
        "n\xc3\xaf"
        "code";  // "ünïcode"
    struct Case {
        std::string args;
        std::set<std::string> files;  // below the extraction's own folder
    };
    const Case cases[] = {
        {"docs", {"docs/readme.txt", "docs/guide/intro.md", "docs/guide/deep/x.md"}},
        {"'docs/*'", {"docs/readme.txt", "docs/guide/intro.md", "docs/guide/deep/x.md"}},
        {"'docs/*.txt'", {"docs/readme.txt"}},
        {"'**/*.c'", {"src/main.c", "src/util/helper.c"}},
        {"'docs/**/x.md'", {"docs/guide/deep/x.md"}},
        {"'src/[!m]*.?'", {"src/obj.o"}},
        {"'src/util/helper.[ch]'", {"src/util/helper.c", "src/util/helper.h"}},
        {"README", {"README"}},
        {"src --exclude '*.o' --exclude util", {"src/main.c", "src/latest"}},
        {"--exclude docs --exclude src/util --exclude " + u,
         {"src/main.c", "src/obj.o", "src/latest", "name with spaces.txt", "README", "README.old"}},
        {"'name with spaces.txt' " + u + "/'\xc3\x9f.txt'", {"name with spaces.txt", u + "/\xc3\x9f.txt"}},
        {"'?n?code'", {u + "/\xc3\x9f.txt"}},
        {"--ignore-case DOCS/README.TXT 'S*/MAIN.C'", {"docs/readme.txt", "src/main.c"}},
        {"--strip-components 2 docs", {"intro.md", "deep/x.md"}},
        {"--strip-components 1 --exclude '*.o'",
         {"readme.txt", "guide/intro.md", "guide/deep/x.md", "main.c", "util/helper.c", "util/helper.h", "latest",
          "\xc3\x9f.txt"}},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        Outcome o = zorvex(dir, "extract tree.tar -C out " + c.args);
        EXPECT_EQ(o.status, 0) << c.args << "\n" << o.err;
        std::set<std::string> files = filesBelow(dir / "out" / "tree");
        if (files.empty()) files = filesBelow(dir / "out");
        EXPECT_EQ(files, c.files) << c.args;
        // list takes the same patterns (and walks folders for them).
        if (c.args.find("--strip") != std::string::npos) continue;
        Outcome listed = zorvex(dir, "list tree.tar " + c.args);
        for (const std::string& file : c.files)
            EXPECT_NE(listed.out.find("  " + file + (file == "src/latest" ? " ->" : "\n")), std::string::npos)
                << c.args << ": " << file << "\n"
                << listed.out;
    }
}

TEST(CliOptionsTest, PatternsThatMatchNothingFailAndArchivesAreToldFromPatterns) {
    TempDir dir;
    makeTree(dir);
    fs::copy_file(dir / "tree.tar", dir / "copy.tar");
    struct Case {
        std::string args;
        int status;
        std::string err;  // expected in standard error
    };
    const Case cases[] = {
        {"extract tree.tar -C out nothing docs", 1, "zorvex: nothing: no such entry"},
        {"extract tree.tar -C out DOCS", 1, "zorvex: DOCS: no such entry"},                 // case-sensitive
        {"extract tree.tar -C out docs --exclude docs", 1, "zorvex: docs: no such entry"},  // as tar
        {"list tree.tar 'missing/**'", 1, "zorvex: missing/**: no such entry"},
        // Several archives, then patterns: each pattern needs a match in one of them.
        {"extract tree.tar copy.tar -C out README", 0, ""},
        // An argument naming an existing file is an archive; after -- it is a pattern.
        {"extract tree.tar -C out -- copy.tar", 1, "zorvex: copy.tar: no such entry"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        Outcome o = zorvex(dir, c.args);
        if (c.args.find("copy.tar -C out README") != std::string::npos)
            EXPECT_EQ(filesBelow(dir / "out"), (std::set<std::string>{"tree/README", "copy/README"}));
        EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.err;
        if (c.err.empty())
            EXPECT_EQ(o.err, "") << c.args;
        else
            EXPECT_NE(o.err.find(c.err), std::string::npos) << c.args << "\n" << o.err;
    }
}

TEST(CliOptionsTest, StrippedHardLinksFindTheirStrippedTargets) {
    TempDir dir;
    writeFile(dir / "make.py", R"(import tarfile, io
with tarfile.open("links.tar", "w") as tar:
    info = tarfile.TarInfo("top/a.txt"); info.size = 5; tar.addfile(info, io.BytesIO(b"hello"))
    info = tarfile.TarInfo("top/b.txt"); info.type = tarfile.LNKTYPE; info.linkname = "top/a.txt"; tar.addfile(info)
)");
    ASSERT_EQ(run("cd " + quote(dir.path()) + " && python3 make.py"), 0);
    Outcome o = zorvex(dir, "extract links.tar -C out --strip-components 1");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(filesBelow(dir / "out"), (std::set<std::string>{"a.txt", "b.txt"}));
    EXPECT_TRUE(fs::equivalent(dir / "out/a.txt", dir / "out/b.txt"));
    // A link whose target is not extracted is not made.
    o = zorvex(dir, "extract links.tar -C out2 top/b.txt");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("a hard link to top/a.txt, which was not extracted"), std::string::npos) << o.err;
}

TEST(CliOptionsTest, ToStdoutGivesTheBytesCatGives) {
    TempDir dir;
    makeTree(dir);
    Outcome one = zorvex(dir, "extract tree.tar -O docs/readme.txt");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, zorvex(dir, "cat tree.tar/docs/readme.txt").out);
    EXPECT_EQ(one.out, "read me");
    // Several files in the order extraction takes them (a level's files, then
    // its folders); a link has no bytes of its own.
    Outcome several = zorvex(dir, "extract tree.tar --to-stdout 'src/*.c' src/latest README");
    EXPECT_EQ(several.status, 0) << several.err;
    EXPECT_EQ(several.out, "topint main;");
    EXPECT_FALSE(fs::exists(dir / "tree"));
    // A damaged compressed stream is still found out after its bytes went.
    ASSERT_EQ(run("cd " + quote(dir.path()) + " && gzip -k tree.tar && python3 -c \"" +
                  "d=bytearray(open('tree.tar.gz','rb').read()); d[-8]^=1; open('bad.tar.gz','wb').write(d)\""),
              0);
    Outcome damaged = zorvex(dir, "extract bad.tar.gz -O README");
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
}

// zip holding a tar.gz (with a link and a folder) and a text file.
void makeNested(const TempDir& dir) {
    makeTree(dir);
    ASSERT_EQ(run("cd " + quote(dir.path()) + " && gzip -kf tree.tar && python3 -c \"" +
                  "import zipfile; z=zipfile.ZipFile('outer.zip','w',zipfile.ZIP_DEFLATED); "
                  "z.write('tree.tar.gz'); z.writestr('note \\\\\\\"q\\\\\\\".txt','x'); z.close()\""),
              0);
}

TEST(CliOptionsTest, JsonListingFollowsTheSchema) {
    TempDir dir;
    makeNested(dir);
    const std::string validate = " | python3 " + quote(fs::path(ZORVEX_SOURCE_DIR) / "tests/list_json_schema.py");
    auto check = [&](const fs::path& archive, const std::string& options) {
        int status = 0;
        std::string out = runOutput(
            quote(cliPath()) + " list --json " + quote(archive) + " " + options + " 2>/dev/null" + validate, &status);
        EXPECT_EQ(status, 0) << archive << " " << options << ": " << out;
        return out;
    };
    // Nested levels: the zip, the gzip stream, the tar with its link.
    EXPECT_EQ(check(dir / "outer.zip", "-r"), "ok 22\n");
    std::string nested = runOutput(quote(cliPath()) + " list -r --json " + quote(dir / "outer.zip"));
    for (const char* part : {"\"format\":\"zip\"", "\"format\":\"gzip\"", "\"format\":\"tar\"",
                             "\"path\":\"src/latest\",\"kind\":\"link\"", "\"link_target\":\"main.c\"",
                             "\"modified\":\"2023-11-14T22:13:20Z\"", "\"method\":\"deflate\"", "note \\\"q\\\".txt"})
        EXPECT_NE(nested.find(part), std::string::npos) << part << "\n" << nested;

    // Patterns reach into nested levels; only the archives holding a match
    // are written around it, in text and in JSON.
    EXPECT_EQ(check(dir / "outer.zip", "-r '**/x.md' 'tree.tar.gz/*/docs/*.txt'"), "ok 4\n");
    Outcome selected = zorvex(dir, "list -r outer.zip '**/x.md'");
    EXPECT_NE(selected.out.find("  tree.tar.gz/tree.tar/docs/guide/deep/x.md\n---"), std::string::npos) << selected.out;
    EXPECT_NE(selected.out.find("1 file, 0 folders, 0 archives"), std::string::npos) << selected.out;

    REQUIRE_CORPUS(corpus);
    for (const char* archive : {"zip/Zip.deflate64.zip", "7z/7Zip.BCJ2.7z",
                                "rar/BoatModernEnglish-regular-unpack20.rar", "rar5/Rar.multi.solid.part01.rar",
                                "tar/test_compat_gtar_1.tar", "single/test_expand.gz", "tar/test_compat_bzip2_1.tbz"})
        check(corpus / archive, "-r");
}

TEST(CliOptionsTest, DamagedLevelsCarryTheirVerdictInJson) {
    TempDir dir;
    makeTree(dir);
    auto tar = readFile(dir / "tree.tar");
    writeFile(dir / "cut.tar", tar.data(), 1539);  // ends inside the first file's data
    Outcome o = zorvex(dir, "list --json cut.tar");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("],\"damaged\":{\"reason\":"), std::string::npos) << o.out;
    Outcome whole = zorvex(dir, "list --json tree.tar");
    EXPECT_NE(whole.out.find("],\"damaged\":null}"), std::string::npos) << whole.out;
}

TEST(CliOptionsTest, LongListingShowsMethodPackedCrcAndMode) {
    TempDir dir;
    makeNested(dir);
    Outcome o = zorvex(dir, "list -l outer.zip");
    EXPECT_EQ(o.status, 0) << o.err;
    uint32_t crc = 0x8cdc1683;  // CRC-32 of "x"
    char expected[64];
    std::snprintf(expected, sizeof expected, "  deflate     %08x", crc);
    EXPECT_NE(o.out.find("Packed  Method      CRC       Attributes  Name"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(expected), std::string::npos) << o.out;
    EXPECT_NE(zorvex(dir, "list -l -r tree.tar").out.find("lrw-r--r--  src/latest -> main.c"), std::string::npos);
}

TEST(CliOptionsTest, VersionHelpManualPageAndCompletionAgree) {
    TempDir dir;
    Outcome version = zorvex(dir, "--version");
    EXPECT_EQ(version.status, 0);
    for (const char* part : {"zorvex ", "formats: ", "7zip", "rar", "codecs: ", "deflate", "zlib ", "libbz2 ", "zstd",
                             "WavPack ", "LZMA SDK "})
        EXPECT_NE(version.out.find(part), std::string::npos) << part << "\n" << version.out;

    const std::string manual = runOutput("cat " + quote(fs::path(ZORVEX_SOURCE_DIR) / "tools/zorvex.1"));
    // The manual page names the version the program says it is.
    const std::string programVersion = version.out.substr(0, version.out.find('\n'));
    EXPECT_NE(manual.find("\"" + programVersion + "\""), std::string::npos) << programVersion;
    const std::string completion = runOutput("cat " + quote(fs::path(ZORVEX_SOURCE_DIR) / "tools/zorvex.bash"));
    for (const char* command : {"", "list", "cat", "extract", "test"}) {
        Outcome help = zorvex(dir, std::string(command) + " --help");
        EXPECT_EQ(help.status, 0);
        if (*command) EXPECT_EQ(zorvex(dir, std::string("help ") + command).out, help.out) << command;
        if (*command) EXPECT_NE(manual.find(std::string(".SS ") + command), std::string::npos) << command;
        if (*command) EXPECT_NE(completion.find(command), std::string::npos) << command;
        std::istringstream words(help.out);
        for (std::string word; words >> word;) {
            if (word.size() < 2 || word[0] != '-' || word == "--") continue;
            std::stringstream parts(word);
            for (std::string one; std::getline(parts, one, ',');) {
                if (one.size() < 2 || one[0] != '-') continue;
                std::string roff;
                for (char c : one) roff += c == '-' ? std::string("\\-") : std::string(1, c);
                EXPECT_NE(manual.find(roff), std::string::npos) << one << " of " << command << " --help";
                if (one != "-h" && one != "--help")
                    EXPECT_NE(completion.find(one), std::string::npos) << one << " in the completion";
            }
        }
    }
    EXPECT_EQ(zorvex(dir, "help nosuch").status, 2);
}

TEST(CliOptionsTest, InstallPutsProgramManualPageAndCompletionInPlace) {
    TempDir dir;
    ASSERT_EQ(run("cmake --install " + quote(ZORVEX_BUILD_DIR) + " --prefix " + quote(dir / "usr") + " >/dev/null"), 0);
    for (const char* file : {"bin/zorvex", "share/man/man1/zorvex.1", "share/bash-completion/completions/zorvex"})
        EXPECT_TRUE(fs::is_regular_file(dir / "usr" / file)) << file;
    EXPECT_EQ(run(quote(dir / "usr/bin/zorvex") + " --version >/dev/null"), 0);
    // The completion lists subcommands, and entries inside an archive.
    makeTree(dir);
    std::string completed = runOutput(
        "cd " + quote(dir.path()) + " && PATH=" + quote(dir / "usr/bin") + ":$PATH bash -c '. " +
        (dir / "usr/share/bash-completion/completions/zorvex").string() +
        "; COMP_WORDS=(zorvex extract tree.tar docs/g); COMP_CWORD=3; _zorvex; printf \"%s\\n\" \"${COMPREPLY[@]}\"'");
    EXPECT_EQ(completed, "docs/guide/\ndocs/guide/deep/\ndocs/guide/deep/x.md\ndocs/guide/intro.md\n");
    // A path into an archive completes to its entries.
    completed = runOutput("cd " + quote(dir.path()) + " && PATH=" + quote(dir / "usr/bin") + ":$PATH bash -c '. " +
                          (dir / "usr/share/bash-completion/completions/zorvex").string() +
                          "; COMP_WORDS=(zorvex cat tree.tar/src/m); COMP_CWORD=2; _zorvex; printf \"%s\\n\" "
                          "\"${COMPREPLY[@]}\"'");
    EXPECT_EQ(completed, "tree.tar/src/main.c\n");
}

}  // namespace
}  // namespace zorvex::test
#endif
