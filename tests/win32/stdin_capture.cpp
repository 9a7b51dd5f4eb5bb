// A stand-in for programs the shell starts, in the menu tests. With one
// argument it is the extraction process: it copies its standard input, once
// that ends, to the file the argument names. With two it is the program a
// file type opens with: it copies the file named by the second argument, and
// writes that file's path beside the copy (OUT.path). Files appear whole
// (written aside, then renamed), so a test can wait for them.
#include <windows.h>

#include <string>

namespace {

std::string readAll(HANDLE input) {
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

bool writeWhole(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (argc == 2) return writeWhole(argv[1], readAll(GetStdHandle(STD_INPUT_HANDLE))) ? 0 : 1;
    HANDLE opened = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return 1;
    std::string bytes = readAll(opened);
    CloseHandle(opened);
    return writeWhole(std::string(argv[1]) + ".path", argv[2]) && writeWhole(argv[1], bytes) ? 0 : 1;
}
