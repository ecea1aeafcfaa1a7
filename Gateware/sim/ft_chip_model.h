// A pin-level model of the bridge chip's FIFO side (the FT2232H/FT232H 245-style FIFO modes), for
// testbenches and the co-simulated board. It plays the chip against the FPGA's pins one FPGA clock at a
// time, keeps the chip's two 4 KiB buffers, and checks the chip's timing rules on every step: a broken
// rule is recorded as a text that names it, never silently tolerated.
//
// Header-only, plain integers in its interface (no simulator types), so any C++ testbench can drive it.
//
// Time. In Sync245 mode the chip owns the clock (60 MHz CLKOUT) and the FPGA runs on it: one call of
// edge() is one rising CLKOUT edge, where the chip samples the FPGA's pins as they were before the edge
// and then drives its new outputs, which the FPGA samples at the next edge. In Async245 mode the FPGA
// runs on its own clock of period P: one call of edge() is one step of P ns, during which the FPGA
// drives the pins it set at the start of the step, and the result is what the chip drives at the end of
// the step, the moment the FPGA's next edge samples it. Chip outputs that change inside a window given
// by the datasheet (e.g. RXF# rising 1 to 14 ns after RD#) are shown at their old value until the latest
// time and counted as possibly changed from the earliest time, so the FPGA gets the worst case both ways.
// The order of calls within one FPGA clock differs between the modes; clock() below does it right.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace ftchip {

enum class Mode { Async245, Sync245 };

// What the FPGA drives towards the chip.
struct Pins {
    bool rd_n = true, wr_n = true, oe_n = true;
    std::uint8_t d_out = 0;
    bool d_oe = false;
};

// What the chip drives towards the FPGA. d_in is the bus as the FPGA's input buffer sees it.
struct ChipOut {
    bool rxf_n = true, txe_n = true;
    std::uint8_t d_in = 0xFF;
};

// The chip's buffer each way (FT2232H: 4 KiB per interface and direction).
inline constexpr std::size_t kBufferBytes = 4096;
// CLKOUT period in the synchronous mode (60 MHz).
inline constexpr double kSyncClockNs = 1000.0 / 60.0;
// Violations kept as texts; further ones are only counted.
inline constexpr std::size_t kMaxViolationTexts = 64;

// The asynchronous FIFO's datasheet limits, in ns. The read side: RD# may fall only while RXF# is low
// (0 ns after it); the data is valid at most rdToDataMax after RD# falls; RD# stays low at least
// rdPulseMin; RXF# rises between flagAfterMin and flagAfterMax after RD# rises and stays high at least
// flagInactiveMin. The write side mirrors it: WR# may fall only while TXE# is low; the data is on the bus
// wrSetupMin before WR# falls and stays wrHoldMin after it rises; WR# stays low at least wrPulseMin; TXE#
// rises between flagAfterMin and flagAfterMax after WR# falls and stays high at least flagInactiveMin
// after WR# rises. The chip releases the bus at most busReleaseMax after RD# rises.
struct AsyncTiming {
    double rdToDataMax = 14.0;
    double rdPulseMin = 30.0;
    double wrSetupMin = 5.0;
    double wrHoldMin = 5.0;
    double wrPulseMin = 30.0;
    double flagAfterMin = 1.0;
    double flagAfterMax = 14.0;
    double flagInactiveMin = 49.0;
    double busReleaseMax = 14.0;
};

class Chip {
  public:
    Chip(Mode mode, double fpgaClockNs, AsyncTiming timing = {})
        : mode_(mode), stepNs_(mode == Mode::Sync245 ? kSyncClockNs : fpgaClockNs), timing_(timing) {
        toHost_.resize(kBufferBytes);
    }

    // The buffer towards the host holds this many bytes instead of 4 KiB (an FT232H's is 1 KiB).
    // Set it before the first edge; at least 1.
    void setToHostCapacity(std::size_t bytes) {
        toHost_.assign(std::max<std::size_t>(bytes, 1), 0);
        toHostHead_ = 0;
        toHostCount_ = 0;
    }

