// A source's running chains worked out on a thread of their own while the statistics' pass reads
// the same samples. The chains cost a division's latency per step, several times what reading
// costs; run after the read, a mean the exact sums leave open costs the chain plus a second
// reading, run beside it only the chain.
#pragma once

#include <atomic>
#include <thread>

#include "engine/source_blocks.h"
#include "wave/running_mean.h"

class ChainBeside {
  public:
    explicit ChainBeside(const PcmSource& source) : source_(source) {}
    // Stops the thread, if it still runs, and waits for it.
    ~ChainBeside();
    ChainBeside(const ChainBeside&) = delete;
    ChainBeside& operator=(const ChainBeside&) = delete;

    // Starts the thread, which walks every step of the source through its own reads (the file is
    // read at explicit offsets, so the two walks are independent). Returns false when no thread
    // can be started (too many processes): the chains are then left to a second pass.
    bool start();
    bool started() const { return thread_.joinable(); }
    // Waits for the chains over every step and copies them to `chains`. False when the thread
    // never started or could not read every step: the caller then runs the chains itself, and a
    // read that fails again is reported by the run's own pass.
    bool finish(RunningMeans& chains);
    // Tells the thread to stop at its next slice of steps and waits for it: its chains are not
    // needed.
    void stop();

  private:
    void run() noexcept;

    const PcmSource& source_;
    std::atomic<bool> stopping_{false};
    // Written by the thread; read only after it has been joined.
    RunningMeans chains_{};
    bool complete_ = false;
    std::thread thread_;
};
