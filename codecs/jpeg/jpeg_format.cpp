#include "codecs/jpeg/jpeg_format.h"

#include <cstring>

namespace zorvex::jpeg {

const uint8_t kZigzag[8][8] = {
    {0, 1, 5, 6, 14, 15, 27, 28},     {2, 4, 7, 13, 16, 26, 29, 42},    {3, 8, 12, 17, 25, 30, 41, 43},
    {9, 11, 18, 24, 31, 40, 44, 53},  {10, 19, 23, 32, 39, 45, 52, 54}, {20, 22, 33, 38, 46, 51, 55, 60},
    {21, 34, 37, 47, 50, 56, 59, 61}, {35, 36, 48, 49, 57, 58, 62, 63},
};

const uint8_t kZigzagRow[64] = {0, 0, 1, 2, 1, 0, 0, 1, 2, 3, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6,
                                5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 2,
                                3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 4, 5, 6, 7, 7, 6, 5, 6, 7, 7};
const uint8_t kZigzagColumn[64] = {0, 1, 0, 0, 1, 2, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 4, 3, 2, 1, 0, 0,
                                   1, 2, 3, 4, 5, 6, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7,
                                   6, 5, 4, 3, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 5, 6, 7, 7, 6, 7};

namespace {

constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kSof0 = 0xC0, kSof1 = 0xC1, kDht = 0xC4, kDqt = 0xDB,
                  kDri = 0xDD, kSos = 0xDA;

int be16(const uint8_t* p) { return p[0] << 8 | p[1]; }

// Any other start-of-frame marker: progressive, lossless, hierarchical or
// arithmetic-coded frames, none of which this method stores.
bool isOtherFrame(uint8_t marker) {
    return marker >= 0xC2 && marker <= 0xCF && marker != kDht && marker != 0xC8 && marker != 0xCC;
}

bool parseFrame(const uint8_t* p, size_t length, Frame* frame) {
    if (length < 6) return false;
    int count = p[5];
    if (count < 1 || count > kMaxComponents || length < 6 + 3 * size_t(count)) return false;
    Frame f{};
    f.height = be16(p + 1);
    f.width = be16(p + 3);
    f.componentCount = count;
    if (f.width == 0 || f.height == 0) return false;  // a height from a later DNL marker is not supported
    int hMax = 1, vMax = 1;
    for (int i = 0; i < count; ++i) {
        const uint8_t* c = p + 6 + 3 * i;
        FrameComponent& component = f.components[i];
        component.id = c[0];
        // A single-component frame has one block per MCU whatever it declares.
        component.h = count == 1 ? 1 : c[1] >> 4;
        component.v = count == 1 ? 1 : c[1] & 15;
        component.quantTable = c[2];
        if (component.h < 1 || component.h > 4 || component.v < 1 || component.v > 4 || component.quantTable > 3)
            return false;
        if (component.h > hMax) hMax = component.h;
        if (component.v > vMax) vMax = component.v;
    }
    f.mcuColumns = (f.width + 8 * hMax - 1) / (8 * hMax);
    f.mcuRows = (f.height + 8 * vMax - 1) / (8 * vMax);
    f.present = true;
    *frame = f;
    return true;
}

// Canonical codes: consecutive codes per length, in the order the symbols are listed.
bool parseHuffman(const uint8_t* p, size_t length, JpegTables* tables) {
    while (length > 0) {
        if (length < 17 || p[0] > 31) return false;
        int tableClass = p[0] >> 4, number = p[0] & 15;
        const uint8_t* counts = p + 1;
        size_t total = 0;
        for (int i = 0; i < 16; ++i) total += counts[i];
        if (total > 256 || length < 17 + total) return false;
        HuffmanCode& table = tables->huffman[tableClass][number];
        std::memset(&table, 0, sizeof table);
        const uint8_t* symbol = p + 17;
        uint32_t code = 0;
        for (int bits = 1; bits <= 16; ++bits) {
            for (int i = 0; i < counts[bits - 1]; ++i, ++symbol, ++code) {
                table.code[*symbol] = static_cast<uint16_t>(code);
                table.length[*symbol] = static_cast<uint8_t>(bits);
            }
            if (code > (1u << bits)) return false;  // more codes than the length allows
            code <<= 1;
        }
        p += 17 + total;
        length -= 17 + total;
    }
    return true;
}

bool parseQuant(const uint8_t* p, size_t length, JpegTables* tables) {
    while (length > 0) {
        int precision = p[0] >> 4, number = p[0] & 15;
        size_t need = 1 + 64 * size_t(precision + 1);
        if (precision > 1 || number > 3 || length < need) return false;
        for (int k = 0; k < 64; ++k)
            tables->quant[number][k] = precision ? static_cast<uint16_t>(be16(p + 1 + 2 * k)) : p[1 + k];
        tables->quantDefined[number] = true;
        p += need;
        length -= need;
    }
    return true;
}

// Only sequential scans of the whole spectrum in one pass exist in baseline frames.
bool parseScan(const uint8_t* p, size_t length, JpegTables* tables) {
    const Frame& frame = tables->frame;
    if (!frame.present || length < 1) return false;
    int count = p[0];
    if (count < 1 || count > kMaxComponents || length < 4 + 2 * size_t(count)) return false;
    Scan scan{};
    scan.componentCount = count;
    for (int i = 0; i < count; ++i) {
        const uint8_t* c = p + 1 + 2 * i;
        ScanComponent& component = scan.components[i];
        component.frameIndex = -1;
        for (int j = 0; j < frame.componentCount; ++j)
            if (frame.components[j].id == c[0]) component.frameIndex = j;
        if (component.frameIndex < 0) return false;
        component.dcTable = c[1] >> 4;
        component.acTable = c[1] & 15;
    }
    const uint8_t* spectral = p + 1 + 2 * count;
    if (spectral[0] != 0 || spectral[1] != 63 || spectral[2] != 0) return false;
    tables->scan = scan;
    return true;
}

}  // namespace

size_t findStartOfImage(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 1 < size; ++i)
        if (data[i] == 0xFF && data[i + 1] == kSoi) return i;
    return size;
}

