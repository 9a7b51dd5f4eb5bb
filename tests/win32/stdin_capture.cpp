// A stand-in for the extraction process in the menu tests: copies its
// standard input, once it ends, to the file named by its first argument.
// The file appears whole (written aside, then renamed), so a test can wait
// for it.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string input;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0)
        input.append(buffer, got);
    const std::string part = std::string(argv[1]) + ".part";
    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileA(part.c_str(), argv[1]) ? 0 : 1;
}