    Mode mode() const { return mode_; }
    double stepNs() const { return stepNs_; }
    double nowNs() const { return now_; }

    // Host side. The host's bytes wait in the chip (and, beyond its 4 KiB, in the host's driver) in order.
    void hostWrite(const std::uint8_t* bytes, std::size_t count) {
        if (toFpgaHead_ > 0 && toFpgaHead_ * 2 >= toFpga_.size()) {
            toFpga_.erase(toFpga_.begin(), toFpga_.begin() + static_cast<std::ptrdiff_t>(toFpgaHead_));
            toFpgaHead_ = 0;
        }
        toFpga_.insert(toFpga_.end(), bytes, bytes + count);
    }
    // The host reads everything the chip has received from the FPGA; appends to out, returns the count.
    std::size_t takeToHost(std::vector<std::uint8_t>& out) {
        std::size_t n = toHostCount_;
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(toHost_[(toHostHead_ + i) % toHost_.size()]);
        toHostHead_ = (toHostHead_ + n) % toHost_.size();
        toHostCount_ = 0;
        return n;
    }
    std::size_t pendingToFpga() const { return toFpga_.size() - toFpgaHead_; }
    std::size_t txRoom() const { return toHost_.size() - toHostCount_; }
    // Bytes from the FPGA the host has not taken yet.
    std::size_t toHostCount() const { return toHostCount_; }

    // Test knobs: hold RXF# (TXE#) high as an empty (full) chip does. In the synchronous mode the flag
    // rises at the next edge. In the asynchronous mode a flag only rises as the chip's answer to a read
    // (write) strobe, so the knob keeps it from falling again after the next strobe.
    void forceRxfHigh(bool on) { forceRxf_ = on; }
    void forceTxeHigh(bool on) { forceTxe_ = on; }
    // The chip's own pace (its USB side): at most this many bytes per second each way; 0 = unlimited.
    void limitRate(double bytesPerSecond) { byteGapNs_ = bytesPerSecond > 0 ? 1e9 / bytesPerSecond : 0.0; }

    const std::vector<std::string>& violations() const { return violations_; }
    std::uint64_t violationCount() const { return violationCount_; }
    std::uint64_t bytesToFpga() const { return bytesToFpga_; }
    std::uint64_t bytesFromFpga() const { return bytesFromFpga_; }

    // One FPGA clock edge (see the file comment for what that is in each mode).
    ChipOut edge(const Pins& pins) {
        if (mode_ == Mode::Sync245)
            syncEdge(pins);
        else
            asyncStep(pins);
        prev_ = pins;
        return out_;
    }
    ChipOut outputs() const { return out_; }

    // One whole FPGA clock in the right order: readPins() returns the FPGA's pins, rise() and fall()
    // evaluate the FPGA's clock edges, apply(out) sets its inputs. The synchronous chip samples the pins
    // from before the common edge; the asynchronous chip sees the pins the FPGA sets at its edge.
    template <class ReadPins, class Rise, class Apply, class Fall>
    ChipOut clock(ReadPins&& readPins, Rise&& rise, Apply&& apply, Fall&& fall) {
        ChipOut o;
        if (mode_ == Mode::Sync245) {
            Pins p = readPins();
            rise();
            o = edge(p);
        } else {
            rise();
            o = edge(readPins());
        }
        apply(o);
        fall();
        return o;
    }

  private:
    static constexpr double kNever = -1e300;

