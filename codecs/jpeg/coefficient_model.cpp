#include "codecs/jpeg/coefficient_model.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace zorvex::jpeg {
namespace {

const Block kZeroBlock{};

// Numbers the 27 positions whose sign can be predicted (first two rows and
// columns), in increasing zigzag order; -1 for the others.
const std::array<int8_t, 64> kSignPosition = [] {
    std::array<int8_t, 64> table{};
    int8_t next = 0;
    for (int k = 0; k < 64; ++k) {
        bool predicted = k > 0 && (kZigzagRow[k] <= 1 || kZigzagColumn[k] <= 1);
        table[k] = predicted ? next++ : -1;
    }
    return table;
}();

int capped(int64_t value, int cap) { return std::min(category(static_cast<uint64_t>(value)), cap); }

int64_t truncDiv(int64_t a, int64_t b) { return a / b; }  // C++ division truncates toward zero

// A unary size category (at most maxOnes ones, no terminating zero after the
// last) followed by the bits below the leading one, most significant first.
int decodeMagnitude(ArithDecoder& decoder, Context* magnitude, Context* remainder, int maxOnes, int cap) {
    int ones = 0;
    while (ones < maxOnes && decoder.decode(magnitude[std::min(ones, cap - 1)])) ++ones;
    if (ones <= 1) return ones;
    int value = 1 << (ones - 1);
    for (int t = ones - 2; t >= 0; --t) value |= decoder.decode(remainder[t]) << t;
    return value;
}

// Estimate of an edge coefficient from the neighbour across the block edge:
// first row from the north block, first column from the west block.
int64_t edgeEstimate(int k, const uint16_t* quant, const Block& north, const Block& west, const Block& block) {
    int row = kZigzagRow[k], column = kZigzagColumn[k];
    const Block& across = row == 0 ? north : west;
    int inner = row == 0 ? kZigzag[1][column] : kZigzag[row][1];
    int64_t sum = int64_t(across.coefficient[inner]) + block.coefficient[inner];
    return across.coefficient[k] - truncDiv(sum * quant[inner], quant[k]);
}

// Average magnitude of the neighbours around position k (row and column >= 1).
int64_t neighbourAverage(int k, const uint16_t* quant, const Block& north, const Block& west) {
    int row = kZigzagRow[k], column = kZigzagColumn[k];
    auto scaled = [&](int j) {
        return (int64_t(std::abs(north.coefficient[j]) + std::abs(west.coefficient[j])) * quant[j]) / quant[k];
    };
    int64_t here = std::abs(north.coefficient[k]) + std::abs(west.coefficient[k]);
    int64_t up = scaled(kZigzag[row - 1][column]), left = scaled(kZigzag[row][column - 1]);
    if (k == 4) return (up + left + here + 3) / 6;  // the up-left position is the DC
    return (up + left + scaled(kZigzag[row - 1][column - 1]) + here + 4) / 8;
}

int sign(int v) { return (v > 0) - (v < 0); }

// Predicted sign (0 positive, 1 negative) of AC position k, or -1 when there is none.
int predictedSign(int k, int64_t edge, const Block& north, const Block& west) {
    int row = kZigzagRow[k], column = kZigzagColumn[k];
    int64_t hint;
    if (row == 0 || column == 0) hint = edge;
    else if (k == 4) hint = sign(north.coefficient[4]) + sign(west.coefficient[4]);
    else if (row == 1) hint = north.coefficient[k];
    else if (column == 1) hint = west.coefficient[k];
    else hint = 0;
    return hint == 0 ? -1 : hint < 0;
}

// DC estimate from one neighbour and the gradient that its edge coefficient
// j and the block's own show.
int64_t dcFrom(const Block& neighbour, int j, const uint16_t* quant, const Block& block) {
    int64_t gradient = 11038 * int64_t(quant[j]) * (int64_t(neighbour.coefficient[j]) + block.coefficient[j]);
    int64_t t = int64_t(neighbour.coefficient[0]) * 10000 - truncDiv(gradient, quant[0]);
    return t >= 0 ? (t + 5000) / 10000 : (t - 5000) / 10000;
}

// How far the block's first column (or row) is from the neighbour's.
int64_t edgeDistance(const Block& neighbour, const Block& block, bool column) {
    int64_t distance = 0;
    for (int i = 1; i < 8; ++i) {
        int k = column ? kZigzag[i][0] : kZigzag[0][i];
        distance += std::abs(int(neighbour.coefficient[k]) - block.coefficient[k]);
    }
    return distance;
}

}  // namespace

void CoefficientModel::resetContexts() {
    Context* first = &tables_.eob[0][0][0];
    std::fill(first, first + sizeof tables_ / sizeof(Context), Context{});
}

int CoefficientModel::decodeEob(ArithDecoder& decoder, int component, const Block* north, const Block* west) {
    int64_t around = 0;
    if (north && west) around = (int64_t(north->acSum) + west->acSum + 1) / 2;
    else if (north) around = north->acSum;
    else if (west) around = west->acSum;
    Context* contexts = tables_.eob[component][capped(around, 12)];
    int node = 1;
    for (int i = 0; i < 6; ++i) node = 2 * node + decoder.decode(contexts[node - 1]);
    return node - 64;
}