ParseResult parseMarkers(const uint8_t* data, size_t size, JpegTables* tables) {
    size_t at = 0;
    for (;;) {
        if (at >= size || data[at] != 0xFF) return ParseResult::kFailed;
        while (at < size && data[at] == 0xFF) ++at;  // fill bytes
        if (at >= size) return ParseResult::kFailed;
        uint8_t marker = data[at++];
        if (marker == kEoi) return ParseResult::kEndOfImage;
        if (marker == kSoi) continue;  // the next byte must start a marker, checked above
        if (size - at < 2) return ParseResult::kFailed;
        size_t length = static_cast<size_t>(be16(data + at));
        if (length < 2 || length > size - at) return ParseResult::kFailed;
        const uint8_t* body = data + at + 2;
        size_t bodyLength = length - 2;
        at += length;
        bool ok = true;
        if (marker == kSof0 || marker == kSof1) {
            ok = parseFrame(body, bodyLength, &tables->frame);
        } else if (isOtherFrame(marker)) {
            ok = false;
        } else if (marker == kDht) {
            ok = parseHuffman(body, bodyLength, tables);
        } else if (marker == kDqt) {
            ok = parseQuant(body, bodyLength, tables);
        } else if (marker == kDri) {
            ok = bodyLength >= 2;
            if (ok) tables->restartInterval = be16(body);
        } else if (marker == kSos) {
            return parseScan(body, bodyLength, tables) ? ParseResult::kScanFollows : ParseResult::kFailed;
        }
        if (!ok) return ParseResult::kFailed;
    }
}

}  // namespace zorvex::jpeg
