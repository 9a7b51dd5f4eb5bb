// The zorvex commands. Each returns the process exit status: 0 when
// everything succeeded, 1 when anything failed (each failure reported on
// standard error).
#pragma once

#include <string>
#include <vector>

namespace zorvex::cli {

struct ListOptions {
    bool recursive = false;
    enum class Style { kPlain, kLong, kJson } style = Style::kPlain;
    // What is listed (tools/selection.h); folders are walked for what they hold.
    std::vector<std::string> patterns;
    std::vector<std::string> excludes;
    bool ignoreCase = false;
};
int listCommand(const std::string& path, const ListOptions& options);
int catCommand(const std::string& path);
struct ExtractOptions {
    std::string destination = ".";
    bool overwrite = false;
    bool preservePermissions = false;  // setuid, setgid and sticky bits too, and no umask
    // What is taken (tools/selection.h) and how it is written.
    std::vector<std::string> patterns;
    std::vector<std::string> excludes;
    bool ignoreCase = false;
    int stripComponents = 0;  // leading path components dropped, as tar's --strip-components
    bool toStdout = false;    // the selected files' bytes to standard output, nothing on disk
};
int extractCommand(const std::vector<std::string>& archives, const ExtractOptions& options);
int testCommand(const std::vector<std::string>& archives);

}  // namespace zorvex::cli
