// Why reading failed: the reason a stream, an entry or an archive level
// carries once something went wrong, and the one text every message about it
// is made from.
//
// A stream keeps the first failure it meets (InStream::fail); a stream over
// another takes on its source's failure as it reads. Readers and codecs set
// the most specific reason they know; "corrupt data" is what remains when no
// more is known.
#pragma once

#include <cstdint>
#include <string>

namespace zorvex {

class Status {
public:
    enum Kind : uint8_t {
        kOk,
        kTruncated,          // the data ends before it is complete
        kCorrupt,            // the data cannot be decoded as its format says
        kCheckFailed,        // decoded whole, but a stored CRC, hash or size disagrees
        kUnsupportedMethod,  // a method (or coder) no codec here decodes
        kEncrypted,          // needs a password that was not given
        kWrongPassword,
        kOutOfMemory,
        kIoError,  // the file could not be read; detail() is the system's error code
    };

    constexpr Status() = default;

    static constexpr Status truncated(const char* note = nullptr) { return {kTruncated, 0, note}; }
    static constexpr Status corrupt(const char* note = nullptr) { return {kCorrupt, 0, note}; }
    static constexpr Status checkFailed(const char* note = nullptr) { return {kCheckFailed, 0, note}; }
    // `method` as the format numbers it; without one the message names none.
    static constexpr Status unsupportedMethod(uint64_t method) { return {kUnsupportedMethod, method, nullptr}; }
    static constexpr Status unsupportedMethod() { return {kUnsupportedMethod, kNoDetail, nullptr}; }
    static constexpr Status encrypted() { return {kEncrypted, 0, nullptr}; }
    // Encrypted with a cipher (or settings) no codec here decrypts.
    static constexpr Status unsupportedEncryption(const char* note = "encryption method not supported") {
        return {kUnsupportedMethod, kNoDetail, note};
    }
    // `note` where the format cannot tell a wrong password from damage.
    static constexpr Status wrongPassword(const char* note = nullptr) { return {kWrongPassword, 0, note}; }
    static constexpr Status outOfMemory() { return {kOutOfMemory, 0, nullptr}; }
    // `systemError`: errno, or GetLastError() on Windows.
    static constexpr Status ioError(int systemError) { return {kIoError, uint64_t(uint32_t(systemError)), nullptr}; }

    bool ok() const { return kind_ == kOk; }
    Kind kind() const { return kind_; }
    // The method number or system error code; kNoDetail when there is none.
    uint64_t detail() const { return detail_; }
    // A fixed text (a string literal) that words the failure more exactly than
    // its kind, such as "BLAKE2sp mismatch"; null for none.
    const char* note() const { return note_; }

    // Takes `failure` unless a failure is kept already: the first one wins.
    void update(const Status& failure) {
        if (ok()) *this = failure;
    }

    static constexpr uint64_t kNoDetail = ~uint64_t{0};

private:
    constexpr Status(Kind kind, uint64_t detail, const char* note) : kind_(kind), detail_(detail), note_(note) {}

    Kind kind_ = kOk;
    uint64_t detail_ = 0;
    const char* note_ = nullptr;
};

// The failure as the user reads it (UTF-8): the note when there is one, else
// the kind's text, such as "data ends early", "method 14 is not supported" or
// "read error: Input/output error". Empty for no failure.
std::string describe(const Status& status);

}  // namespace zorvex
