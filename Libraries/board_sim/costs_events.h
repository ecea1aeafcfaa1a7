// What the vendor's driver costs per call, and its receive notification
// (FT_SetEventNotification with FT_EVENT_RXCHAR).
#pragma once

#include "d2xx.h"

#include <cstdint>

namespace boardsim {

// The vendor's Linux driver sleeps inside every status call (about 60 us in all) and spends a few
// microseconds copying in a read or write.
constexpr std::uint32_t kVendorStatusCostUs = 60;
constexpr std::uint32_t kVendorIoCostUs = 3;

enum class CallCost { Status, Io };

// Spends what the call costs with the cost setting on: a status call mostly asleep, as the
// vendor's does, a read or write busy. Called without the driver's lock.
void payCost(CallCost cost);

// An event to set once the driver's lock is released: the host's waiter may call back into the
// driver, and on Linux the host may hold the event's mutex while it does.
class PendingSignal {
  public:
    void arm(d2xx::PVOID param) { param_ = param; }
    bool pending() const { return param_ != nullptr; }
    void fire();

  private:
    d2xx::PVOID param_ = nullptr;
};

} // namespace boardsim
