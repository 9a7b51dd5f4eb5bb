#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/common/bit_reader.h"
#include "codecs/common/huffman.h"

namespace zorvex {
namespace {

// Packs (value, width) fields in either bit order, for the readers to take apart.
class BitWriter {
public:
    explicit BitWriter(BitOrder order) : order_(order) {}
    void put(uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            int bit = order_ == BitOrder::kLsbFirst ? (value >> i) & 1 : (value >> (width - 1 - i)) & 1;
            if (count_ % 8 == 0) bytes_.push_back(0);
            int shift = order_ == BitOrder::kLsbFirst ? count_ % 8 : 7 - count_ % 8;
            bytes_.back() |= static_cast<uint8_t>(bit << shift);
            ++count_;
        }
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    size_t bitCount() const { return count_; }

private:
    BitOrder order_;
    std::vector<uint8_t> bytes_;
    size_t count_ = 0;
};

struct Field {
    uint32_t value;
    int width;
};

std::vector<Field> randomFields(int count, int maxWidth, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Field> fields;
    for (int i = 0; i < count; ++i) {
        int width = 1 + static_cast<int>(rng() % maxWidth);
        fields.push_back({static_cast<uint32_t>(rng()) & static_cast<uint32_t>((uint64_t{1} << width) - 1), width});
    }
    return fields;
}

// Canonical codes the plain way: symbols sorted by (length, symbol), each code
// one more than the previous, shifted left when the length grows.
std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
    std::vector<int> order;
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) order.push_back(static_cast<int>(i));
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return lengths[a] < lengths[b]; });
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    int previous = 0;
    for (int symbol : order) {
        code <<= lengths[symbol] - previous;
        previous = lengths[symbol];
        codes[symbol] = code++;
    }
    return codes;
}

// Lengths 1, 2, ..., 14, 15, 15: a complete set reaching the longest code.
std::vector<uint8_t> deepLengths() {
    std::vector<uint8_t> lengths;
    for (int i = 1; i <= 15; ++i) lengths.push_back(static_cast<uint8_t>(i));
    lengths.push_back(15);
    return lengths;
}

TEST(BitReader, LsbFieldsSurviveInputGivenInPieces) {
    auto fields = randomFields(3000, 32, 1);
    BitWriter writer(BitOrder::kLsbFirst);
    for (const Field& f : fields) writer.put(f.value, f.width);
    const auto& data = writer.bytes();

    for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{13}, size_t{4096}}) {
        SCOPED_TRACE(piece);
        LsbBitReader reader;
        reader.setInput(data.data(), data.data());
        for (const Field& f : fields) {
            // Hand over the next piece only when the buffered bits run short,
            // as a decoder's caller does between calls.
            while (!reader.ensure(f.width)) {
                size_t given = static_cast<size_t>(reader.input() - data.data());
                ASSERT_LT(given, data.size());
                size_t n = std::min(piece, data.size() - given);
                reader.setInput(data.data() + given, data.data() + given + n);
            }
            ASSERT_EQ(reader.read(f.width), f.value);
        }
    }
}

TEST(BitReader, LsbCopiesWholeBytesAfterAlignment) {
    BitWriter writer(BitOrder::kLsbFirst);
    writer.put(5, 3);
    writer.put(0, 5);
    std::vector<uint8_t> data = writer.bytes();
    for (int i = 0; i < 40; ++i) data.push_back(static_cast<uint8_t>(i * 7));

    LsbBitReader reader;
    reader.setInput(data.data(), data.data() + data.size());
    ASSERT_TRUE(reader.ensure(3));
    EXPECT_EQ(reader.read(3), 5u);
    reader.alignToByte();
    // Some of the bytes were loaded into the bit buffer already, the rest are
    // taken from the input; together they must come out in order.
    uint8_t out[40];
    EXPECT_EQ(reader.copyBytes(out, 40), 40u);
    EXPECT_EQ(std::memcmp(out, data.data() + 1, 40), 0);
    EXPECT_EQ(reader.copyBytes(out, 1), 0u);
}

