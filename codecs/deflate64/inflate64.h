// Inflate for Deflate64: Deflate with a 64 KiB history, length code 285
// carrying 16 extra bits (lengths 3 to 65538) and distance codes 30 and 31
// (bases 32769 and 49153, 14 extra bits each).
//
// The decoder is a resumable state machine: it takes input and gives output
// in pieces of any size, keeping partial bits and undelivered output itself.
#pragma once

#include <cstdint>

#include "codecs/common/bit_reader.h"
#include "codecs/common/huffman.h"

namespace zorvex {

class Inflate64 {
public:
    enum Result { kError = 0, kProgress = 1, kEnd = 2 };

    Inflate64();
    ~Inflate64();
    Inflate64(const Inflate64&) = delete;
    Inflate64& operator=(const Inflate64&) = delete;

    // False when the history buffer could not be allocated.
    bool ok() const { return window_ != nullptr; }
    void reset();
    // Consumes input and produces output. kEnd once the final block is
    // decoded and all its output delivered; kError on corrupt data (output
    // decoded before the fault is delivered first). An empty input that leads
    // to no output is an error: the data was cut short.
    Result decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);

    using LiteralTable = HuffmanTable<BitOrder::kLsbFirst, 288, 10>;
    using DistanceTable = HuffmanTable<BitOrder::kLsbFirst, 32, 8>;
    using CodeLengthTable = HuffmanTable<BitOrder::kLsbFirst, 19, 7, 7>;

private:
    enum State {
        kBlockHeader,      // the 3 bits that say whether the block is the last and how it is coded
        kStoredHeader,     // a stored block's length and its complement, after the byte boundary
        kStoredCopy,       // copying a stored block's bytes into the window
        kDynamicHeader,    // the counts of literal/length, distance and code length codes
        kCodeLengthCodes,  // the code lengths of the code length alphabet
        kCodeLengths,      // the literal/length and distance code lengths, run-length coded
        kLiteralLength,    // a literal, an end of block, or the length of a match
        kDistance,         // the distance of the match whose length was just read
        kDone,             // the last block ended: nothing more is decoded
        kFailed,           // the data is damaged: nothing more is decoded
    };

    // Runs the state machine until the window's work area is full, input is
    // exhausted (false), the end is reached or the data is corrupt.
    bool run();
    bool decodeCodes();
    bool readStored();
    bool readDynamicHeader();
    bool buildDynamicTables();
    void flush(uint8_t* out, int outCapacity, int* produced);

    uint8_t* window_;
    int windowPos_ = 0;     // where the next byte is written
    int deliveredPos_ = 0;  // window bytes before this were handed out
    int64_t total_ = 0;     // bytes decoded so far, for distance checks

    LsbBitReader in_;

    State state_ = kBlockHeader;
    bool finalBlock_ = false;
    bool error_ = false;
    int storedLeft_ = 0;
    int matchLength_ = 0;

    // Dynamic header progress.
    int literalCount_ = 0;
    int distanceCount_ = 0;
    int codeLengthCount_ = 0;
    int lengthIndex_ = 0;
    uint8_t lengths_[288 + 32];

    LiteralTable literalTable_;
    DistanceTable distanceTable_;
    CodeLengthTable codeLengthTable_;
};

}  // namespace zorvex
