// zorvex.exe reading an archive from a pipe on standard input, and writing
// UTF-8 text to a pipe on standard output.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"
#include "tests/zip_builder.h"

namespace zorvex::test {
namespace {

struct Outcome {
    DWORD status = ~DWORD{0};
    std::string out;  // standard output and standard error
};

// Runs zorvex.exe with `arguments`, writing `input` to its standard input
// through a pipe and closing it.
Outcome runWithInput(const std::wstring& arguments, const std::vector<uint8_t>& input) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherited, 0)) return outcome;
    if (!CreatePipe(&outRead, &outWrite, &inherited, 0)) return outcome;
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::wstring command = L"\"" + fs::path(cliPath()).wstring() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    std::thread writer([&] {
        for (size_t done = 0; started && done < input.size();) {
            DWORD written = 0;
            if (!WriteFile(inWrite, input.data() + done, DWORD(input.size() - done), &written, nullptr)) break;
            done += written;
        }
        CloseHandle(inWrite);
    });
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) outcome.out.append(buffer, got);
    writer.join();
    CloseHandle(outRead);
    if (!started) return outcome;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &outcome.status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return outcome;
}

TEST(WindowsCli, ArchiveFromAPipeAndUtf8ToAPipe) {
    if (!fs::exists(cliPath())) GTEST_SKIP() << "zorvex is not built";
    const std::string name = "top/\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt";  // "été €.txt"
    const std::vector<uint8_t> data = sampleData(100000, 5);
    ZipBuilder zip;
    zip.local(name, data, ZipEntry{.flags = 0x808});  // UTF-8 name, data descriptor
    zip.finish();

    Outcome listed = runWithInput(L"list -r -", zip.bytes);
    EXPECT_EQ(listed.status, 0u) << listed.out;
    EXPECT_NE(listed.out.find("\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt"), std::string::npos) << listed.out;

    TempDir tmp;
    Outcome extracted = runWithInput(L"extract - -C \"" + tmp.path().wstring() + L"\"", zip.bytes);
    EXPECT_EQ(extracted.status, 0u) << extracted.out;
    EXPECT_EQ(readFile(tmp.path() / fs::path(std::u8string(name.begin(), name.end()))), data);

    // A writer that stops halfway.
    std::vector<uint8_t> half(zip.bytes.begin(), zip.bytes.begin() + zip.bytes.size() / 2);
    Outcome cut = runWithInput(L"test -", half);
    EXPECT_EQ(cut.status, 1u) << cut.out;
}

}  // namespace
}  // namespace zorvex::test
