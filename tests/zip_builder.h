// Builds zip archives record by record, for the cases that no writer makes on
// request: odd flags, sizes that disagree, zip64 fields, junk between records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/crc32.h"

namespace zorvex::test {

inline uint32_t le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

struct ZipEntry {
    uint16_t method = 0;
    uint16_t flags = 0;
    // Values for the local header's size fields; by default the real ones
    // (0 for an entry with a data descriptor).
    std::optional<uint32_t> packedSize;
    std::optional<uint32_t> size;
    std::vector<uint8_t> extra;
};

struct ZipFinish {
    std::string comment;
    bool zip64End = false;      // zip64 end record and locator
    bool zip64Offsets = false;  // header offsets only in zip64 fields
};

class ZipBuilder {
public:
    static constexpr uint16_t kDate = 0x5284;  // 2021-04-04
    static constexpr uint16_t kTime = 0x6A35;  // 13:17:42

    std::vector<uint8_t> bytes;

    void raw(const std::vector<uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }

    // Appends a local header, the data as given (already packed) and, for
    // flag bit 3, a data descriptor. Returns where the data starts.
    size_t local(const std::string& name, const std::vector<uint8_t>& data, const ZipEntry& e = {}) {
        Central c{name, e.method, e.flags, crc32Update(0, data.data(), data.size()),
                  static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size()), bytes.size()};
        bool descriptor = e.flags & 8;
        u32(0x04034B50);
        u16(20);
        u16(e.flags);
        u16(e.method);
        u16(kTime);
        u16(kDate);
        u32(descriptor ? 0 : c.crc);
        u32(e.packedSize.value_or(descriptor ? 0 : c.packedSize));
        u32(e.size.value_or(descriptor ? 0 : c.size));
        u16(static_cast<uint16_t>(name.size()));
        u16(static_cast<uint16_t>(e.extra.size()));
        raw(std::vector<uint8_t>(name.begin(), name.end()));
        raw(e.extra);
        size_t dataOffset = bytes.size();
        raw(data);
        if (descriptor) {
            u32(0x08074B50);
            u32(c.crc);
            u32(c.packedSize);
            u32(c.size);
        }
        central.push_back(c);
        return dataOffset;
    }

    // Appends the central directory and the end records.
    void finish(const ZipFinish& f = {}) {
        uint64_t directory = bytes.size();
        for (const Central& c : central) {
            std::vector<uint8_t> extra = f.zip64Offsets ? zip64Extra({c.headerOffset}) : std::vector<uint8_t>{};
            u32(0x02014B50);
            u16(20);
            u16(20);
            u16(c.flags);
            u16(c.method);
            u16(kTime);
            u16(kDate);
            u32(c.crc);
            u32(c.packedSize);
            u32(c.size);
            u16(static_cast<uint16_t>(c.name.size()));
            u16(static_cast<uint16_t>(extra.size()));
            u16(0);
            u16(0);
            u16(0);
            u32(0);
            u32(f.zip64Offsets ? 0xFFFFFFFF : static_cast<uint32_t>(c.headerOffset));
            raw(std::vector<uint8_t>(c.name.begin(), c.name.end()));
            raw(extra);
        }
        uint64_t directorySize = bytes.size() - directory;
        uint64_t count = central.size();
        if (f.zip64End) {
            uint64_t record = bytes.size();
            u32(0x06064B50);
            u64(44);
            u16(45);
            u16(45);
            u32(0);
            u32(0);
            u64(count);
            u64(count);
            u64(directorySize);
            u64(directory);
            u32(0x07064B50);
            u32(0);
            u64(record);
            u32(1);
        }
        u32(0x06054B50);
        u16(0);
        u16(0);
        u16(f.zip64End ? 0xFFFF : static_cast<uint16_t>(count));
        u16(f.zip64End ? 0xFFFF : static_cast<uint16_t>(count));
        u32(f.zip64End ? 0xFFFFFFFF : static_cast<uint32_t>(directorySize));
        u32(f.zip64End ? 0xFFFFFFFF : static_cast<uint32_t>(directory));
        u16(static_cast<uint16_t>(f.comment.size()));
        raw(std::vector<uint8_t>(f.comment.begin(), f.comment.end()));
    }

    // A zip64 extra field (id 1) holding the values given.
    static std::vector<uint8_t> zip64Extra(const std::vector<uint64_t>& values) {
        ZipBuilder b;
        b.u16(1);
        b.u16(static_cast<uint16_t>(8 * values.size()));
        for (uint64_t v : values) b.u64(v);
        return b.bytes;
    }

    // The directory's records, as finish() will write them: a test may change
    // or repeat one first.
    struct Central {
        std::string name;
        uint16_t method, flags;
        uint32_t crc, packedSize, size;
        uint64_t headerOffset;
    };
    std::vector<Central> central;

    void u16(uint16_t v) { raw({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
};

}  // namespace zorvex::test
