#include "wave/chain_beside.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace {

// Steps fed to the chains between looks at the stop flag: about a tenth of a millisecond of
// divisions, so that a thread told to stop ends at once whatever the block size in steps.
constexpr int64_t kSliceSteps = 16384;

}  // namespace

ChainBeside::~ChainBeside() { stop(); }

bool ChainBeside::start() {
    if (thread_.joinable()) return true;
    try {
        // The thread leaves the stopping signals to the main one.
        const platform::StopSignalsHeld held;
        thread_ = std::thread(&ChainBeside::run, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool ChainBeside::finish(RunningMeans& chains) {
    if (!thread_.joinable()) return false;
    thread_.join();
    chains = chains_;
    return complete_;
}

void ChainBeside::stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void ChainBeside::run() noexcept {
    const FormatInfo& format = source_.format;
    const int64_t total = source_.steps;
    try {
        const int64_t perBlock = std::max<int64_t>(1, std::min(blockSteps(format.blockAlign), total));
        std::vector<uint8_t> block(static_cast<size_t>(perBlock * format.blockAlign));
        for (int64_t done = 0; done < total;) {
            const int64_t n = std::min(perBlock, total - done);
            if (readStepsQuietly(source_, done, n, block.data()) != 0) return;
            for (int64_t fed = 0; fed < n; fed += kSliceSteps) {
                if (stopping_.load(std::memory_order_relaxed)) return;
                feedRunningMeans(chains_, block.data() + fed * format.blockAlign, std::min(kSliceSteps, n - fed),
                                 format.channels, format.bitsPerSample / 8, format.blockAlign);
            }
            done += n;
        }
        complete_ = true;
    } catch (...) {
        // No room for the block: the chains are left to the caller.
    }
}
