// The example board's logic (cv_board_core) on a byte-level bench: the host's bytes go in with
// random gaps, the board's bytes are taken with random pauses, one clock per step.
#pragma once

#include "Vcv_board_core.h"
#include "host_traffic.h"

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace cvtb {

struct BenchSettings {
    unsigned behaviour = 1;
    std::uint32_t msgTimeout = 0;
    double inGap = 0.0;    // chance that the host sends nothing on a clock
    double outPause = 0.0; // chance that the board's output is not taken on a clock
    std::uint8_t streamSingleMask = 0, streamBlockMask = 0, streamBlockLen = 16;
    std::uint32_t streamPeriod = 0, streamCount = 0;
};

class CoreBench {
  public:
    CoreBench(std::uint32_t seed, const BenchSettings& settings) : rng_(seed), settings_(settings) {
        top_->clk = 0;
        top_->rst = 1;
        top_->behaviour = settings.behaviour;
        top_->msg_timeout = settings.msgTimeout;
        top_->stream_single_mask = settings.streamSingleMask;
        top_->stream_block_mask = settings.streamBlockMask;
        top_->stream_block_len = settings.streamBlockLen;
        top_->stream_period = settings.streamPeriod;
        top_->stream_count = settings.streamCount;
        top_->in_valid = 0;
        top_->out_ready = 0;
        for (int i = 0; i < 4; ++i) {
            tick();
        }
        top_->rst = 0;
    }

    // One clock: the inputs as they are now, sampled at the rising edge.
    void tick() {
        top_->clk = 0;
        top_->eval();
        const bool inTaken = top_->in_valid && top_->in_ready;
        const bool outTaken = top_->out_valid && top_->out_ready;
        const std::uint8_t outByte = top_->out_data;
        top_->clk = 1;
        top_->eval();
        ++cycles;
        if (inTaken) {
            ++inPos_;
        }
        if (outTaken) {
            received.push_back(outByte);
            receivedAt.push_back(cycles);
        }
    }

    // Plays the host's steps; returns false when the board stopped taking bytes for `stuckLimit`
    // clocks.
    bool play(const std::vector<HostStep>& steps, std::uint64_t stuckLimit = 200000) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (const HostStep& step : steps) {
            inPos_ = 0;
            std::uint64_t lastProgress = cycles;
            bool offering = false; // a byte on offer stays until taken
            while (inPos_ < step.bytes.size()) {
                const std::size_t before = inPos_;
                offering = offering || chance(rng_) >= settings_.inGap;
                top_->in_valid = offering;
                top_->in_data = step.bytes[inPos_];
                top_->out_ready = chance(rng_) >= settings_.outPause;
                tick();
                if (inPos_ != before) {
                    offering = false;
                    lastProgress = cycles;
                } else if (cycles - lastProgress > stuckLimit) {
                    return false;
                }
            }
            top_->in_valid = 0;
            // A stall lasts until the board dropped the message left half-way (a board held back by
            // its output may take longer than its time-out to get there).
            for (std::uint64_t i = 0; i < step.stallCycles || top_->count_discarded_bytes < step.discardedBy; ++i) {
                if (i > stuckLimit) {
                    return false;
                }
                top_->out_ready = chance(rng_) >= settings_.outPause;
                tick();
            }
        }
        top_->in_valid = 0;
        return true;
    }

    // Takes the board's output until `count` bytes came or nothing came for `quietLimit` clocks,
    // then for `quietLimit` clocks more (so that a surplus byte shows).
    void drain(std::size_t count, std::uint64_t quietLimit = 20000) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        std::uint64_t lastProgress = cycles;
        while (cycles - lastProgress < quietLimit) {
            const std::size_t before = received.size();
            top_->out_ready = chance(rng_) >= settings_.outPause;
            tick();
            if (received.size() != before && received.size() <= count) {
                lastProgress = cycles;
            }
        }
    }

    Vcv_board_core& top() { return *top_; }

    std::vector<std::uint8_t> received;
    std::vector<std::uint64_t> receivedAt; // the clock each byte left on
    std::uint64_t cycles = 0;

  private:
    std::unique_ptr<Vcv_board_core> top_ = std::make_unique<Vcv_board_core>();
    std::mt19937 rng_;
    BenchSettings settings_;
    std::size_t inPos_ = 0;
};

} // namespace cvtb