    void violate(const char* rule) {
        ++violationCount_;
        if (violations_.size() >= kMaxViolationTexts) return;
        char text[256];
        std::snprintf(text, sizeof text, "%s (at %.1f ns)", rule, now_);
        violations_.emplace_back(text);
    }
    bool haveByteForFpga() const { return toFpgaHead_ < toFpga_.size(); }
    std::uint8_t frontForFpga() const { return toFpga_[toFpgaHead_]; }
    void popForFpga() {
        ++toFpgaHead_;
        ++bytesToFpga_;
        lastRead_ = now_;
    }
    void pushFromFpga(std::uint8_t b) {
        toHost_[(toHostHead_ + toHostCount_) % toHost_.size()] = b;
        ++toHostCount_;
        ++bytesFromFpga_;
        lastWrite_ = now_;
    }
    bool readPaced(double t) const { return byteGapNs_ > 0 && t < lastRead_ + byteGapNs_; }
    bool writePaced(double t) const { return byteGapNs_ > 0 && t < lastWrite_ + byteGapNs_; }

    // ---- Synchronous FIFO: everything happens on CLKOUT's rising edge. ----
    void syncEdge(const Pins& p) {
        if (!p.oe_n && p.d_oe) violate("sync: the FPGA drove D while OE# was low (bus contention)");
        if (!p.oe_n && prev_.oe_n && prev_.d_oe)
            violate("sync: OE# fell on the edge the FPGA released D (no turnaround clock)");
        if (p.d_oe && !prev_.oe_n) violate("sync: the FPGA drove D on the edge OE# rose (no turnaround clock)");
        if (!p.rd_n && (p.oe_n || prev_.oe_n)) violate("sync: RD# low without OE# low since the clock before");
        if (!p.wr_n && !p.d_oe) violate("sync: WR# low while the FPGA did not drive D");
        if (!p.wr_n && !p.rd_n) violate("sync: RD# and WR# low together");

        // The chip acts on the flags it drove before this edge, exactly as the FPGA sees them.
        if (!p.rd_n && !p.oe_n && !out_.rxf_n) popForFpga();
        if (!p.wr_n && !out_.txe_n && p.d_oe) pushFromFpga(p.d_out);

        now_ += stepNs_;
        out_.rxf_n = forceRxf_ || !haveByteForFpga() || readPaced(now_ + stepNs_);
        out_.txe_n = forceTxe_ || toHostCount_ == toHost_.size() || writePaced(now_ + stepNs_);
        if (!p.oe_n)
            out_.d_in = haveByteForFpga() ? frontForFpga() : 0xFF;
        else
            out_.d_in = p.d_oe ? p.d_out : 0xFF;
    }

    // ---- Asynchronous FIFO: strobes at the FPGA's edges, the chip's answers within ns windows. ----
    // The model plays the latest answer the datasheet allows: a flag rises flagAfterMax after the strobe
    // that consumes its byte (so an FPGA that trusts a stale flag is caught) and stays high until
    // flagInactiveMin after the strobe ends.
    bool rxfHigh(double t) const {
        if (rdLow_) return !readValid_; // the chip keeps RXF# as it was while the strobe lasts
        if (rdTook_ && t < rdRise_ + timing_.flagAfterMax) return false; // not risen yet after the byte was taken
        return rxfHeld_ || !haveByteForFpga() || t < rdRise_ + timing_.flagInactiveMin || readPaced(t);
    }
    bool txeHigh(double t) const {
        if (wrLow_) return !writeValid_ || t >= wrFall_ + timing_.flagAfterMax;
        return txeHeld_ || toHostCount_ == toHost_.size() || t < wrRise_ + timing_.flagInactiveMin || writePaced(t);
    }

