#include "tools/password.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "codecs/crypto/secret.h"
#include "engine/convert.h"
#include "tools/entries.h"
#include "tools/os.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace zorvex::cli {
namespace {

using crypto::secureZero;

// One line of UTF-8 text as a password; the text is zeroed.
Password passwordFromUtf8(std::string& text) {
    std::optional<std::u16string> wide = utf8ToWide(text);
    if (!wide) wide = ansiToWide(text);
    Password password;
    if (wide) {
        password.assign(wide->begin(), wide->end());
        secureZero(wide->data(), wide->size() * sizeof(char16_t));
    }
    secureZero(text.data(), text.size());
    return password;
}

void showPrompt(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
}

// Shows the prompt once echo is off: a password typed (or pasted) the moment
// the prompt appears is neither shown nor dropped by the switch.
#ifdef _WIN32
bool readHiddenLine(const std::string& prompt, Password& password) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return false;
    SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    showPrompt(prompt);
    bool read = false;
    for (;;) {
        wchar_t unit;
        DWORD got = 0;
        if (!ReadConsoleW(input, &unit, 1, &got, nullptr) || got == 0) break;
        if (unit == L'\r') continue;
        if (unit == L'\n') {
            read = true;
            break;
        }
        password.push_back(char16_t(unit));
    }
    SetConsoleMode(input, mode);
    return read;
}

bool stdinIsTerminal() { return _isatty(0) != 0; }
#else
bool readHiddenLine(const std::string& prompt, Password& password) {
    termios saved;
    bool restore = tcgetattr(0, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(0, TCSAFLUSH, &quiet);
    }
    showPrompt(prompt);
    crypto::SecretBytes line;
    bool read = false;
    for (char c; ::read(0, &c, 1) == 1;) {
        if (c == '\n') {
            read = true;
            break;
        }
        line.push_back(uint8_t(c));
    }
    if (restore) tcsetattr(0, TCSAFLUSH, &saved);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string text(line.begin(), line.end());
    password = passwordFromUtf8(text);
    return read || !line.empty();
}

bool stdinIsTerminal() { return isatty(0) != 0; }
#endif

class CommandPasswords final : public PasswordSource {
public:
    bool askPassword(const std::u16string& archiveName, Password& password) override {
        if (given_) {
            password = *given_;
            return true;
        }
        if (!asksUser()) return false;
        std::string shown = displayName(archiveName);
#ifndef _WIN32
        std::replace(shown.begin(), shown.end(), '\\', '/');
#endif
        bool read = readHiddenLine("Password for " + shown + ": ", password);
        std::fputc('\n', stderr);
        return read;
    }

    void give(Password password) { given_ = std::move(password); }
    bool asksUser() const { return !given_ && stdinIsTerminal(); }

private:
    std::optional<Password> given_;
};

CommandPasswords& passwords() {
    static CommandPasswords instance;
    return instance;
}

// Zeroes the password's text wherever an argument holds it: "-p TEXT",
// "-pTEXT", "--password TEXT" or "--password=TEXT", and mount's
// "-o password=TEXT" among other options ("-o ro,password=TEXT").
void wipe(char* argument, size_t length, const std::string& password) {
    std::string_view text(argument, length);
    if (text.size() < password.size()) return;
    for (size_t at = text.find(password); at != std::string_view::npos; at = text.find(password, at + 1)) {
        std::string_view before = text.substr(0, at);
        const bool whole = at + password.size() == text.size() || text[at + password.size()] == ',';
        const bool option = before.empty() || before == "-p" || before == "--password=";
        const bool mountOption = before.ends_with("password=") &&
                                 (before == "password=" || before == "-opassword=" || before.ends_with(",password="));
        if (whole && (option || mountOption)) secureZero(argument + at, password.size());
    }
}

// The process's own arguments, where they can be written.
int processArgc = 0;
char** processArgv = nullptr;

void wipeProcessArguments(const std::string& password) {
#ifndef _WIN32
    // The arguments as given are bytes on POSIX systems: the same text.
    for (int i = 1; i < processArgc; ++i) wipe(processArgv[i], std::strlen(processArgv[i]), password);
#endif
}

// The password of the options or the file, given to every archive.
bool takePassword(std::string& password, const std::string& passwordFile) {
    if (!passwordFile.empty()) {
        std::ifstream file(pathFromUtf8(passwordFile), std::ios::binary);
        std::string line;
        if (!file || (!std::getline(file, line) && !file.eof())) {
            std::fprintf(stderr, "zorvex: %s: cannot read the password file\n", passwordFile.c_str());
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // a byte-order mark some editors write
        passwords().give(passwordFromUtf8(line));
    } else if (!password.empty()) {
        passwords().give(passwordFromUtf8(password));
    }
    return true;
}

}  // namespace

bool setPasswordOptions(std::string& password, const std::string& passwordFile, std::vector<std::string>& arguments,
                        int argc, char** argv) {
    processArgc = argc;
    processArgv = argv;
    if (!password.empty()) {
        for (std::string& argument : arguments) wipe(argument.data(), argument.size(), password);
        wipeProcessArguments(password);
    }
    return takePassword(password, passwordFile);
}

void givePassword(std::string& text, const std::string& written) {
    if (text.empty()) return;
    wipeProcessArguments(written);
    passwords().give(passwordFromUtf8(text));
}

PasswordSource* commandPasswords() { return &passwords(); }

bool commandPasswordsAskUser() { return passwords().asksUser(); }

}  // namespace zorvex::cli