TEST(BitReader, MsbFieldsAcrossByteBoundaries) {
    auto fields = randomFields(3000, 32, 2);
    BitWriter writer(BitOrder::kMsbFirst);
    for (const Field& f : fields) writer.put(f.value, f.width);
    std::vector<uint8_t> data = writer.bytes();
    size_t filled = data.size();
    data.resize(filled + MsbBitReader::kPadding);

    MsbBitReader reader;
    reader.reset(data.data(), filled);
    for (const Field& f : fields) {
        ASSERT_EQ(reader.peek(f.width), f.value);
        ASSERT_EQ(reader.read(f.width), f.value);
    }
    EXPECT_EQ(reader.bitPosition(), writer.bitCount());
    EXPECT_FALSE(reader.overrun());
    reader.setBitPosition(0);
    EXPECT_EQ(reader.read(fields[0].width), fields[0].value);
}

TEST(BitReader, MsbRebaseAfterTheTailMovesToTheFront) {
    auto fields = randomFields(2000, 24, 3);
    BitWriter writer(BitOrder::kMsbFirst);
    for (const Field& f : fields) writer.put(f.value, f.width);
    const auto& stream = writer.bytes();

    // A small refilling buffer: the unread tail moves to the front whenever
    // the position passes its middle.
    constexpr size_t kCapacity = 64;
    std::vector<uint8_t> buffer(kCapacity + MsbBitReader::kPadding);
    size_t fed = std::min(kCapacity, stream.size());
    std::memcpy(buffer.data(), stream.data(), fed);
    MsbBitReader reader;
    reader.reset(buffer.data(), fed);
    for (const Field& f : fields) {
        if (reader.bytePosition() >= kCapacity / 2) {
            size_t from = reader.bytePosition();
            size_t tail = reader.size() - from;
            std::memmove(buffer.data(), buffer.data() + from, tail);
            size_t more = std::min(kCapacity - tail, stream.size() - fed);
            std::memcpy(buffer.data() + tail, stream.data() + fed, more);
            fed += more;
            reader.rebase(buffer.data(), tail + more, reader.bitPosition() & 7);
        }
        ASSERT_EQ(reader.read(f.width), f.value);
        ASSERT_FALSE(reader.overrun());
    }
}

TEST(BitReader, MsbOverrunIsReportedAndPeeksStayInTheBuffer) {
    // Exactly the filled bytes and the padding on the heap: a peek outside
    // would be caught by the address sanitizer.
    std::vector<uint8_t> data(3 + MsbBitReader::kPadding, 0xFF);
    MsbBitReader reader;
    reader.reset(data.data(), 3);
    reader.skip(24);
    EXPECT_FALSE(reader.overrun());
    reader.skip(1);
    EXPECT_TRUE(reader.overrun());
    for (int i = 0; i < 100; ++i) reader.read(32);
    EXPECT_TRUE(reader.overrun());
}

template <class Table, class Reader>
void expectRoundTrip(BitOrder order, const std::vector<uint8_t>& lengths) {
    auto codes = canonicalCodes(lengths);
    std::vector<int> symbols;
    std::mt19937 rng(4);
    for (int i = 0; i < 2000; ++i) {
        int s = static_cast<int>(rng() % lengths.size());
        if (lengths[s]) symbols.push_back(s);
    }
    BitWriter writer(order);
    for (int s : symbols) {
        uint32_t code = codes[s];
        // Deflate-style streams store codes starting with their top bit.
        if (order == BitOrder::kLsbFirst)
            for (int i = lengths[s] - 1; i >= 0; --i) writer.put((code >> i) & 1, 1);
        else
            writer.put(code, lengths[s]);
    }
    std::vector<uint8_t> data = writer.bytes();
    size_t filled = data.size();
    data.resize(filled + 8);

    auto table = std::make_unique<Table>();
    ASSERT_TRUE(table->build(lengths.data(), static_cast<int>(lengths.size()), Incomplete::kReject));
    Reader reader;
    if constexpr (std::is_same_v<Reader, LsbBitReader>)
        reader.setInput(data.data(), data.data() + filled);
    else
        reader.reset(data.data(), filled);
    for (int s : symbols) ASSERT_EQ(table->decode(reader), s);
}