    void asyncStep(const Pins& p) {
        const bool dataChanged = p.d_oe != prev_.d_oe || (p.d_oe && p.d_out != prev_.d_out);
        if (!p.rd_n && prev_.rd_n) {
            if (rxfHigh(now_)) violate("async: RD# fell while RXF# was high (RD# active after RXF#)");
            if (prev_.d_oe) violate("async: RD# fell on the edge the FPGA released D (no turnaround)");
            readValid_ = !rxfHigh(now_);
            rdLow_ = true;
            rdFall_ = now_;
        } else if (p.rd_n && !prev_.rd_n) {
            if (now_ - rdFall_ < timing_.rdPulseMin) violate("async: RD# active pulse shorter than its minimum width");
            rdLow_ = false;
            rdRise_ = now_;
            rdTook_ = readValid_;
            readValid_ = false;
            if (rdTook_) popForFpga();
            rxfHeld_ = rxfHeld_ || forceRxf_;
        }
        if (!p.rd_n && p.d_oe) violate("async: the FPGA drove D while RD# was low (bus contention)");
        if (p.d_oe && now_ < rdRise_ + timing_.busReleaseMax)
            violate("async: the FPGA drove D before the chip released it after RD# rose");

        const bool wrRises = p.wr_n && !prev_.wr_n;
        if (wrRises) wrRise_ = now_; // the hold time counts from here, so D must not change on this very edge
        if (dataChanged && !p.wr_n && !prev_.wr_n) violate("async: D changed while WR# was low");
        if (dataChanged && now_ < wrRise_ + timing_.wrHoldMin)
            violate("async: D changed before its hold time after WR# rose");
        if (dataChanged) dataSince_ = now_;
        if (!p.wr_n && prev_.wr_n) {
            if (txeHigh(now_)) violate("async: WR# fell while TXE# was high (WR# active after TXE#)");
            if (!p.d_oe)
                violate("async: WR# fell while the FPGA did not drive D");
            else if (now_ - dataSince_ < timing_.wrSetupMin)
                violate("async: D set up for less than its minimum before WR# fell");
            if (!p.rd_n) violate("async: RD# and WR# low together");
            writeValid_ = !txeHigh(now_) && p.d_oe;
            wrLow_ = true;
            wrFall_ = now_;
            wrByte_ = p.d_out;
        } else if (wrRises) {
            if (now_ - wrFall_ < timing_.wrPulseMin) violate("async: WR# active pulse shorter than its minimum width");
            wrLow_ = false;
            if (writeValid_) pushFromFpga(wrByte_);
            writeValid_ = false;
            txeHeld_ = txeHeld_ || forceTxe_;
        }

        now_ += stepNs_;
        // A forced flag that is high now stays high; releasing the knob lets it fall.
        rxfHeld_ = forceRxf_ && (rxfHeld_ || rxfHigh(now_));
        txeHeld_ = forceTxe_ && (txeHeld_ || txeHigh(now_));
        out_.rxf_n = rxfHigh(now_);
        out_.txe_n = txeHigh(now_);
        if (rdLow_) {
            const std::uint8_t b = haveByteForFpga() ? frontForFpga() : 0xA5;
            out_.d_in = readValid_ && now_ - rdFall_ >= timing_.rdToDataMax ? b : static_cast<std::uint8_t>(~b);
        } else {
            out_.d_in = p.d_oe ? p.d_out : 0xFF;
        }
    }

    Mode mode_;
    double stepNs_;
    AsyncTiming timing_;
    double now_ = 0.0;
    Pins prev_{};
    ChipOut out_{};

    std::vector<std::uint8_t> toFpga_;
    std::size_t toFpgaHead_ = 0;
    std::vector<std::uint8_t> toHost_;
    std::size_t toHostHead_ = 0, toHostCount_ = 0;

    bool forceRxf_ = false, forceTxe_ = false;
    bool rxfHeld_ = false, txeHeld_ = false;
    double byteGapNs_ = 0.0;
    double lastRead_ = kNever, lastWrite_ = kNever;

    bool rdLow_ = false, readValid_ = false, rdTook_ = false;
    double rdFall_ = kNever, rdRise_ = kNever;
    bool wrLow_ = false, writeValid_ = false;
    double wrFall_ = kNever, wrRise_ = kNever, dataSince_ = kNever;
    std::uint8_t wrByte_ = 0;

    std::vector<std::string> violations_;
    std::uint64_t violationCount_ = 0;
    std::uint64_t bytesToFpga_ = 0, bytesFromFpga_ = 0;
};

} // namespace ftchip
