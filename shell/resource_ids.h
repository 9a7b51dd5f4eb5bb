// Identifiers of the library's resources, shared by resources.rc (which the
// resource compiler reads with the C preprocessor, hence macros) and the code.
#pragma once

#define ZORVEX_MENU_BITMAP 11

// The password dialog and its controls.
#define ZORVEX_PASSWORD_DIALOG 101
#define ZORVEX_PASSWORD_QUESTION 1001
#define ZORVEX_PASSWORD_EDIT 1002
