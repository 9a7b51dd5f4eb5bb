// `zorvex mount` and `zorvex unmount` (built where libfuse3 is found).
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace zorvex::cli {

// The two commands on the command line; run() gives the exit status when one
// of them was chosen.
class MountCommands {
public:
    explicit MountCommands(CLI::App& app);
    std::optional<int> run();

private:
    CLI::App* mount_;
    CLI::App* unmount_;
    std::string archive_;
    std::string mountpoint_;
    bool foreground_ = false;
    std::vector<std::string> options_;
};

}  // namespace zorvex::cli