// From the last coefficient back to the first, each with the magnitudes of
// the positions below and right of it (already final) as context.
void CoefficientModel::decodeAc(ArithDecoder& decoder, int component, const uint16_t* quant, const Block& north,
                                const Block& west, Block* block) {
    // Magnitude sums of the quadrant below and right of each position, inclusive.
    int32_t quadrant[9][9] = {};
    int eob = block->eob;
    for (int k = eob; k >= 1; --k) {
        int row = kZigzagRow[k], column = kZigzagColumn[k];
        int32_t below = quadrant[row + 1][column] + quadrant[row][column + 1] - quadrant[row + 1][column + 1];
        bool edge = row == 0 || column == 0;
        int64_t estimate = edge ? edgeEstimate(k, quant, north, west, *block) : 0;
        int64_t near = edge ? std::abs(estimate) : neighbourAverage(k, quant, north, west);
        int magnitude = 0;
        if (k == eob || decoder.decode(tables_.zero[component][k - 1][capped(near, 2)][capped(below, 5)])) {
            magnitude = 1;
            if (decoder.decode(tables_.pivot[component][k - 1][capped(near, 4)][capped(below, 6)])) {
                int group = row == 0 ? 0 : column == 0 ? 1 : 2;
                int selector = row == 0 ? column - 1 : column == 0 ? row - 1 : category(k - 4);
                Context* sizes = tables_.acMagnitude[component][group][capped(near, 8)][capped(below, 8)];
                magnitude = 2 + decodeMagnitude(decoder, sizes, tables_.acRemainder[component][group][selector], 14, 9);
            }
            int predicted = predictedSign(k, estimate, north, west);
            int negative =
                predicted < 0
                    ? decoder.decode(fixed_)
                    : decoder.decode(tables_.acSign[component][kSignPosition[k]][std::min(category(magnitude) / 2, 2)]
                                                   [predicted]);
            block->coefficient[k] = static_cast<int16_t>(negative ? -magnitude : magnitude);
        }
        quadrant[row][column] = below + magnitude;
    }
    block->acSum = quadrant[1][0] + quadrant[0][1] - quadrant[1][1];
}

bool CoefficientModel::decodeDc(ArithDecoder& decoder, int component, const uint16_t* quant, const Block* north,
                                const Block* west, Block* block) {
    // Beyond this the weighting below could overflow; JPEG data stays far inside.
    constexpr int64_t kPredictionLimit = int64_t(1) << 31;
    int64_t prediction = 0;
    if (north && west) {
        int64_t fromNorth = dcFrom(*north, 2, quant, *block), fromWest = dcFrom(*west, 1, quant, *block);
        if (std::abs(fromNorth) > kPredictionLimit || std::abs(fromWest) > kPredictionLimit) return false;
        // Trust the neighbour whose edge matches the block's better, by far.
        int64_t northDistance = edgeDistance(*north, *block, true), westDistance = edgeDistance(*west, *block, false);
        if (northDistance > westDistance) {
            int64_t weight = int64_t(1) << std::min<int64_t>(northDistance - westDistance, 31);
            prediction = truncDiv(weight * fromWest + fromNorth, 1 + weight);
        } else {
            int64_t weight = int64_t(1) << std::min<int64_t>(westDistance - northDistance, 31);
            prediction = truncDiv(weight * fromNorth + fromWest, 1 + weight);
        }
    } else if (west) {
        prediction = dcFrom(*west, 1, quant, *block);
    } else if (north) {
        prediction = dcFrom(*north, 2, quant, *block);
    }
    int spread = capped(block->acSum, 12);
    int residual = decodeMagnitude(decoder, tables_.dcMagnitude[component][spread],
                                   tables_.dcRemainder[component][spread], 15, 10);
    int64_t value = prediction;
    if (residual != 0) {
        const Block& n = north ? *north : kZeroBlock;
        const Block& w = west ? *west : kZeroBlock;
        Context& context = tables_.dcSign[component][n.coefficient[0] < prediction][w.coefficient[0] < prediction]
                                         [prediction < 0];
        value = decoder.decode(context) ? prediction - residual : prediction + residual;
    }
    if (value < INT16_MIN || value > INT16_MAX) return false;
    block->coefficient[0] = static_cast<int16_t>(value);
    return true;
}

bool CoefficientModel::decodeBlock(ArithDecoder& decoder, int component, const uint16_t* quant, const Block* north,
                                   const Block* west, Block* block) {
    std::memset(block->coefficient, 0, sizeof block->coefficient);
    block->eob = static_cast<uint8_t>(decodeEob(decoder, component, north, west));
    decodeAc(decoder, component, quant, north ? *north : kZeroBlock, west ? *west : kZeroBlock, block);
    return decodeDc(decoder, component, quant, north, west, block);
}

}  // namespace zorvex::jpeg
