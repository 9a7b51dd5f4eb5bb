// The zorvex commands. Each returns the process exit status: 0 when
// everything succeeded, 1 when anything failed (each failure reported on
// standard error).
#pragma once

#include <string>
#include <vector>

namespace zorvex::cli {

int listCommand(const std::string& path, bool recursive);
int catCommand(const std::string& path);
struct ExtractOptions {
    std::string destination = ".";
    bool overwrite = false;
    bool preservePermissions = false;  // setuid, setgid and sticky bits too, and no umask
};
int extractCommand(const std::vector<std::string>& archives, const ExtractOptions& options);
int testCommand(const std::vector<std::string>& archives);

}  // namespace zorvex::cli
