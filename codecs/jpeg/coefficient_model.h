// The adaptive model that decodes a block's quantised coefficients from the
// arithmetic-coded data, predicting each from the block's north and west
// neighbours and from the coefficients of the block decoded before it.
#pragma once

#include <cstdint>

#include "codecs/jpeg/arith_decoder.h"
#include "codecs/jpeg/jpeg_format.h"

namespace zorvex::jpeg {

class CoefficientModel {
public:
    // Fresh contexts, at the start of every scan.
    void resetContexts();

    // Decodes `block` of scan component `component` (0..3) quantised with `quant`;
    // an absent neighbour is null. False when the data yields values that no
    // JPEG holds.
    bool decodeBlock(ArithDecoder& decoder, int component, const uint16_t* quant, const Block* north,
                     const Block* west, Block* block);

private:
    struct Tables {
        Context eob[kMaxComponents][13][63];
        Context zero[kMaxComponents][62][3][6];
        Context pivot[kMaxComponents][63][5][7];
        Context acMagnitude[kMaxComponents][3][9][9][9];
        Context acRemainder[kMaxComponents][3][7][13];
        Context acSign[kMaxComponents][27][3][2];
        Context dcMagnitude[kMaxComponents][13][10];
        Context dcRemainder[kMaxComponents][13][14];
        Context dcSign[kMaxComponents][2][2][2];
    };

    int decodeEob(ArithDecoder& decoder, int component, const Block* north, const Block* west);
    void decodeAc(ArithDecoder& decoder, int component, const uint16_t* quant, const Block& north,
                  const Block& west, Block* block);
    bool decodeDc(ArithDecoder& decoder, int component, const uint16_t* quant, const Block* north,
                  const Block* west, Block* block);

    Tables tables_;
    // Serves every decision of probability one half; it lives as long as the stream.
    Context fixed_ = fixedContext();
};

}  // namespace zorvex::jpeg
