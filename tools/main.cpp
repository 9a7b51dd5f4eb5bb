// zorvex: lists, reads, extracts and tests archives from the command line.
#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>

#include "engine/convert.h"
#include "engine/job_pool.h"
#include "engine/names.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/os.h"
#include "tools/password.h"
#include "tools/report.h"
#include "tools/selection.h"
#include "tools/standard_input.h"
#include "tools/version.h"
#ifdef ZORVEX_WITH_MOUNT
#include "tools/mount.h"
#endif

namespace {

constexpr int kUsageError = 2;

// `zorvex help [COMMAND]`: the same text as --help.
int showHelp(CLI::App& app, const std::string& command) {
    if (command.empty()) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() != command || command == "help") continue;
        std::fputs(sub->help(app.get_name()).c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "zorvex: no such command: %s\n", command.c_str());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zorvex::cli;
    std::setlocale(LC_ALL, "");
    routeConsoleOutput();
    // Listings of many entries go out in large pieces when not on a terminal.
    static char stdoutBuffer[1 << 16];
    std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);

    CLI::App app{"zorvex: lists, reads, extracts and tests archives", "zorvex"};
    app.require_subcommand(1);
    // Made only when asked for: it names every format, codec and library.
    app.set_version_flag("--version", std::function<std::string()>(versionText),
                         "Show the version, formats, codecs and libraries, and exit");
    std::string charset;
    app.add_option("--charset", charset,
                   "Character set of zip names stored without the UTF-8 flag (e.g. CP866, ISO-8859-2)");
    bool versions = false;
    app.add_flag("--versions", versions, "Also list, read and extract older file versions (RAR 5.0) as NAME;N");

    int threads = 0;
    app.add_option("-j,--threads", threads,
                   "Threads for decoding: entries side by side, or pieces of one stream (default: one per "
                   "processor; 1: no worker threads)")
        ->check(CLI::Range(1, 1 << 16));

    // Passwords of encrypted archives (tools/password.h); given before or after the command.
    std::string password, passwordFile;
    app.add_option("-p,--password", password, "Password of encrypted archives");
    app.add_option("--password-file", passwordFile, "File whose first line is the password");
    app.fallthrough();  // these options go before or after the command alike

    std::string listPath;
    ListOptions listOptions;
    bool listLong = false, listJson = false;
    auto* list = app.add_subcommand("list", "List a level of an archive (PATH may lead inside: a.zip/docs)");
    list->add_option("PATH", listPath, "Archive, folder or nested archive")->required();
    list->add_option("PATTERN", listOptions.patterns, "List only entries matching these (as extract takes them)");
    list->add_flag("-r,--recursive", listOptions.recursive, "Descend into folders and nested archives");
    list->add_flag("-l,--long", listLong, "Show packed size, method, CRC and attributes too");
    list->add_flag("--json", listJson, "Write one JSON document (schema in the README)");
    list->add_option("--exclude", listOptions.excludes, "Leave out entries matching PATTERN (repeatable)")
        ->allow_extra_args(false);
    list->add_flag("--ignore-case", listOptions.ignoreCase, "Patterns match regardless of case");

    std::string catPath;
    auto* cat = app.add_subcommand("cat", "Write an entry's bytes to standard output");
    cat->add_option("PATH", catPath, "Entry inside an archive, e.g. a.zip/docs/readme.txt")->required();

    std::vector<std::string> extractArchives;
    ExtractOptions extractOptions;
    auto* extract = app.add_subcommand("extract", "Extract archives, or the entries matching PATTERNs");
    extract->add_option("ARCHIVE", extractArchives,
                        "Archives to extract, then PATTERNs of entries to take: the first argument after the first "
                        "archive that names no existing file starts the patterns, and so does --")
        ->required();
    extract->add_option("--exclude", extractOptions.excludes, "Leave out entries matching PATTERN (repeatable)")
        ->allow_extra_args(false);
    extract->add_flag("--ignore-case", extractOptions.ignoreCase, "Patterns match regardless of case");
    extract->add_option("--strip-components", extractOptions.stripComponents,
                        "Drop N leading components of entry paths (entries with no more are skipped)")
        ->check(CLI::NonNegativeNumber);
    extract->add_flag("-O,--to-stdout", extractOptions.toStdout,
                      "Write the selected files' bytes to standard output, nothing to disk");
    extract->add_option("-C,--directory", extractOptions.destination, "Destination folder (default: current)");
    extract->add_flag("--overwrite", extractOptions.overwrite, "Replace files that exist already");
    extract->add_flag("--preserve-permissions", extractOptions.preservePermissions,
                      "Keep stored permissions whole: setuid, setgid and sticky bits, and no umask");

    std::vector<std::string> testArchives;
    auto* test = app.add_subcommand("test", "Decode every entry and check sizes and stored CRCs");
    test->add_option("ARCHIVE", testArchives, "Archives to test")->required();

    bool forceProgress = false, quiet = false;
    for (auto* command : {extract, test, cat}) {
        command->add_flag("--progress", forceProgress, "Show the progress line even when not on a terminal");
        command->add_flag("-q,--quiet", quiet, "No progress line");
    }

    std::string helpCommand;
    auto* help = app.add_subcommand("help", "Show the help of a command, or of zorvex");
    help->add_option("COMMAND", helpCommand, "list, cat, extract or test");

#ifdef ZORVEX_WITH_MOUNT
    MountCommands mountCommands(app);
#endif

    std::vector<std::string> arguments = utf8Arguments(argc, argv);
    std::vector<std::string> afterSeparator = takeArgumentsAfterSeparator(arguments, {"extract", "list"});
    spellStandardInputPaths(arguments);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    try {
        app.parse(int(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : kUsageError;
    }

    setProgressMode(quiet ? ProgressMode::kQuiet : forceProgress ? ProgressMode::kForced : ProgressMode::kAuto);
    if (!charset.empty()) {
        if (!zorvex::charsetKnown(charset)) {
            std::fprintf(stderr, "zorvex: unknown character set: %s\n", charset.c_str());
            return kUsageError;
        }
        zorvex::setNamesCharset(charset);
    }

    if (threads > 0) zorvex::setJobWorkerLimit(threads == 1 ? 0 : threads);
    if (*help) return showHelp(app, helpCommand);
    if (*list) {
        listOptions.style = listJson   ? ListOptions::Style::kJson
                            : listLong ? ListOptions::Style::kLong
                                       : ListOptions::Style::kPlain;
        listOptions.patterns.insert(listOptions.patterns.end(), afterSeparator.begin(), afterSeparator.end());
    }
    if (*extract) {
        std::vector<std::string> given = std::move(extractArchives);
        splitArchivesAndPatterns(given, afterSeparator, extractArchives, extractOptions.patterns);
    }
    zorvex::setOlderVersionsListed(versions);
    if (!setPasswordOptions(password, passwordFile, arguments, argc, argv)) return kUsageError;

    int status = 0;
    if (*list) status = listCommand(listPath, listOptions);
    if (*cat) status = catCommand(catPath);
    if (*extract) status = extractCommand(extractArchives, extractOptions);
    if (*test) status = testCommand(testArchives);
#ifdef ZORVEX_WITH_MOUNT
    if (auto mounted = mountCommands.run()) status = *mounted;
#endif
    if (!flushStandardOutput()) status = 1;
    return status;
}
