#include "tools/standard_input.h"

#include <algorithm>

#include "engine/status.h"
#include "engine/standard_input.h"
#include "platform/platform.h"
#include "tools/entries.h"
#include "tools/os.h"

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
    archive_ = Ref<Archive>(
        openStandardInput(stagingFolder, [&reporter](int64_t n) { reporter.countBytes(n); }, failure));
    reporter.clearProgress();
    // The command says that it cannot open the archive; this says why.
    if (!failure.ok()) reporter.error("-", "", "cannot read standard input: " + describe(failure));
}

}  // namespace zorvex::cli
