#include "engine/status.h"

#include <cinttypes>
#include <cstdio>
#include <system_error>

namespace zorvex {

namespace {

// Small numbers (zip methods, RAR versions, one-byte coder ids) read best in
// decimal; long coder ids are written in hex, as their formats list them.
std::string methodNumber(uint64_t method) {
    char text[24];
    if (method <= 0xFFFF) std::snprintf(text, sizeof text, "%" PRIu64, method);
    else std::snprintf(text, sizeof text, "0x%" PRIX64, method);
    return text;
}

}  // namespace

std::string describe(const Status& status) {
    if (status.note()) return status.note();
    switch (status.kind()) {
        case Status::kOk: return {};
        case Status::kTruncated: return "data ends early";
        case Status::kCorrupt: return "data is damaged";
        case Status::kCheckFailed: return "data fails its stored check";
        case Status::kUnsupportedMethod:
            if (status.detail() == Status::kNoDetail) return "compression method is not supported";
            return "method " + methodNumber(status.detail()) + " is not supported";
        case Status::kEncrypted: return "encrypted; give a password with -p";
        case Status::kWrongPassword: return "wrong password";
        case Status::kOutOfMemory: return "out of memory";
        case Status::kIoError:
            return "read error: " + std::system_category().message(static_cast<int>(status.detail()));
    }
    return "failed";
}

}  // namespace zorvex
