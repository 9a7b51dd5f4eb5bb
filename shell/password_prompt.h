// The library's password dialog: a modal dialog (resources.rc) with the
// question, a password box, OK and Cancel.
//
// Test hook: when the environment variable ZORVEX_TEST_PASSWORD_ANSWERS is
// set, the dialog is still made and shown, but answers itself with the first
// of the variable's answers and removes that answer from the variable, so that
// a test also learns how often it was asked. Answers are separated by line
// feeds; "ok:TEXT" enters TEXT and presses OK, anything else presses Cancel,
// as does a variable with no answers left (a test never waits for a person).
// Only the COM server tests set it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "engine/password.h"

namespace zorvex::shell {

// Asks for the password of `archive` (its full name, shown in the question)
// in a dialog owned by the top-level window of `owner` (may be null). None
// when the user cancelled or the dialog could not be shown.
std::optional<Password> promptForPassword(HWND owner, const std::u16string& archive);

}  // namespace zorvex::shell
