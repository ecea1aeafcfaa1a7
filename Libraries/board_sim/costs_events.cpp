#include "costs_events.h"

#include "board_sim.h"

#include <atomic>
#include <chrono>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace boardsim {

namespace {

// Relaxed: a setting that a test changes between measurements; no data rides on it.
std::atomic<bool> vendorCosts{false};

void spinUntil(std::chrono::steady_clock::time_point deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
    }
}

} // namespace

void payCost(CallCost cost) {
    if (!vendorCosts.load(std::memory_order_relaxed)) {
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    if (cost == CallCost::Status) {
        // One short sleep, which the system's timer slack stretches to most of the cost, then
        // the rest busy, so the call costs about the same on every machine.
        std::this_thread::sleep_for(std::chrono::microseconds(1));
        spinUntil(start + std::chrono::microseconds(kVendorStatusCostUs));
    } else {
        spinUntil(start + std::chrono::microseconds(kVendorIoCostUs));
    }
}

void PendingSignal::fire() {
    if (param_ == nullptr) {
        return;
    }
#if defined(_WIN32)
    SetEvent(static_cast<HANDLE>(param_));
#else
    auto* handle = static_cast<d2xx::FT_EVENT_HANDLE*>(param_);
    pthread_mutex_lock(&handle->eMutex);
    pthread_cond_signal(&handle->eCondVar);
    pthread_mutex_unlock(&handle->eMutex);
#endif
    param_ = nullptr;
}

} // namespace boardsim

void sim_set_vendor_costs(int on) { boardsim::vendorCosts.store(on != 0, std::memory_order_relaxed); }
