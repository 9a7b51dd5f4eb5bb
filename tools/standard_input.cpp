#include "tools/standard_input.h"

#include <algorithm>
#include <memory>

#include "engine/codec.h"
#include "engine/status.h"
#include "engine/standard_input.h"
#include "platform/platform.h"
#include "tools/entries.h"
#include "tools/os.h"
#include "tools/password.h"

namespace zorvex::cli {

namespace {

bool isSeparator(char c) {
#ifdef _WIN32
    if (c == '\\') return true;
#endif
    return c == '/';
}

}  // namespace

std::optional<std::u16string> standardInputArgumentPath(const std::string& argument) {
    if (argument.empty() || argument[0] != '-' || (argument.size() > 1 && !isSeparator(argument[1])))
        return std::nullopt;
    std::u16string path = standardInputPath();
    if (argument.size() > 1) {
        // As other paths: on POSIX systems any bytes name a file.
        std::u16string rest = platform::fromNativePath(pathFromUtf8(argument.substr(1)).native());
        std::replace(rest.begin(), rest.end(), u'/', u'\\');
        path += rest;
    }
    return path;
}

void spellStandardInputPaths(std::vector<std::string>& arguments) {
    for (std::string& argument : arguments) {
        std::optional<std::u16string> path = standardInputArgumentPath(argument);
        if (path && argument.size() > 1) argument = displayPath(*path);
    }
}

StandardInput::StandardInput(const std::vector<std::string>& arguments, Reporter& reporter,
                             const std::u16string& stagingFolder) {
    const std::u16string input = standardInputPath();
    auto named = [&](const std::string& argument) {
        std::u16string path = engineArgumentPath(argument);
        return path.starts_with(input) && (path.size() == input.size() || path[input.size()] == u'\\');
    };
    if (!std::any_of(arguments.begin(), arguments.end(), named)) return;
    reporter.beginWork("reading standard input", -1);
    Status failure;
    // The line counts the input read while it opens; what a command reads
    // later is counted by the command.
    auto opening = std::make_shared<bool>(true);
    archive_ = Ref<Archive>(openStandardInput(
        stagingFolder, [&reporter, opening](int64_t n) { if (*opening) reporter.countBytes(n); }, failure,
        commandPasswords()));
    // A compressed stream is decoded as it arrives: the archive it holds is
    // read through now, under the line, and stays open for the command.
    if (archive_ && archive_->fileCount() == 0 && archive_->nestedCount() == 1 &&
        archive_->nestedEntry(0)->codec == findCodec(u"store"))
        nested_ = Ref<Archive>(archive_->openNestedArchive(0));
    *opening = false;
    reporter.clearProgress();
    // The command says that it cannot open the archive; this says why.
    if (!failure.ok()) reporter.error("-", "", "cannot read standard input: " + describe(failure));
}

}  // namespace zorvex::cli
