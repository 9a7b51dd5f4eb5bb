// Checking an entry's data against what its archive stores (engine/archive.h
// EntryChecks): a running check for readers that copy the data themselves,
// and a stream that reports a failed check as damage, for readers that only
// see the stream (the shell's copy engine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/archive.h"
#include "engine/stream.h"

namespace zorvex {

// Whether the archive stores a check of the entry's data at all.
inline bool storesCheck(const EntryChecks& checks) { return checks.crc || checks.blake2sp; }

// Runs the stored checks over data given front to back.
class DataCheck {
public:
    explicit DataCheck(const EntryChecks& stored);
    ~DataCheck();
    DataCheck(const DataCheck&) = delete;
    DataCheck& operator=(const DataCheck&) = delete;

    void update(const void* data, size_t size);
    // After the last byte (no more updates then). True for a check the
    // archive does not store.
    bool crcMatches() const;
    bool blake2spMatches();
    uint32_t crc() const { return crc_; }

private:
    struct Blake2sp;
    EntryChecks stored_;
    uint32_t crc_ = 0;
    std::unique_ptr<Blake2sp> blake2sp_;  // until the digest is final
    bool blake2spMatched_ = false;
};

// A stream that reads `source` (whose count it takes) and marks itself
// damaged when the bytes from its start to its end fail a stored check.
// Reads may seek anywhere; bytes are checked as they extend the run read
// from the start, so a reader that goes back and reads on is still checked.
// The end is the known size, or where a read finds no more data. `source`
// itself when nothing is stored; null (and `source` released) when memory is
// short.
InStream* openChecked(InStream* source, const EntryChecks& stored);

}  // namespace zorvex
