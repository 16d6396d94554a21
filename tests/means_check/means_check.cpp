// The means check's own program (scripts/check-means.sh runs it): qor with its printed means
// audited, the corpus of WAVE files the script runs both ways, and an in-process comparison of the
// sums' verdicts with the running chains on signals whose means lie on or near the edges of the
// printed digits.
//
//   qor-meancheck chain <qor arguments>      qor with every printed mean taken from its chain,
//                                            run in a second pass after the read
//   qor-meancheck chain-beside <qor args>    the same with the chains on a thread beside the read
//   qor-meancheck count <qor arguments>      qor as it is; on exit, how its means were settled and
//                                            where the chains ran ("means: X from the sums, Y from
//                                            the chain; chains: B beside the read, S stopped
//                                            unused, P in a second pass", stderr)
//   qor-meancheck count-beside <qor args>    the same with the chains started beside the read
//                                            whatever the length and the processors
//   qor-meancheck corpus <folder>            writes the corpus
//   qor-meancheck near-edges <count> <seed>  the in-process comparison; exits 1 on a difference
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "base/log.h"
#include "wave/running_mean.h"
#include "wave/stats.h"

namespace {

MeansAudit audit;

void reportAudit() {
    fprintf(stderr, "means: %lld from the sums, %lld from the chain; chains: %lld beside the read, %lld stopped unused, "
            "%lld in a second pass\n",
            static_cast<long long>(audit.fromSums), static_cast<long long>(audit.fromChain),
            static_cast<long long>(audit.besideRead), static_cast<long long>(audit.stoppedUnused),
            static_cast<long long>(audit.secondPass));
}

int runAudited(bool chainOnly, MeansAudit::Chains chains, int argc, char** argv) {
    audit.chainOnly = chainOnly;
    audit.chains = chains;
    meansAudit = &audit;
    if (!chainOnly) atexit(reportAudit);  // qor may end the run with exit()
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    // qor's own command line: the program name, then what follows the mode.
    std::vector<const char*> args{"qor"};
    for (int i = 2; i < argc; i++) args.push_back(argv[i]);
    return runQor(static_cast<int>(args.size()), args.data());
}

struct Layout {
    int channels, bytes, blockAlign;
};

// Interleaved values laid out as steps of `layout` (padding bytes filled with `fill`).
std::vector<uint8_t> encode(const std::vector<int>& values, const Layout& layout, uint8_t fill = 0x5A) {
    const size_t steps = values.size() / static_cast<size_t>(layout.channels);
    std::vector<uint8_t> out(steps * static_cast<size_t>(layout.blockAlign), fill);
    for (size_t s = 0; s < steps; s++) {
        for (int c = 0; c < layout.channels; c++) {
            const int v = values[s * static_cast<size_t>(layout.channels) + static_cast<size_t>(c)];
            uint8_t* p = out.data() + s * static_cast<size_t>(layout.blockAlign) + static_cast<size_t>(c * layout.bytes);
            if (layout.bytes == 1) {
                p[0] = static_cast<uint8_t>(v + 128);
            } else {
                writeInt16(p, v);
            }
        }
    }
    return out;
}

bool writeWave(const std::string& path, const std::vector<int>& values, const Layout& layout) {
    const std::vector<uint8_t> data = encode(values, layout);
    uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    writeInt32(header + 4, static_cast<int32_t>(36 + data.size()));
    writeInt32(header + 16, 16);
    writeInt16(header + 20, 1);
    writeInt16(header + 22, layout.channels);
    writeInt32(header + 24, 8000);
    writeInt32(header + 28, 8000 * layout.blockAlign);
    writeInt16(header + 32, layout.blockAlign);
    writeInt16(header + 34, layout.bytes * 8);
    memcpy(header + 36, "data", 4);
    writeInt32(header + 40, static_cast<int32_t>(data.size()));
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = fwrite(header, 1, sizeof header, f) == sizeof header &&
                    fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

int lowest(int bytes) { return bytes == 1 ? -128 : -32768; }
int highest(int bytes) { return bytes == 1 ? 127 : 32767; }

// Moves values of one channel (every `stride`-th from `first`) until their sum, or their sum of
// magnitudes with `ofMagnitudes`, is `target`, keeping them within [lo, hi]. Returns whether it got
// there.
bool steer(std::vector<int>& values, size_t first, size_t stride, int64_t target, bool ofMagnitudes, int lo,
           int hi) {
    int64_t total = 0;
    for (size_t i = first; i < values.size(); i += stride) total += ofMagnitudes ? std::abs(values[i]) : values[i];
    for (int pass = 0; pass < 3 && total != target; pass++) {
        for (size_t i = values.size() - stride + first; total != target; i -= stride) {
            const int v = values[i];
            const int64_t need = target - total;
            int64_t moved;
            if (!ofMagnitudes) {
                moved = std::clamp<int64_t>(v + need, lo, hi);
            } else if (need > 0) {
                moved = v >= 0 ? std::min<int64_t>(hi, v + need) : std::max<int64_t>(lo, v - need);
            } else {
                moved = v > 0 ? std::max<int64_t>(0, v + need) : std::min<int64_t>(0, v - need);
            }
            total += ofMagnitudes ? std::abs(moved) - std::abs(v) : moved - v;
            values[i] = static_cast<int>(moved);
            if (i == first) break;
        }
    }
    return total == target;
}

// Steps of noise in [dc - spread, dc + spread], clamped to the sample range.
std::vector<int> noise(std::mt19937_64& random, size_t steps, int channels, int dc, int spread, int bytes) {
    std::vector<int> v(steps * static_cast<size_t>(channels));
    for (int& x : v) {
        const int drawn = dc - spread + static_cast<int>(random() % static_cast<uint64_t>(2 * spread + 1));
        x = std::clamp(drawn, lowest(bytes), highest(bytes));
    }
    return v;
}

int writeCorpus(const std::string& folder) {
    std::mt19937_64 random(2024);
    const Layout mono16{1, 2, 2}, stereo16{2, 2, 4}, mono8{1, 1, 1}, stereo8{2, 1, 2}, padded16{2, 2, 6};
    int written = 0;
    bool ok = true;
    auto put = [&](const std::string& name, const std::vector<int>& values, const Layout& layout) {
        ok = ok && writeWave(folder + "/" + name + ".wav", values, layout);
        written++;
    };
    put("silence-16-stereo", std::vector<int>(2000000, 0), stereo16);
    put("silence-8-mono", std::vector<int>(1000000, 0), mono8);
    // Alternating +A and -A over an even number of steps: the exact mean is 0.
    for (const int a : {1, 77, 32767}) {
        std::vector<int> v(2000000);
        for (size_t i = 0; i < v.size(); i++) v[i] = i % 2 == 0 ? a : -a;
        put("alternating-16-" + std::to_string(a), v, mono16);
    }
    {
        std::vector<int> v(1000000);
        for (size_t i = 0; i < v.size(); i++) v[i] = i % 2 == 0 ? -127 : 127;
        put("alternating-8-127", v, mono8);
    }
    // Long and loud enough (80 MB) that qor runs its chains beside the read: the magnitudes'
    // bound is then likely to leave their mean open, and the value mean, exactly 0, is open.
    {
        std::vector<int> v(40000000);
        for (size_t i = 0; i < v.size(); i++) v[i] = i % 2 == 0 ? 32767 : -32767;
        put("long-alternating-16-32767", v, mono16);
    }
    // One loud step v among 2000 |v| steps: both means are exactly +-0.0005.
    for (const int loud : {1, -1, 500, -500, 32767}) {
        std::vector<int> v(static_cast<size_t>(2000 * std::abs(loud)), 0);
        v[v.size() / 3] = loud;
        put("one-step-16-" + std::to_string(loud), v, mono16);
    }
    for (const int loud : {127, -128}) {
        std::vector<int> v(static_cast<size_t>(2000 * std::abs(loud)), 0);
        v[7] = loud;
        put("one-step-8-" + std::to_string(loud), v, mono8);
    }
    // Constant offsets with noise of +-3 over 2 million steps, where the chain strays furthest;
    // every other one steered so that its exact mean is the offset + 0.0005 (a tie), or the
    // offset + 0.0015 missed by one step's worth.
    int which = 0;
    for (const int dc : {1, 2, 3, 10, 100, 1000, 4096, 10000, 20000, 30000, 32767, -32765, -777}) {
        const size_t steps = 2000000;
        std::vector<int> v = noise(random, steps, 1, dc, 3, 2);
        std::string name = "dc-16-" + std::to_string(dc);
        if (which % 2 == 1) {
            const int64_t target = static_cast<int64_t>(steps) * dc + (which % 4 == 1 ? 1000 : 3000 + 1);
            if (steer(v, 0, 1, target, false, lowest(2), highest(2))) name += "-steered";
        }
        put(name, v, mono16);
        which++;
    }
    // The same with an exact mean on an edge of the magnitude mean's digits.
    {
        std::vector<int> v = noise(random, 2000000, 1, 0, 20000, 2);
        steer(v, 0, 1, int64_t{2000000} * 9000 + 1000, true, lowest(2), highest(2));
        put("noise-16-magnitudes-on-edge", v, mono16);
    }
    // 8-bit: noise, offsets, and a value mean steered onto an edge.
    put("noise-8-stereo", noise(random, 1000000, 2, 0, 127, 1), stereo8);
    for (const int dc : {100, -100, 1}) {
        std::vector<int> v = noise(random, 2000000, 1, dc, 2, 1);
        if (dc == 1) steer(v, 0, 1, 2000000 + 3000, false, lowest(1), highest(1));
        put("dc-8-" + std::to_string(dc), v, mono8);
    }
    // Stereo with one silent channel.
    for (const int bytes : {1, 2}) {
        std::vector<int> v = noise(random, 1000000, 2, 0, bytes == 1 ? 100 : 8000, bytes);
        for (size_t i = 1; i < v.size(); i += 2) v[i] = 0;
        put("silent-right-" + std::to_string(8 * bytes), v, bytes == 1 ? stereo8 : stereo16);
    }
    // Padded steps, and a tone over noise like real sound.
    put("padded-16-stereo", noise(random, 500000, 2, -40, 3000, 2), padded16);
    {
        std::vector<int> v = noise(random, 2000000, 2, 0, 500, 2);
        for (size_t s = 0; s < 2000000; s++) {
            const int tone = static_cast<int>(8000 * std::sin(0.0627 * static_cast<double>(s)));
            v[2 * s] += tone;
            v[2 * s + 1] -= tone / 2;
        }
        put("tone-16-stereo", v, stereo16);
    }
    if (!ok) {
        fprintf(stderr, "qor-meancheck: cannot write the corpus in %s\n", folder.c_str());
        return 2;
    }
    printf("corpus: %d files\n", written);
    return 0;
}

std::string text(double value) {
    char out[64];
    snprintf(out, sizeof out, "%+.3f", value);
    return out;
}

// Random short signals, each channel's value or magnitude sum steered onto or next to an edge of
// the printed digits (an odd multiple of 0.0005, or 0), in every sample layout. For each printed
// mean the sums settle, their text must be the chain's.
int nearEdges(long count, uint64_t seed) {
    const Layout layouts[] = {{1, 2, 2}, {2, 2, 4}, {1, 1, 1}, {2, 1, 2}, {2, 2, 6}, {1, 1, 2}};
    std::mt19937_64 random(seed);
    long means = 0, settled = 0, fromChain = 0, exactDiffers = 0, exactDiffersOffEdge = 0, differ = 0;
    for (long n = 0; n < count; n++) {
        const uint64_t size = random() % 4000;
        // One signal in 4000 is long (millions of steps) and loud: there the chain strays from the
        // exact sum by a few hundredths of a step, and its length is chosen so that the exact mean
        // lies about that far from an edge without being on it, where a shortcut that trusted the
        // exact mean too close to an edge would print otherwise than the chain.
        const bool long_ = size == 0;
        // Long signals are 16-bit: 8-bit ones are too quiet to stray as far.
        const int loud[] = {0, 1, 4};
        const Layout& layout = layouts[long_ ? loud[random() % 3] : random() % std::size(layouts)];
        const size_t channels = static_cast<size_t>(layout.channels);
        const int lo = lowest(layout.bytes), hi = highest(layout.bytes);
        size_t steps = long_         ? 4000000 + random() % 4000000
                       : size < 2400 ? 1 + random() % 300
                       : size < 3880 ? 300 + random() % 5000
                                     : 5000 + random() % 100000;
        if (random() % 2 == 0) steps = (steps + 15) / 16 * 16;  // lets a sum land exactly on an edge
        if (!long_ && random() % 8 == 0) steps = 2000 * (1 + random() % 10);
        // Each channel: 0 constant, 1 free, 2-4 its value mean steered, 5-7 its magnitude mean.
        int kinds[2];
        std::vector<int> values((steps + (long_ ? 2000 : 0)) * channels);
        for (size_t c = 0; c < channels; c++) {
            kinds[c] = long_ ? 2 + static_cast<int>(random() % 6) : static_cast<int>(random() % 8);
            const int dc = long_ ? (hi / 4 + static_cast<int>(random() % static_cast<uint64_t>(hi - hi / 4 - 3))) *
                                       (random() % 2 == 0 ? 1 : -1)
                                 : lo + static_cast<int>(random() % static_cast<uint64_t>(hi - lo + 1));
            const int spread = kinds[c] == 0 ? 0
                               : long_       ? static_cast<int>(random() % 4)
                                             : static_cast<int>(random() % static_cast<uint64_t>(hi + 1) >> (random() % 16));
            for (size_t i = c; i < values.size(); i += channels) {
                values[i] = std::clamp(dc - spread + static_cast<int>(random() % static_cast<uint64_t>(2 * spread + 1)), lo, hi);
            }
        }
        // The edge each steered channel goes to: the odd multiple of 0.0005 nearest its drawn mean
        // (as 2000 x, an odd integer), or now and then 0.
        int64_t edges[2] = {};
        for (size_t c = 0; c < channels; c++) {
            int64_t total = 0;
            for (size_t i = c; i < steps * channels; i += channels) total += kinds[c] >= 5 ? std::abs(values[i]) : values[i];
            const double drawn = 2000.0 * static_cast<double>(total) / static_cast<double>(steps);
            edges[c] = static_cast<int64_t>(drawn);
            if (edges[c] % 2 == 0) edges[c] += drawn < 0 ? -1 : 1;
            if (!long_ && kinds[c] < 5 && random() % 8 == 0) edges[c] = 0;
        }
        if (long_) {
            // A length N for which channel 0's edge, N edge / 2000 as a sum, lies within 1/100 of
            // a step of a whole sum without being one.
            for (size_t more = 0; more < 2000; more++) {
                const int64_t residue = (static_cast<int64_t>(steps + more) * edges[0] % 2000 + 2000) % 2000;
                if (residue != 0 && (residue <= 20 || residue >= 1980)) {
                    steps += more;
                    break;
                }
            }
            values.resize(steps * channels);
        }
        for (size_t c = 0; c < channels; c++) {
            if (kinds[c] < 2) continue;
            // The sum nearest the edge, give or take a step (a long signal takes the nearest).
            const int64_t offsets[] = {-1, 0, 0, 0, 1};
            const int64_t offset = long_ ? 0 : offsets[random() % 5];
            const int64_t target = (edges[c] * static_cast<int64_t>(steps) + (edges[c] < 0 ? -1000 : 1000)) / 2000 + offset;
            steer(values, c, channels, kinds[c] >= 5 ? std::max<int64_t>(target, 0) : target, kinds[c] >= 5, lo, hi);
        }
        const std::vector<uint8_t> data = encode(values, layout, static_cast<uint8_t>(random()));
        RunningMeans chain{};
        MeanSums sums;
        // Fed in two parts, at different places, to cross the carried state of both.
        const int64_t total = static_cast<int64_t>(steps);
        const int64_t cut1 = static_cast<int64_t>(random() % (steps + 1)), cut2 = static_cast<int64_t>(random() % (steps + 1));
        feedRunningMeans(chain, data.data(), cut1, layout.channels, layout.bytes, layout.blockAlign);
        feedRunningMeans(chain, data.data() + cut1 * layout.blockAlign, total - cut1, layout.channels, layout.bytes,
                         layout.blockAlign);
        feedMeanSums(sums, data.data(), cut2, layout.channels, layout.bytes, layout.blockAlign);
        feedMeanSums(sums, data.data() + cut2 * layout.blockAlign, total - cut2, layout.channels, layout.bytes,
                     layout.blockAlign);
        for (int c = 0; c < layout.channels; c++) {
            for (const bool ofMagnitudes : {false, true}) {
                means++;
                const std::string chainText = text(ofMagnitudes ? chain.meanAbs[c] : chain.mean[c]);
                const int64_t sum = ofMagnitudes ? sums.sumAbs[c] : sums.sum[c];
                if (text(static_cast<double>(sum) / static_cast<double>(total)) != chainText) {
                    exactDiffers++;
                    // Off the edges themselves: 2000 sum / N is neither 0 nor an odd integer.
                    if (sum != 0 && ((2000 * sum) % total != 0 || ((2000 * sum) / total) % 2 == 0)) exactDiffersOffEdge++;
                }
                double printable;
                if (!settledMean(sums, c, ofMagnitudes, &printable)) {
                    fromChain++;
                    continue;
                }
                settled++;
                if (text(printable) != chainText) {
                    if (differ++ < 10) {
                        fprintf(stderr, "signal %ld channel %d%s: %lld over %lld steps: settled %s, chain %s\n", n, c,
                                ofMagnitudes ? " magnitudes" : "", static_cast<long long>(sum),
                                static_cast<long long>(total), text(printable).c_str(), chainText.c_str());
                    }
                }
            }
        }
    }
    printf("near edges: %ld signals, %ld means: %ld settled by the sums, %ld from the chain (%.1f%%); "
           "%ld where the exact mean prints otherwise than the chain (%ld of them off the edge itself); %ld differ\n",
           count, means, settled, fromChain, 100.0 * static_cast<double>(fromChain) / static_cast<double>(means),
           exactDiffers, exactDiffersOffEdge, differ);
    if (exactDiffers == 0 || exactDiffersOffEdge == 0) {
        fprintf(stderr, "qor-meancheck: no signal reached a place where the exact mean misleads; the check bites nothing\n");
        return 1;
    }
    return differ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    using Chains = MeansAudit::Chains;
    if (mode == "chain") return runAudited(true, Chains::kSecondPass, argc, argv);
    if (mode == "chain-beside") return runAudited(true, Chains::kBeside, argc, argv);
    if (mode == "count") return runAudited(false, Chains::kAsChosen, argc, argv);
    if (mode == "count-beside") return runAudited(false, Chains::kBeside, argc, argv);
    if (mode == "corpus" && argc == 3) return writeCorpus(argv[2]);
    if (mode == "near-edges" && argc == 4) return nearEdges(atol(argv[2]), strtoull(argv[3], nullptr, 10));
    fprintf(stderr,
            "usage: qor-meancheck chain|chain-beside|count|count-beside <qor arguments>\n"
            "       qor-meancheck corpus <folder>\n"
            "       qor-meancheck near-edges <count> <seed>\n");
    return 2;
}
