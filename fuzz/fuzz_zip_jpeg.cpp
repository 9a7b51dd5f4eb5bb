// Fuzzes the "zip-jpeg" codec. With the first byte odd, the rest is the
// codec's packed data as a container stores it. Otherwise the bytes describe a
// small frame (size, components, sampling, restart interval, band setting)
// whose marker segments are made here, and the rest is the coded scan: the
// fuzzer reaches the coefficient model at once instead of having to find a
// valid file header and marker segments first.
//
// Every stream is read to its end, then read again after a seek back to the
// start; both passes must give the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/codec.h"
#include "engine/refobject.h"
#include "engine/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16be(Bytes& out, int v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void segment(Bytes& out, uint8_t marker, const Bytes& body) {
    out.push_back(0xFF);
    out.push_back(marker);
    put16be(out, int(body.size()) + 2);
    out.insert(out.end(), body.begin(), body.end());
}

// A table that gives all 256 symbols a code: 255 of 8 bits and one of 9.
Bytes everySymbolTable(uint8_t classAndNumber) {
    Bytes body{classAndNumber};
    for (int length = 1; length <= 16; ++length) body.push_back(length == 8 ? 255 : length == 9 ? 1 : 0);
    for (int symbol = 0; symbol < 256; ++symbol) body.push_back(uint8_t(symbol));
    return body;
}

Bytes frameHeader(const uint8_t* p) {
    int width = 1 + p[0] % 64, height = 1 + p[1] % 64, components = 1 + p[2] % 3;
    Bytes out{0xFF, 0xD8};
    if (int interval = p[3] % 4) segment(out, 0xDD, {0, uint8_t(interval)});
    Bytes quant{0};
    for (int k = 0; k < 64; ++k) quant.push_back(uint8_t(1 + (k + p[4]) % 31));
    segment(out, 0xDB, quant);
    segment(out, 0xC4, everySymbolTable(0x00));
    segment(out, 0xC4, everySymbolTable(0x10));
    Bytes frame{8};
    put16be(frame, height);
    put16be(frame, width);
    frame.push_back(uint8_t(components));
    for (int c = 0; c < components; ++c) {
        uint8_t sampling = c == 0 ? uint8_t((1 + p[5] % 2) << 4 | (1 + p[5] / 2 % 2)) : 0x11;
        frame.insert(frame.end(), {uint8_t(c + 1), sampling, 0});
    }
    segment(out, 0xC0, frame);
    Bytes scan{uint8_t(components)};
    for (int c = 0; c < components; ++c) scan.insert(scan.end(), {uint8_t(c + 1), 0x00});
    scan.insert(scan.end(), {0, 63, 0});
    segment(out, 0xDA, scan);
    return out;
}

void storedBlock(Bytes& out, const Bytes& bytes) {
    out.insert(out.end(), {uint8_t(bytes.size()), uint8_t(bytes.size() >> 8), 0, 0});
    out.insert(out.end(), bytes.begin(), bytes.end());
}

Bytes readToEnd(zorvex::InStream* stream) {
    Bytes out;
    uint8_t buf[8192];
    while (int got = stream->read(buf, sizeof buf)) out.insert(out.end(), buf, buf + got);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kFrameBytes = 6;
    if (size < 1) return 0;
    Bytes packed;
    if (data[0] & 1) {
        packed.assign(data + 1, data + size);
    } else {
        if (size < 1 + kFrameBytes) return 0;
        packed = {4, 16, 1, uint8_t(data[0] >> 1 & 15)};
        storedBlock(packed, frameHeader(data + 1));
        packed.insert(packed.end(), data + 1 + kFrameBytes, data + size);
        storedBlock(packed, {0xFF, 0xD9});
    }
    zorvex::Ref<zorvex::InStream> source(
        zorvex::MemoryStream::create(u"fuzz", nullptr, 0, packed.data(), packed.size()));
    zorvex::Codec* codec = zorvex::findCodec(u"zip-jpeg");
    if (!source || !codec) return 0;
    zorvex::CodecRequest request;
    request.name = u"fuzz";
    request.source = source.get();
    request.packedSize = int64_t(packed.size());
    zorvex::Ref<zorvex::InStream> stream(codec->createStream(request));
    if (!stream) return 0;
    Bytes first = readToEnd(stream.get());
    if (first.empty() || !stream->seek(0)) return 0;
    if (readToEnd(stream.get()) != first) std::abort();
    return 0;
}
