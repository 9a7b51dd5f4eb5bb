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

TEST_F(PasswordTest, CopyAsksOnceAndWritesNothingWithoutTheRightPassword) {
    const HRESULT wrong = HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
    struct Case {
        const wchar_t* archive;
        const wchar_t* answer;
        HRESULT result;
    };
    const Case cases[] = {
        {L"secret.zip", L"ok:secret", S_OK}, {L"secret.zip", L"ok:wrong", wrong},
        {L"secret.zip", L"cancel", E_ACCESSDENIED}, {L"aes.zip", L"ok:secret", S_OK},
        {L"aes.zip", L"ok:Secret", wrong},          {L"aes.zip", L"cancel", E_ACCESSDENIED},
        {L"secret.7z", L"ok:secret", S_OK},         {L"secret.7z", L"ok:wrong", wrong},
        {L"secret.7z", L"cancel", E_ACCESSDENIED},
    };
    for (const Case& c : cases) {
        Com<IShellFolder2> folder;
        IdList list;
        openArchiveFolder(fixtures() + L"\\" + c.archive, folder, list);
        // Two encrypted entries, one question.
        Answers answers(std::wstring(c.answer) + L"\nok:unused");
        Tree written;
        EXPECT_EQ(copy(folder.p, {L"hidden.bin", L"second.bin"}, &written), c.result) << c.archive << " " << c.answer;
        EXPECT_EQ(answers.left(), L"ok:unused") << c.archive << " " << c.answer;
        if (c.result == S_OK)
            EXPECT_EQ(written, Tree({{L"hidden.bin", source(L"hidden.bin")}, {L"second.bin", source(L"second.bin")}}))
                << c.archive;
        else
            EXPECT_EQ(written, Tree()) << c.archive << " " << c.answer;
    }
}

TEST_F(PasswordTest, PlainEntriesBesideEncryptedOnesAskNothing) {
    Answers answers(L"ok:unused");
    Tree written;
    ASSERT_EQ(copy(folder_.p, {L"plain.txt"}, &written), S_OK);
    EXPECT_EQ(written, Tree({{L"plain.txt", source(L"plain.txt")}}));
    EXPECT_EQ(answers.left(), L"ok:unused");
}

TEST_F(PasswordTest, KeptWhileTheFolderLivesAskedAgainAfterAWrongOne) {
    Answers answers(L"ok:wrong\nok:secret\nok:again\nok:unused");
    Tree written;
    EXPECT_EQ(copy(folder_.p, {L"hidden.bin"}, &written), HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(copy(folder_.p, {L"hidden.bin"}, &written), S_OK);
    EXPECT_EQ(written[L"hidden.bin"], source(L"hidden.bin"));
    EXPECT_EQ(answers.left(), L"ok:again\nok:unused");
    // The folder keeps it: another copy and a stream bound to the item
    // (opening the entry) ask nothing.
    EXPECT_EQ(copy(folder_.p, {L"second.bin"}, &written), S_OK);
    EXPECT_EQ(readAll(folder_.p, L"hidden.bin"), source(L"hidden.bin"));
    EXPECT_EQ(answers.left(), L"ok:again\nok:unused");

    // Once no object of the archive lives, it is forgotten.
    folder_.p->Release();
    folder_.p = nullptr;
    Com<IShellFolder2> reopened;
    IdList list;
    openArchiveFolder(fixtures() + L"\\secret.zip", reopened, list);
    EXPECT_EQ(copy(reopened.p, {L"second.bin"}, &written), HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(answers.left(), L"ok:unused");
}

TEST_F(PasswordTest, EncryptedListingAsksWhenTheFolderIsEntered) {
    Com<IShellFolder2> folder;
    IdList list;
    openArchiveFolder(fixtures() + L"\\hidden.7z", folder, list);
    Answers answers(L"cancel\nok:wrong\nok:secret\nok:unused");
    Com<IEnumIDList> items;
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items.p), E_FAIL);  // cancelled
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items.p), E_FAIL);  // wrong
    ASSERT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items.p), S_OK);
    EXPECT_EQ(answers.left(), L"ok:unused");
    // Its entries' data takes the same password without asking.
    Tree written;
    ASSERT_EQ(copy(folder.p, {L"hidden.bin", L"second.bin"}, &written), S_OK);
    EXPECT_EQ(written, Tree({{L"hidden.bin", source(L"hidden.bin")}, {L"second.bin", source(L"second.bin")}}));
    EXPECT_EQ(answers.left(), L"ok:unused");
}

