// zorvex: lists, reads, extracts and tests archives from the command line.
#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>

#include "engine/convert.h"
#include "tools/commands.h"
#include "tools/os.h"
#include "tools/password.h"
#include "tools/report.h"

namespace {

constexpr int kUsageError = 2;

}  // namespace

int main(int argc, char** argv) {
    using namespace zorvex::cli;
    std::setlocale(LC_ALL, "");
    // Listings of many entries go out in large pieces when not on a terminal.
    static char stdoutBuffer[1 << 16];
    std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);

    CLI::App app{"zorvex: lists, reads, extracts and tests archives"};
    app.require_subcommand(1);
    std::string charset;
    app.add_option("--charset", charset,
                   "Character set of zip names stored without the UTF-8 flag (e.g. CP866, ISO-8859-2)");
    // Passwords of encrypted archives (tools/password.h); given before or after the command.
    std::string password, passwordFile;
    app.add_option("-p,--password", password, "Password of encrypted archives");
    app.add_option("--password-file", passwordFile, "File whose first line is the password");
    app.fallthrough();

    std::string listPath;
    bool recursive = false;
    auto* list = app.add_subcommand("list", "List a level of an archive (PATH may lead inside: a.zip/docs)");
    list->add_option("PATH", listPath, "Archive, folder or nested archive")->required();
    list->add_flag("-r,--recursive", recursive, "Descend into folders and nested archives");

    std::string catPath;
    auto* cat = app.add_subcommand("cat", "Write an entry's bytes to standard output");
    cat->add_option("PATH", catPath, "Entry inside an archive, e.g. a.zip/docs/readme.txt")->required();

    std::vector<std::string> extractArchives;
    ExtractOptions extractOptions;
    auto* extract = app.add_subcommand("extract", "Extract whole archives");
    extract->add_option("ARCHIVE", extractArchives, "Archives to extract")->required();
    extract->add_option("-C,--directory", extractOptions.destination, "Destination folder (default: current)");
    extract->add_flag("--overwrite", extractOptions.overwrite, "Replace files that exist already");
    extract->add_flag("--preserve-permissions", extractOptions.preservePermissions,
                      "Keep stored permissions whole: setuid, setgid and sticky bits, and no umask");

    std::vector<std::string> testArchives;
    auto* test = app.add_subcommand("test", "Decode every entry and check sizes and stored CRCs");
    test->add_option("ARCHIVE", testArchives, "Archives to test")->required();

    std::vector<std::string> arguments = utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    try {
        app.parse(int(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : kUsageError;
    }

    if (!charset.empty()) {
        if (!zorvex::charsetKnown(charset)) {
            std::fprintf(stderr, "zorvex: unknown character set: %s\n", charset.c_str());
            return kUsageError;
        }
        zorvex::setNamesCharset(charset);
    }

    if (!setPasswordOptions(password, passwordFile)) return kUsageError;

    int status = 0;
    if (*list) status = listCommand(listPath, recursive);
    if (*cat) status = catCommand(catPath);
    if (*extract) status = extractCommand(extractArchives, extractOptions);
    if (*test) status = testCommand(testArchives);
    if (!flushStandardOutput()) status = 1;
    return status;
}
