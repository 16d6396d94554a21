#include "wave/running_mean.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/target_clones.h"

namespace {

// Two doubles worked on together; every operation is the IEEE one of each element.
typedef double Pair __attribute__((vector_size(16)));

inline int32_t magnitude(int32_t value) { return value < 0 ? -value : value; }

template <int BytesPerSample, int Channels>
void feed(RunningMeans& state, const uint8_t* data, int64_t steps, int64_t blockAlign) {
    static_assert(Channels == 1 || Channels == 2);
    // s as a double, counted up exactly (steps stay far below 2^53).
    double s = static_cast<double>(state.steps);
    if constexpr (Channels == 1) {
        // Mono: the value mean and the magnitude mean share one vector.
        Pair means = {state.mean[0], state.meanAbs[0]};
        for (int64_t i = 0; i < steps; i++, data += blockAlign) {
            const int32_t value = sampleValue<BytesPerSample>(data);
            s += 1.0;
            const Pair x = {static_cast<double>(value), static_cast<double>(magnitude(value))};
            means = means + (x - means) / Pair{s, s};
        }
        state.mean[0] = means[0];
        state.meanAbs[0] = means[1];
    } else {
        Pair mean = {state.mean[0], state.mean[1]};
        Pair meanAbs = {state.meanAbs[0], state.meanAbs[1]};
        for (int64_t i = 0; i < steps; i++, data += blockAlign) {
            const int32_t left = sampleValue<BytesPerSample>(data);
            const int32_t right = sampleValue<BytesPerSample>(data + BytesPerSample);
            s += 1.0;
            const Pair step = {s, s};
            const Pair x = {static_cast<double>(left), static_cast<double>(right)};
            const Pair m = {static_cast<double>(magnitude(left)), static_cast<double>(magnitude(right))};
            mean = mean + (x - mean) / step;
            meanAbs = meanAbs + (m - meanAbs) / step;
        }
        state.mean[0] = mean[0];
        state.mean[1] = mean[1];
        state.meanAbs[0] = meanAbs[0];
        state.meanAbs[1] = meanAbs[1];
    }
    state.steps += steps;
}

// One chunk's figures per channel.
struct ChunkFigures {
    int64_t sum[2] = {};
    int64_t sumAbs[2] = {};
    int32_t max[2] = {INT32_MIN, INT32_MIN};
    int32_t min[2] = {INT32_MAX, INT32_MAX};
};

// Steps per chunk: the path bounds are refined once a chunk, and a lane's 32-bit sums hold a
// chunk (4096 * 32768 < 2^31).
constexpr int64_t kChunkSteps = 4096;

// Adds the per-lane figures of a run of interleaved samples to the chunk's. Lane k holds channel
// k % Channels (runs start on a step and the lane counts are even).
template <int Channels>
void addLanes(ChunkFigures& out, const int32_t* sum, const int32_t* sumAbs, int sumLanes, const int32_t* hi,
              const int32_t* lo, int extremeLanes) {
    for (int k = 0; k < sumLanes; k++) {
        out.sum[k % Channels] += sum[k];
        out.sumAbs[k % Channels] += sumAbs[k];
    }
    for (int k = 0; k < extremeLanes; k++) {
        out.max[k % Channels] = std::max(out.max[k % Channels], hi[k]);
        out.min[k % Channels] = std::min(out.min[k % Channels], lo[k]);
    }
}

// The samples after the last whole vector, one by one into lane i % lanes.
template <typename Sample>
void addTail(const uint8_t* data, int64_t from, int64_t count, int lanes, int32_t* sum, int32_t* sumAbs,
             int32_t* hi, int32_t* lo) {
    for (int64_t i = from; i < count; i++) {
        const int32_t value = sampleValue<sizeof(Sample)>(data + i * static_cast<int64_t>(sizeof(Sample)));
        const int k = static_cast<int>(i % lanes);
        sum[k] += value;
        sumAbs[k] += magnitude(value);
        hi[k] = std::max(hi[k], value);
        lo[k] = std::min(lo[k], value);
    }
}

// A chunk of 16-bit steps without padding, as one run of interleaved samples, 8 at a time in
// 32-bit lanes.
template <int Channels>
QOR_AVX2_CLONES void chunkFlat16(const uint8_t* data, int64_t steps, ChunkFigures& out) {
    constexpr int kLanes = 8;
    typedef int16_t Samples __attribute__((vector_size(kLanes * 2)));
    typedef int32_t Lanes __attribute__((vector_size(kLanes * 4)));
    Lanes sum = {}, sumAbs = {};
    Lanes hi = Lanes{} + INT32_MIN;
    Lanes lo = Lanes{} + INT32_MAX;
    const int64_t count = steps * Channels;
    const int64_t vectors = count / kLanes;
    for (int64_t v = 0; v < vectors; v++) {
        const Samples x = readInt16Lanes<Samples>(data + v * static_cast<int64_t>(sizeof(Samples)));
        const Lanes value = __builtin_convertvector(x, Lanes);
        sum += value;
        sumAbs += value < 0 ? -value : value;
        hi = value > hi ? value : hi;
        lo = value < lo ? value : lo;
    }
    int32_t lanes[4][kLanes];
    memcpy(lanes[0], &sum, sizeof sum);
    memcpy(lanes[1], &sumAbs, sizeof sumAbs);
    memcpy(lanes[2], &hi, sizeof hi);
    memcpy(lanes[3], &lo, sizeof lo);
    addTail<int16_t>(data, vectors * kLanes, count, kLanes, lanes[0], lanes[1], lanes[2], lanes[3]);
    addLanes<Channels>(out, lanes[0], lanes[1], kLanes, lanes[2], lanes[3], kLanes);
}

// The same for 8-bit steps, 16 at a time: the values (byte - 128, the byte with its top bit
// flipped) widen to 16-bit lanes, which sum up to 128 vectors (at most 128 * 128 = 2^14) before
// they are added into 32-bit lanes.
template <int Channels>
QOR_AVX2_CLONES void chunkFlat8(const uint8_t* data, int64_t steps, ChunkFigures& out) {
    constexpr int kLanes = 16;
    typedef int8_t Samples __attribute__((vector_size(kLanes)));
    typedef int16_t Words __attribute__((vector_size(kLanes * 2)));
    typedef int16_t HalfWords __attribute__((vector_size(kLanes)));
    typedef int32_t Lanes __attribute__((vector_size(kLanes * 2)));
    Lanes sum = {}, sumAbs = {};
    Words hi = Words{} - 128;
    Words lo = Words{} + 127;
    const int64_t count = steps * Channels;
    const int64_t vectors = count / kLanes;
    for (int64_t v = 0; v < vectors;) {
        const int64_t end = std::min(vectors, v + 128);
        Words part = {}, partAbs = {};
        for (; v < end; v++) {
            Samples x;
            memcpy(&x, data + v * kLanes, sizeof x);
            const Words value = __builtin_convertvector(x ^ INT8_MIN, Words);
            part += value;
            partAbs += value < 0 ? -value : value;
            hi = value > hi ? value : hi;
            lo = value < lo ? value : lo;
        }
        // 16-bit lane k goes to 32-bit lane k % 8, of the same channel.
        HalfWords halves[2];
        memcpy(halves, &part, sizeof part);
        sum += __builtin_convertvector(halves[0], Lanes) + __builtin_convertvector(halves[1], Lanes);
        memcpy(halves, &partAbs, sizeof partAbs);
        sumAbs += __builtin_convertvector(halves[0], Lanes) + __builtin_convertvector(halves[1], Lanes);
    }
    int32_t sums[2][kLanes] = {};
    memcpy(sums[0], &sum, sizeof sum);
    memcpy(sums[1], &sumAbs, sizeof sumAbs);
    int16_t words[2][kLanes];
    memcpy(words[0], &hi, sizeof hi);
    memcpy(words[1], &lo, sizeof lo);
    int32_t extremes[2][kLanes];
    for (int k = 0; k < kLanes; k++) {
        extremes[0][k] = words[0][k];
        extremes[1][k] = words[1][k];
    }
    addTail<uint8_t>(data, vectors * kLanes, count, kLanes, sums[0], sums[1], extremes[0], extremes[1]);
    addLanes<Channels>(out, sums[0], sums[1], kLanes, extremes[0], extremes[1], kLanes);
}

// A chunk of steps that carry padding, sample by sample.
template <int BytesPerSample>
void chunkPadded(const uint8_t* data, int64_t steps, int channels, int64_t blockAlign, ChunkFigures& out) {
    for (int c = 0; c < channels; c++) {
        const uint8_t* p = data + c * BytesPerSample;
        for (int64_t s = 0; s < steps; s++, p += blockAlign) {
            const int32_t value = sampleValue<BytesPerSample>(p);
            out.sum[c] += value;
            out.sumAbs[c] += magnitude(value);
            out.max[c] = std::max(out.max[c], value);
            out.min[c] = std::min(out.min[c], value);
        }
    }
}

// Adds a chunk of k steps. Within it every partial sum S_s lies within the chunk's sum of
// magnitudes of both the sum before it and the sum after it, and every A_s is at most the A after.
void addChunk(MeanSums& sums, const ChunkFigures& chunk, int64_t k, int channels) {
    for (int c = 0; c < channels; c++) {
        const int64_t before = sums.sum[c];
        const int64_t after = before + chunk.sum[c];
        const int64_t nearer = std::min(before < 0 ? -before : before, after < 0 ? -after : after);
        sums.pathBound[c] += static_cast<unsigned __int128>(k) * static_cast<uint64_t>(nearer + chunk.sumAbs[c]);
        sums.sum[c] = after;
        sums.sumAbs[c] += chunk.sumAbs[c];
        sums.pathAbsBound[c] += static_cast<unsigned __int128>(k) * static_cast<uint64_t>(sums.sumAbs[c]);
        sums.max[c] = std::max(sums.max[c], chunk.max[c]);
        sums.min[c] = std::min(sums.min[c], chunk.min[c]);
    }
    sums.steps += k;
}

template <int BytesPerSample>
void feedSums(MeanSums& sums, const uint8_t* data, int64_t steps, int channels, int64_t blockAlign) {
    const bool flat = blockAlign == channels * BytesPerSample;
    for (int64_t done = 0; done < steps; done += kChunkSteps) {
        const int64_t k = std::min(kChunkSteps, steps - done);
        const uint8_t* at = data + done * blockAlign;
        ChunkFigures chunk;
        if (!flat) {
            chunkPadded<BytesPerSample>(at, k, channels, blockAlign, chunk);
        } else if constexpr (BytesPerSample == 1) {
            if (channels == 1) {
                chunkFlat8<1>(at, k, chunk);
            } else {
                chunkFlat8<2>(at, k, chunk);
            }
        } else if (channels == 1) {
            chunkFlat16<1>(at, k, chunk);
        } else {
            chunkFlat16<2>(at, k, chunk);
        }
        addChunk(sums, chunk, k, channels);
    }
}

}  // namespace

