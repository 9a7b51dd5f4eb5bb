#include "shell/password_prompt.h"

#include <vector>

#include "shell/module.h"
#include "shell/resource_ids.h"

namespace zorvex::shell {

namespace {

// Longer passwords than any archiver takes; the box refuses more typing.
constexpr int kMaxPasswordLength = 1024;
const wchar_t kTestAnswers[] = L"ZORVEX_TEST_PASSWORD_ANSWERS";

struct Prompt {
    const std::u16string* archive;
    std::optional<Password> answer;
};

struct TestAnswer {
    bool ok;
    std::wstring typed;
};

// The next answer of the test hook, taken out of its variable; none when the
// hook is not set.
std::optional<TestAnswer> takeTestAnswer() {
    DWORD size = GetEnvironmentVariableW(kTestAnswers, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::vector<wchar_t> buffer(size);
    DWORD length = GetEnvironmentVariableW(kTestAnswers, buffer.data(), size);
    std::wstring answers(buffer.data(), length < size ? length : 0);
    size_t end = answers.find(L'\n');
    std::wstring rest = end == std::wstring::npos ? L"" : answers.substr(end + 1);
    SetEnvironmentVariableW(kTestAnswers, rest.c_str());
    std::wstring first = answers.substr(0, end);
    if (first.rfind(L"ok:", 0) != 0) return TestAnswer{false, {}};
    return TestAnswer{true, first.substr(3)};
}

std::optional<Password> editText(HWND edit) {
    int length = GetWindowTextLengthW(edit);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    int got = GetWindowTextW(edit, buffer.data(), length + 1);
    Password text(buffer.data(), buffer.data() + (got > 0 ? got : 0));
    SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
    SetWindowTextW(edit, L"");
    return text;
}

INT_PTR CALLBACK dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* prompt = reinterpret_cast<Prompt*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG: {
            prompt = reinterpret_cast<Prompt*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const std::wstring question =
                L"Password for " + std::wstring(prompt->archive->begin(), prompt->archive->end()) + L":";
            SetDlgItemTextW(dialog, ZORVEX_PASSWORD_QUESTION, question.c_str());
            HWND edit = GetDlgItem(dialog, ZORVEX_PASSWORD_EDIT);
            SendMessageW(edit, EM_SETLIMITTEXT, kMaxPasswordLength, 0);
            if (std::optional<TestAnswer> test = takeTestAnswer()) {
                if (test->ok) SetWindowTextW(edit, test->typed.c_str());
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(test->ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
            }
            SetFocus(edit);
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                prompt->answer = editText(GetDlgItem(dialog, ZORVEX_PASSWORD_EDIT));
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                SetDlgItemTextW(dialog, ZORVEX_PASSWORD_EDIT, L"");
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

std::optional<Password> promptForPassword(HWND owner, const std::u16string& archive) {
    Prompt prompt{&archive, std::nullopt};
    HWND top = owner ? GetAncestor(owner, GA_ROOT) : nullptr;
    INT_PTR result = DialogBoxParamW(moduleHandle(), MAKEINTRESOURCEW(ZORVEX_PASSWORD_DIALOG), top, dialogProcedure,
                                     reinterpret_cast<LPARAM>(&prompt));
    if (result != IDOK) return std::nullopt;
    return prompt.answer;
}

}  // namespace zorvex::shell