TEST(Huffman, FifteenBitCodesInBothOrders) {
    expectRoundTrip<HuffmanTable<BitOrder::kLsbFirst, 16, 9>, LsbBitReader>(BitOrder::kLsbFirst, deepLengths());
    expectRoundTrip<HuffmanTable<BitOrder::kMsbFirst, 16, 9>, MsbBitReader>(BitOrder::kMsbFirst, deepLengths());

    // A wide complete set in shuffled symbol order: many long codes share
    // primary prefixes, with subtables of different depths.
    std::vector<uint8_t> lengths;
    const int counts[16] = {0, 0, 0, 0, 0, 0, 0, 0, 120, 200, 100, 50, 50, 30, 20, 48};
    for (int length = 8; length <= 15; ++length) lengths.insert(lengths.end(), counts[length], length);
    std::shuffle(lengths.begin(), lengths.end(), std::mt19937(5));
    expectRoundTrip<HuffmanTable<BitOrder::kLsbFirst, 640, 10>, LsbBitReader>(BitOrder::kLsbFirst, lengths);
    expectRoundTrip<HuffmanTable<BitOrder::kMsbFirst, 640, 10>, MsbBitReader>(BitOrder::kMsbFirst, lengths);
}

TEST(Huffman, OverSubscribedAndIncompleteSets) {
    HuffmanTable<BitOrder::kMsbFirst, 16, 4> table;
    const uint8_t over[] = {1, 1, 2};
    EXPECT_FALSE(table.build(over, 3, Incomplete::kAccept));
    const uint8_t tooLong[] = {1, 16, 16};
    EXPECT_FALSE(table.build(tooLong, 3, Incomplete::kAccept));

    // 0 and 10 used, 11 free.
    const uint8_t incomplete[] = {1, 2};
    EXPECT_FALSE(table.build(incomplete, 2, Incomplete::kReject));
    EXPECT_FALSE(table.build(incomplete, 2, Incomplete::kAcceptSingle));
    ASSERT_TRUE(table.build(incomplete, 2, Incomplete::kAccept));
    uint8_t data[1 + MsbBitReader::kPadding] = {0b0'10'11'000};
    MsbBitReader reader;
    reader.reset(data, 1);
    EXPECT_EQ(table.decode(reader), 0);
    EXPECT_EQ(table.decode(reader), 1);
    EXPECT_EQ(table.decode(reader), huffman::kInvalidCode);

    // A lone one-bit code: 0 decodes, 1 is invalid.
    const uint8_t single[] = {0, 0, 1};
    HuffmanTable<BitOrder::kLsbFirst, 16, 4> lsb;
    ASSERT_TRUE(lsb.build(single, 3, Incomplete::kAcceptSingle));
    const uint8_t bits[] = {0b10, 0};
    LsbBitReader in;
    in.setInput(bits, bits + 2);
    EXPECT_EQ(lsb.decode(in), 2);
    EXPECT_EQ(lsb.decode(in), huffman::kInvalidCode);
}

TEST(Huffman, PayloadsAndInputRunningOut) {
    // Caller payloads come back instead of symbol numbers.
    const uint8_t lengths[] = {2, 2, 2, 3, 3};
    const uint32_t payloads[] = {100, 200, 300, 400, 0xFFFFFF};
    HuffmanTable<BitOrder::kLsbFirst, 8, 2> table;
    ASSERT_TRUE(table.build(lengths, 5, Incomplete::kReject, payloads));
    // Symbol 4's code is 111 (3 bits, top bit first into the low end).
    const uint8_t data[] = {0b111};
    LsbBitReader reader;
    reader.setInput(data, data + 1);
    EXPECT_EQ(table.decode(reader), 0xFFFFFF);
    // Five zero bits remain: symbol 0 (00) twice, then one bit is too few.
    EXPECT_EQ(table.decode(reader), 100);
    EXPECT_EQ(table.decode(reader), 100);
    EXPECT_EQ(table.decode(reader), huffman::kNeedInput);
    EXPECT_EQ(reader.count(), 1);
}

}  // namespace
}  // namespace zorvex