void feedRunningMeans(RunningMeans& state, const uint8_t* data, int64_t steps, int channels,
                      int bytesPerSample, int64_t blockAlign) {
    if (bytesPerSample == 1) {
        if (channels == 1) {
            feed<1, 1>(state, data, steps, blockAlign);
        } else {
            feed<1, 2>(state, data, steps, blockAlign);
        }
    } else if (channels == 1) {
        feed<2, 1>(state, data, steps, blockAlign);
    } else {
        feed<2, 2>(state, data, steps, blockAlign);
    }
}

void feedMeanSums(MeanSums& sums, const uint8_t* data, int64_t steps, int channels, int bytesPerSample,
                  int64_t blockAlign) {
    if (bytesPerSample == 1) {
        feedSums<1>(sums, data, steps, channels, blockAlign);
    } else {
        feedSums<2>(sums, data, steps, channels, blockAlign);
    }
}

// How far the chain can be from the exact mean, and when that settles its printed text.
//
// Assumptions: every operation of the chain is one IEEE double operation rounded to nearest
// (no wider intermediates, no contraction: -ffp-contract=off, no fast-math); N <= 2^31, so every
// s is exact in double; the values are integers with |v_s| <= M <= 32768; printf rounds the exact
// binary value of a double to the digits it prints (as the C library does). u = 2^-53.
//
// Let m_s be the chain's double after step s (m_0 = 0), S_s = v_1 + ... + v_s, A_s the same
// over |v|, and x_s = S_s / s the exact mean. Step s computes m_s = m_{s-1} + (v_s - m_{s-1}) / s
// + e_s, where e_s gathers its three roundings: the subtraction and the division are off by at
// most (2u + u^2) |v_s - m_{s-1}| / s, the addition by at most u |m_s| / (1 - u). (A quotient
// that underflowed would be off by 2^-1075 more; sums and differences that underflow are exact.)
// The exact means obey the same step without e_s, so d_s = m_s - x_s obeys
// d_s = (1 - 1/s) d_{s-1} + e_s, and as (1 - 1/(s+1)) ... (1 - 1/N) = s / N:
//     N d_N = sum over s of s e_s.                                                        (1)
// A priori: m_s is m_{s-1} + (v_s - m_{s-1}) / s, a convex combination of m_{s-1} and v_s, plus
// the roundings, so if |m_{s-1}| <= c M (c >= 1) then |m_s| <= c M (1 + 8u); hence every
// |m_s| <= (1 + 8u)^N M <= (1 + 2^-18) M =: M'. Put into (1) at step s, j |e_j| <=
// 2.01u (M + M') + 1.01u j M' gives |d_s| <= u (s + 7) M'. Now in (1) use
// |v_s - m_{s-1}| <= |v_s| + M' and s |m_s| <= |S_s| + s |d_s|: with any P >= sum_s |S_s|,
//     |d_N| <= u (2.01 A_N / N + 2.01 M' + 1.01 P / N + 1.01 u M' N (N + 7)) + N 2^-1075.
// The bound used is four times that, generously rounded up:
//     E = 4u (2 A_N / N + 3 M + P / N + 2u M N (N + 7)) + 2^-1000,
// the factor also covering the few roundings of evaluating E in double. P comes from the chunks
// (addChunk); it exceeds sum_s |S_s| by at most 4096 A_N, which moves E by 4096 * 4 * 32768 u
// < 10^-7 at most. For the magnitude mean the chain runs over |v_s|: there S, A and P are A_N,
// A_N and a bound on sum_s A_s.
//
// "%.3f" changes its digits only at odd multiples of 0.0005, and the sign of a figure that prints
// as 0.000 only at 0. If [x_N - E, x_N + E] holds neither, every number in it prints the same
// text: the chain's m_N, and S_N / N divided once in double, which lies within u |x_N| <= E of x_N
// (P >= |S_N|). The test runs on integers: with 2000 S_N = q N + r, 0 <= r < N, the nearest odd
// integer to y = 2000 x_N lies r / N away for odd q and (N - r) / N for even q, and 0 lies
// |2000 S_N| / N away; the text is settled when 2000 E N is below both numerators.
// A constant channel needs no bound: m_1 = v_1, and from then on v_s - m_{s-1} = +0 leaves m_s as
// it is, so both chains end exactly at v_1 and |v_1|.
bool settledMean(const MeanSums& sums, int c, bool magnitudes, double* printable) {
    if (sums.max[c] == sums.min[c]) {
        *printable = magnitudes ? magnitude(sums.max[c]) : sums.max[c];
        return true;
    }
    const int64_t n = sums.steps;
    const int64_t total = magnitudes ? sums.sumAbs[c] : sums.sum[c];
    const double steps = static_cast<double>(n);
    const double path = static_cast<double>(magnitudes ? sums.pathAbsBound[c] : sums.pathBound[c]);
    const double largest = std::max(sums.max[c], -sums.min[c]);
    constexpr double u = 0x1p-53;
    const double bound =
        4 * u * (2 * static_cast<double>(sums.sumAbs[c]) / steps + 3 * largest + path / steps +
                 2 * u * largest * steps * (steps + 7)) +
        0x1p-1000;
    const int64_t scaled = 2000 * total;
    int64_t q = scaled / n;
    int64_t r = scaled % n;
    if (r < 0) {
        r += n;
        q -= 1;
    }
    const int64_t toOdd = (q & 1) != 0 ? r : n - r;
    const int64_t toZero = scaled < 0 ? -scaled : scaled;
    if (!(2000 * bound * steps < static_cast<double>(std::min(toOdd, toZero)))) return false;
    *printable = static_cast<double>(total) / steps;
    return true;
}
