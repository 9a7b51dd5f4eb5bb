// "-" as an archive on the command line: standard input (engine/standard_input.h).
// "-/docs/readme.txt" is a path inside it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/refobject.h"
#include "tools/report.h"

namespace zorvex::cli {

// The engine path of an argument that names standard input or a path inside it.
std::optional<std::u16string> standardInputArgumentPath(const std::string& argument);

// The option parser takes "-/docs" for an option: such arguments are given
// the path standard input is opened under instead ("/dev/stdin/docs"), which
// names the same.
void spellStandardInputPaths(std::vector<std::string>& arguments);

// Keeps standard input open as an archive while a command runs, when one of
// its arguments names it, so that the path API finds it by the argument's
// path. An extraction gives the destination: entries' data read from a pipe
// is then kept there in the files that take the entries' names.
class StandardInput {
public:
    // The reporter's progress line shows the input read while it opens, and
    // a failed read is reported.
    StandardInput(const std::vector<std::string>& arguments, Reporter& reporter,
                  const std::u16string& stagingFolder = {});

private:
    Ref<Archive> archive_;
    Ref<Archive> nested_;  // the archive a compressed stream holds
};

}  // namespace zorvex::cli
