// RAR 2.9 filters: definitions read from the data, the standard filters
// recognised by the fingerprint of their program, and their place on the
// way out of the window. No filter program is executed: a program that is
// not one of the standard ones leaves its block unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace zorvex::rar {

class Unpacker;

enum class FilterType { kNone, kE8, kE8E9, kItanium, kDelta, kRgb, kAudio };

// The memory a filter works in: its block at the start, and what some
// filters produce right after it.
constexpr uint32_t kFilterMemory = 0x40000;
constexpr uint32_t kFilterGlobalArea = 0x3C000;
constexpr int kFilterRegisters = 7;

// The standard filter a program's bytes stand for; None for any other program.
FilterType recogniseFilter(const uint8_t* code, size_t size);

struct FilterResult {
    uint32_t offset;
    uint32_t size;
};

// Runs a standard filter over memory[0, length) (memory holds kFilterMemory
// bytes plus 4). `registers[6]` is the output of the current file before the
// block. Where the result lies in memory.
FilterResult runFilter(FilterType type, uint8_t* memory, uint32_t length, const uint32_t* registers);

class Filters29 {
public:
    static constexpr size_t kMaxPrograms = 1024;
    static constexpr size_t kMaxPending = 8192;
    static constexpr uint32_t kMaxGlobalData = 8128;

    // Forgets every program and pending filter (a stream starts).
    void reset();
    // A member starts: filters pending from the last member are gone.
    void startMember() { pending_.clear(); }
    // Reads one definition (`flags` and the bytes that follow it). False when
    // it breaks a limit.
    bool define(Unpacker& unpacker, uint8_t flags, const uint8_t* code, size_t size);
    // Hands the decoded bytes to the output, each filtered block once it is
    // complete. `memberEnd`: nothing more is decoded for this member.
    bool writeOut(Unpacker& unpacker, bool memberEnd);

private:
    struct Program {
        FilterType type = FilterType::kNone;
        uint32_t blockLength = 0;
        uint32_t useCount = 0;
    };
    struct Pending {
        FilterType type;
        uint64_t start;  // window position
        uint32_t length;
        uint32_t registers[kFilterRegisters];
    };
    bool apply(Unpacker& unpacker, Pending& filter);

    std::vector<Program> programs_;
    size_t lastProgram_ = 0;
    std::deque<Pending> pending_;
    std::unique_ptr<uint8_t[]> memory_;
};

}  // namespace zorvex::rar
