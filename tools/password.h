// The command line's passwords: -p / --password, --password-file (its first
// line), or, with neither, a prompt on the terminal (without echo), asked at
// most once per archive named on the command line and kept for its nested
// archives. Without any of these, encrypted data fails with "encrypted; give
// a password with -p".
#pragma once

#include <string>
#include <vector>

#include "engine/password.h"

namespace zorvex::cli {

// Takes the options' password (and zeroes the option's text, and its copies
// among the arguments: `arguments` and, where they can be written, the
// process's own, which others may read in the process list). False, with a
// message on standard error, when the file cannot be read.
bool setPasswordOptions(std::string& password, const std::string& passwordFile, std::vector<std::string>& arguments,
                        int argc, char** argv);

// A password given to a command in its own options (mount's -o password=):
// given to every archive as -p's, zeroed in `text`, and in the process's
// arguments as they hold it (`written`: with a mount option's escapes).
void givePassword(std::string& text, const std::string& written);

// What the commands give openArchivePath.
PasswordSource* commandPasswords();
// Whether commandPasswords() would ask the user: no password was given, and
// standard input is a terminal to ask on.
bool commandPasswordsAskUser();

}  // namespace zorvex::cli
