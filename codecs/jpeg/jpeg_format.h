// Baseline JPEG structures: coefficient blocks, zigzag geometry, and the
// tables and headers that marker segments define.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace zorvex::jpeg {

constexpr int kMaxComponents = 4;
constexpr int kMaxBlocksPerMcu = 10;

// The quantised coefficients of one 8x8 block in zigzag order.
struct Block {
    int16_t coefficient[64];
    int32_t acSum;  // sum of the AC magnitudes
    uint8_t eob;    // position of the last non-zero AC coefficient, 0 when there is none
};

// The JPEG size category: the number of binary digits of v.
inline int category(uint64_t v) { return std::bit_width(v); }

// Zigzag position -> row and column of the frequency, and back.
extern const uint8_t kZigzagRow[64];
extern const uint8_t kZigzagColumn[64];
extern const uint8_t kZigzag[8][8];

// Per symbol: its code and code length (0 when the table gives it no code).
struct HuffmanCode {
    uint16_t code[256];
    uint8_t length[256];
};

struct FrameComponent {
    int id;
    int h, v;  // sampling factors
    int quantTable;
};

struct Frame {
    bool present;
    int width, height;
    int componentCount;
    FrameComponent components[kMaxComponents];
    int mcuColumns, mcuRows;
};

struct ScanComponent {
    int frameIndex;
    int dcTable, acTable;
};

struct Scan {
    int componentCount;
    ScanComponent components[kMaxComponents];
};

// What the marker segments seen so far define; tables persist across scans.
struct JpegTables {
    Frame frame;
    Scan scan;
    uint16_t quant[4][64];  // in zigzag order, as stored
    bool quantDefined[4];
    HuffmanCode huffman[2][16];  // [class: 0 DC, 1 AC][table number]
    int restartInterval;
};

enum class ParseResult { kFailed, kScanFollows, kEndOfImage };

// Position of the first start-of-image marker (FF D8); `size` when there is none.
size_t findStartOfImage(const uint8_t* data, size_t size);

// Parses marker segments up to a start of scan or the end of image.
ParseResult parseMarkers(const uint8_t* data, size_t size, JpegTables* tables);

}  // namespace zorvex::jpeg
