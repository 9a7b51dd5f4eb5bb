// Writes bit streams for decoder tests: plain bits least significant first, as
// deflate-like formats store them, and codes most significant bit first.
#pragma once

#include <cstdint>
#include <vector>

namespace zorvex::test {

class LsbBitWriter {
public:
    void bits(uint32_t value, int count) {
        for (int i = 0; i < count; ++i) put((value >> i) & 1);
    }
    void code(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) put((value >> i) & 1);
    }
    void align() {
        while (used_) put(0);
    }
    void bytes(const std::vector<uint8_t>& data) {
        align();
        out_.insert(out_.end(), data.begin(), data.end());
    }
    // The bytes written; the last one's unused bits are zero.
    std::vector<uint8_t> finish() const { return out_; }

private:
    void put(uint32_t bit) {
        if (!used_) out_.push_back(0);
        out_.back() |= static_cast<uint8_t>(bit << used_);
        used_ = (used_ + 1) & 7;
    }
    std::vector<uint8_t> out_;
    int used_ = 0;
};

}  // namespace zorvex::test