TEST_F(PasswordTest, EncryptedNestedArchiveAsksWhenEntered) {
    Com<IShellFolder2> outer;
    IdList list;
    openArchiveFolder(fixtures() + L"\\nested.zip", outer, list);
    Answers answers(L"cancel\nok:secret\nok:unused");
    std::wstring name = L"inner.zip";
    IdList item;
    ASSERT_EQ(outer->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, item.out(), nullptr), S_OK);
    Com<IShellFolder2> inner;
    EXPECT_EQ(outer->BindToObject(item.p, nullptr, IID_IShellFolder2, inner.out()), E_FAIL);  // cancelled
    ASSERT_EQ(outer->BindToObject(item.p, nullptr, IID_IShellFolder2, inner.out()), S_OK);
    EXPECT_EQ(readAll(inner.p, L"x.bin"), source(L"x.bin"));
    EXPECT_EQ(answers.left(), L"ok:unused");
}

TEST_F(PasswordTest, ExtractionAsksOncePerArchive) {
    Com<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(&desktop.p), S_OK);
    const std::wstring f = fixtures() + L"\\";
    // hidden.7z asks as it is opened; the zips when the copy thread first
    // reads one of their encrypted entries.
    Answers answers(L"ok:secret\nok:secret\nok:secret\nok:unused");
    ScratchFolder out(L"zorvex-password-extract-");
    {
        Com<IDataObject> data;
        data.p = extractionDataObject({f + L"secret.zip", f + L"aes.zip", f + L"hidden.7z"}, desktop.p);
        ASSERT_TRUE(data.p);
        CopyEngineTarget target(out.path, true);
        dropAndWait(&target, data.p);
        EXPECT_EQ(target.result, S_OK);
    }
    EXPECT_EQ(answers.left(), L"ok:unused");
    Tree want;
    for (const wchar_t* top : {L"secret", L"aes", L"hidden"}) {
        want[std::wstring(top) + L"\\"] = {};
        want[std::wstring(top) + L"\\hidden.bin"] = source(L"hidden.bin");
        want[std::wstring(top) + L"\\second.bin"] = source(L"second.bin");
    }
    want[L"secret\\plain.txt"] = source(L"plain.txt");
    EXPECT_EQ(readTree(out.path), want);
}

TEST_F(PasswordTest, EncryptedEntriesAreMarkedInTheDetails) {
    struct Case {
        const wchar_t* name;
        const wchar_t* text;
        ULONG attributes;
    };
    const Case cases[] = {
        {L"hidden.bin", L"Yes", FILE_ATTRIBUTE_ENCRYPTED},
        {L"plain.txt", L"", FILE_ATTRIBUTE_NORMAL},
    };
    SHCOLUMNID key;
    ASSERT_EQ(folder_->MapColumnToSCID(3, &key), S_OK);
    EXPECT_EQ(key.pid, 13u);  // the storage set's attributes
    for (const Case& c : cases) {
        std::wstring name = c.name;
        IdList item;
        ASSERT_EQ(folder_->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, item.out(), nullptr), S_OK);
        SHELLDETAILS details = {};
        ASSERT_EQ(folder_->GetDetailsOf(item.p, 3, &details), S_OK);
        EXPECT_EQ(takeString(details.str), c.text);
        VARIANT value;
        VariantInit(&value);
        ASSERT_EQ(folder_->GetDetailsEx(item.p, &key, &value), S_OK);
        EXPECT_EQ(V_VT(&value), VT_UI4);
        EXPECT_EQ(V_UI4(&value), c.attributes) << c.name;
    }
    SHELLDETAILS header = {};
    ASSERT_EQ(folder_->GetDetailsOf(nullptr, 3, &header), S_OK);
    EXPECT_EQ(takeString(header.str), L"Encrypted");
    SHCOLSTATEF state = 0;
    ASSERT_EQ(folder_->GetDefaultColumnState(3, &state), S_OK);
    EXPECT_EQ(state, static_cast<SHCOLSTATEF>(SHCOLSTATE_TYPE_STR));
}

}  // namespace
}  // namespace zorvex::shell
