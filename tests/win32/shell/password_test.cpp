// Encrypted archives in the shell: the password dialog (answered through its
// test hook, so a display is needed), copying encrypted entries through the
// data object with the test copy engine, encrypted listings, extraction, and
// the encrypted mark in the details. The archives are made by
// make_shell_fixtures.py; their password is "secret".
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <optional>
#include <string>
#include <vector>

#include "copy_engine.h"
#include "shell/extract_command.h"
#include "shell/password_prompt.h"
#include "shell_test_util.h"

namespace zorvex::shell {
namespace {

// The dialog's answers for the test hook (shell/password_prompt.h) while the
// object lives.
class Answers {
public:
    explicit Answers(const std::wstring& answers) { SetEnvironmentVariableW(kName, answers.c_str()); }
    ~Answers() { SetEnvironmentVariableW(kName, nullptr); }
    // The answers no dialog took yet.
    std::wstring left() const {
        wchar_t buffer[256];
        DWORD n = GetEnvironmentVariableW(kName, buffer, 256);
        return n < 256 ? std::wstring(buffer, n) : L"<too long>";
    }

private:
    static constexpr const wchar_t* kName = L"ZORVEX_TEST_PASSWORD_ANSWERS";
};

std::vector<uint8_t> source(const wchar_t* name) { return fileBytes(fixtures() + L"\\src\\" + name); }

class PasswordTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        if (fixtures().empty()) GTEST_SKIP() << "ZORVEX_SHELL_FIXTURES is not set";
        // Without a display Wine makes no windows, so no dialog (ViewTest fails
        // then, it does not skip: scripts/test-windows.sh runs both on Xvfb).
        HWND probe = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        if (!probe) GTEST_SKIP() << "needs a display for the password dialog";
        DestroyWindow(probe);
        openArchiveFolder(fixtures() + L"\\secret.zip", folder_, list_);
    }

    // Copies `names` of `folder` with the test copy engine into a fresh
    // folder; the result and what was written.
    static HRESULT copy(IShellFolder* folder, const std::vector<std::wstring>& names, Tree* written) {
        Com<IDataObject> data;
        data.p = uiObjectOf<IDataObject>(folder, names, IID_IDataObject);
        if (!data.p) return E_UNEXPECTED;
        ScratchFolder out(L"zorvex-password-");
        HRESULT hr = copyOut(data.p, out.path);
        *written = readTree(out.path);
        return hr;
    }

    Com<IShellFolder2> folder_;  // on secret.zip
    IdList list_;
};

TEST_F(PasswordTest, DialogTakesWhatIsTypedOrNothingOnCancel) {
    struct Case {
        const wchar_t* answers;
        std::optional<std::u16string> typed;
        const wchar_t* left;
    };
    const Case cases[] = {
        {L"ok:secret\ncancel", u"secret", L"cancel"},
        {L"cancel\nok:secret", std::nullopt, L"ok:secret"},
        {L"ok:p\u00e4ssw\u00f6rd \u263a", u"p\u00e4ssw\u00f6rd \u263a", L""},
        {L"ok:", u"", L""},
        {L"", std::nullopt, L""},  // no answer left: Cancel, never a wait
    };
    for (const Case& c : cases) {
        Answers answers(c.answers);
        std::optional<Password> got = promptForPassword(nullptr, u"C:\\some\\archive.zip");
        ASSERT_EQ(got.has_value(), c.typed.has_value()) << c.answers;
        if (got) EXPECT_EQ(std::u16string(got->begin(), got->end()), *c.typed) << c.answers;
        EXPECT_EQ(answers.left(), c.left);
    }
}

}  // namespace
}  // namespace zorvex::shell
