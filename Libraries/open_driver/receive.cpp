// The bulk transfers of an open interface: the IN transfers that fill the receive queue, held back
// while the queue has no room, and the OUT transfers of FT_Write.
//
// The figures, measured through the emulated FT232H in the synchronous FIFO (its link at 40 MB/s,
// 255-byte blocks, fast profile, a callback that keeps up; CORVANE_D2XX_TUNING; two or three runs
// each on the shared two-core machine): 1 x 4 KiB 37.6-39.3 MB/s, 4 x 4 KiB 31.9-33.4, 1 x 16 KiB
// 39.5-39.6, 2 x 16 KiB 38.5-38.7, 4 x 16 KiB 31.7-39.5, 8 x 16 KiB 29.9-38.9, 4 x 64 KiB
// 29.4-33.5; with the link unlimited every choice gave 90-240 MB/s, the spread being the machine's.
// So the emulated link is filled by any of them (it does not model the host controller's gap
// between a completion and the next submission, which the transfers in flight cover on a real
// bus). Chosen: 16 KiB, libusb's largest single usbfs URB here, so a transfer is one URB; four of
// them, 64 KiB in flight, 1.6 ms of the synchronous link, covering the event thread's scheduling
// delay on a busy machine. The queue: 64 KiB, 256 KiB and 1 MiB all gave 38-40 MB/s; 256 KiB holds
// the four transfers' worth four times, so the reader drains it in large reads while new transfers
// keep going, at a cost of a quarter megabyte per open board.
#include "open_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane::open_driver {

namespace {

using Clock = std::chrono::steady_clock;

void LIBUSB_CALL inDone(libusb_transfer* transfer);
void LIBUSB_CALL outDone(libusb_transfer* transfer);

// The queue's free space not promised to the IN transfers in flight.
std::size_t unpromisedRoom(const Handle& h) {
    std::size_t promised = 0;
    for (const TransferSlot& slot : h.in) {
        promised += slot.inFlight ? slot.buffer.size() : 0;
    }
    const std::size_t free = h.queueCapacity - h.queued;
    return free > promised ? free - promised : 0;
}

void enqueue(Handle& h, const std::uint8_t* bytes, std::size_t count) {
    // The promise made at submission means this always fits; the check only keeps memory safe.
    count = std::min(count, h.queueCapacity - h.queued);
    std::size_t end = (h.queueStart + h.queued) % h.queueCapacity;
    while (count > 0) {
        const std::size_t run = std::min(count, h.queueCapacity - end);
        std::memcpy(h.queue.data() + end, bytes, run);
        h.queued += run;
        bytes += run;
        count -= run;
        end = (end + run) % h.queueCapacity;
    }
}

// Strips the two status bytes of every packet; returns the data bytes queued.
std::size_t takePackets(Handle& h, const std::uint8_t* bytes, std::size_t length) {
    std::size_t queued = 0;
    const std::size_t packet = h.node.packetSize;
    for (std::size_t at = 0; at < length; at += packet) {
        const std::size_t size = std::min(packet, length - at);
        if (size < 2) {
            ++h.malformedPackets;
            if (!h.malformedLogged) {
                h.malformedLogged = true;
                logLine("%s: an IN packet of %zu byte(s) had no status bytes; skipped (and counted from now on)",
                        h.node.serial.c_str(), size);
            }
            continue;
        }
        h.modemStatus = bytes[at];
        h.lineStatus = bytes[at + 1];
        enqueue(h, bytes + at + 2, size - 2);
        queued += size - 2;
    }
    return queued;
}

// A transfer that did not complete: a cancel (a purge, a close) is no fault; anything else makes
// the handle dead, naming the cause. h.lock held.
void noteFailure(Handle& h, libusb_transfer_status status, const char* direction) {
    if (status == LIBUSB_TRANSFER_CANCELLED) {
        return;
    }
    char cause[48];
    if (status == LIBUSB_TRANSFER_NO_DEVICE) {
        std::snprintf(cause, sizeof cause, "the chip is gone");
    } else if (status == LIBUSB_TRANSFER_STALL) {
        std::snprintf(cause, sizeof cause, "its %s endpoint stalled", direction);
    } else {
        std::snprintf(cause, sizeof cause, "an %s transfer failed", direction);
    }
    markDead(h, cause);
}

void LIBUSB_CALL inDone(libusb_transfer* transfer) {
    auto* slot = static_cast<TransferSlot*>(transfer->user_data);
    Handle& h = *slot->owner;
    bool arrived = false;
    {
        std::lock_guard<std::mutex> hold(h.lock);
        slot->inFlight = false;
        --h.inFlightIn;
        switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            // Bytes of a transfer cancelled by a purge or a close belong to no one.
            if (!h.purging && !h.closing && !h.dead) {
                arrived = takePackets(h, transfer->buffer, static_cast<std::size_t>(transfer->actual_length)) > 0;
            }
            break;
        default:
            noteFailure(h, transfer->status, "IN");
            break;
        }
        fillInTransfers(h);
        if (arrived) {
            ++h.notifying; // the close waits for the notification below
        }
        h.changed.notify_all();
    }
    if (arrived) {
        notifyReceive(h);
        std::lock_guard<std::mutex> hold(h.lock);
        --h.notifying;
        h.changed.notify_all();
    }
}

void LIBUSB_CALL outDone(libusb_transfer* transfer) {
    auto* slot = static_cast<TransferSlot*>(transfer->user_data);
    Handle& h = *slot->owner;
    std::lock_guard<std::mutex> hold(h.lock);
    slot->inFlight = false;
    --h.inFlightOut;
    h.outDone += static_cast<std::uint64_t>(transfer->actual_length);
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        break;
    default:
        noteFailure(h, transfer->status, "OUT");
        break;
    }
    h.changed.notify_all();
}

// CORVANE_D2XX_TUNING=<transfers>,<bytes>,<queue bytes>, for measuring; anything out of range keeps
// the built-in figure.
void applyTuning(Handle& h, int& transfers) {
    const char* setting = std::getenv("CORVANE_D2XX_TUNING");
    if (setting == nullptr) {
        return;
    }
    char* end = nullptr;
    const long count = std::strtol(setting, &end, 10);
    const long bytes = *end == ',' ? std::strtol(end + 1, &end, 10) : 0;
    const long queue = *end == ',' ? std::strtol(end + 1, &end, 10) : 0;
    if (count >= 1 && count <= kMaxInTransfers) {
        transfers = static_cast<int>(count);
    }
    if (bytes >= 512 && bytes <= kMaxInTransferBytes && bytes % 512 == 0) {
        h.inTransferBytes = static_cast<int>(bytes);
    }
    if (queue >= static_cast<long>(kMaxInTransferBytes) && queue <= (64L << 20)) {
        h.queueCapacity = static_cast<std::size_t>(queue);
    }
}

} // namespace

bool allocateTransfers(Handle& h) {
    int transfers = kInTransfers;
    applyTuning(h, transfers);
    h.queue.assign(h.queueCapacity, 0);
    h.in.resize(static_cast<std::size_t>(transfers));
    for (TransferSlot& slot : h.in) {
        slot.transfer = libusb_alloc_transfer(0);
        slot.owner = &h;
        if (slot.transfer == nullptr) {
            return false;
        }
    }
    for (TransferSlot& slot : h.out) {
        slot.transfer = libusb_alloc_transfer(0);
        slot.owner = &h;
        slot.buffer.resize(kOutTransferBytes);
        if (slot.transfer == nullptr) {
            return false;
        }
    }
    return true;
}

void freeTransfers(Handle& h) {
    for (TransferSlot& slot : h.in) {
        libusb_free_transfer(slot.transfer);
        slot.transfer = nullptr;
    }
    for (TransferSlot& slot : h.out) {
        libusb_free_transfer(slot.transfer);
        slot.transfer = nullptr;
    }
}

void fillInTransfers(Handle& h) {
    for (TransferSlot& slot : h.in) {
        if (h.dead || h.closing || h.purging) {
            return;
        }
        if (slot.inFlight) {
            continue;
        }
        const auto size = static_cast<std::size_t>(h.inTransferBytes);
        // Only a transfer whose every byte the queue can take: the chip holds the rest back.
        if (unpromisedRoom(h) < size) {
            return;
        }
        slot.buffer.resize(size);
        libusb_fill_bulk_transfer(slot.transfer, h.usb, h.node.inEndpoint, slot.buffer.data(), static_cast<int>(size),
                                  inDone, &slot, 0);
        const int result = libusb_submit_transfer(slot.transfer);
        if (result != LIBUSB_SUCCESS) {
            markDead(h,
                     result == LIBUSB_ERROR_NO_DEVICE ? "the chip is gone" : "an IN transfer could not be submitted");
            return;
        }
        slot.inFlight = true;
        ++h.inFlightIn;
    }
}

void cancelTransfers(Handle& h, bool in, bool out) {
    if (in) {
        for (TransferSlot& slot : h.in) {
            if (slot.inFlight) {
                libusb_cancel_transfer(slot.transfer);
            }
        }
    }
    if (out) {
        for (TransferSlot& slot : h.out) {
            if (slot.inFlight) {
                libusb_cancel_transfer(slot.transfer);
            }
        }
    }
}

bool awaitTransfers(Handle& h, std::unique_lock<std::mutex>& hold, bool in, bool out, int timeoutMs) {
    return h.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return (!in || h.inFlightIn == 0) && (!out || h.inFlightOut == 0) && h.notifying == 0;
    });
}

void notifyReceive(Handle& h) {
    std::lock_guard<std::mutex> hold(h.notifyLock);
    if (h.eventHandle != nullptr && (h.eventMask & FT_EVENT_RXCHAR) != 0) {
        pthread_mutex_lock(&h.eventHandle->eMutex);
        pthread_cond_signal(&h.eventHandle->eCondVar);
        pthread_mutex_unlock(&h.eventHandle->eMutex);
    }
}

FT_STATUS readQueue(Handle& h, std::uint8_t* buffer, DWORD wanted, DWORD* got) {
    std::unique_lock<std::mutex> hold(h.lock);
    const auto ready = [&] { return h.queued >= wanted || h.dead || h.closing; };
    if (h.readTimeoutMs == 0) {
        h.changed.wait(hold, ready);
    } else {
        h.changed.wait_for(hold, std::chrono::milliseconds(h.readTimeoutMs), ready);
    }
    if (h.closing) {
        return FT_INVALID_HANDLE;
    }
    if (h.dead) {
        return FT_IO_ERROR;
    }
    const std::size_t count = std::min<std::size_t>(wanted, h.queued);
    const std::size_t first = std::min(count, h.queueCapacity - h.queueStart);
    std::memcpy(buffer, h.queue.data() + h.queueStart, first);
    std::memcpy(buffer + first, h.queue.data(), count - first);
    h.queueStart = (h.queueStart + count) % h.queueCapacity;
    h.queued -= count;
    *got = static_cast<DWORD>(count);
    // The room just made lets the chip send again.
    fillInTransfers(h);
    return FT_OK;
}

FT_STATUS writeBytes(Handle& h, const std::uint8_t* bytes, DWORD count, DWORD* written) {
    std::lock_guard<std::mutex> oneWrite(h.writeLock);
    std::unique_lock<std::mutex> hold(h.lock);
    if (h.closing) {
        return FT_INVALID_HANDLE;
    }
    if (h.dead) {
        return FT_IO_ERROR;
    }
    h.outDone = 0;
    const bool forever = h.writeTimeoutMs == 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(h.writeTimeoutMs);
    DWORD submitted = 0;
    bool timedOut = false;
    while (!h.dead && !h.closing) {
        for (TransferSlot& slot : h.out) {
            if (submitted == count) {
                break;
            }
            if (slot.inFlight) {
                continue;
            }
            const DWORD chunk = std::min<DWORD>(count - submitted, kOutTransferBytes);
            std::memcpy(slot.buffer.data(), bytes + submitted, chunk);
            libusb_fill_bulk_transfer(slot.transfer, h.usb, h.node.outEndpoint, slot.buffer.data(),
                                      static_cast<int>(chunk), outDone, &slot, 0);
            const int result = libusb_submit_transfer(slot.transfer);
            if (result != LIBUSB_SUCCESS) {
                markDead(h, result == LIBUSB_ERROR_NO_DEVICE ? "the chip is gone"
                                                             : "an OUT transfer could not be submitted");
                break;
            }
            slot.inFlight = true;
            ++h.inFlightOut;
            submitted += chunk;
        }
        if (h.dead || (submitted == count && h.inFlightOut == 0)) {
            break;
        }
        // Wait for a slot to come back (or the last one).
        const auto progress = [&, before = h.inFlightOut] { return h.inFlightOut < before || h.dead || h.closing; };
        if (forever) {
            h.changed.wait(hold, progress);
        } else if (!h.changed.wait_until(hold, deadline, progress)) {
            timedOut = true;
            break;
        }
    }
    if (timedOut || h.closing) {
        // What the chip did not take by the time-out is taken back.
        cancelTransfers(h, false, true);
        awaitTransfers(h, hold, false, true, static_cast<int>(kControlTimeoutMs));
    }
    *written = static_cast<DWORD>(std::min<std::uint64_t>(h.outDone, count));
    if (h.dead && !timedOut) {
        return FT_IO_ERROR;
    }
    return h.closing ? FT_INVALID_HANDLE : FT_OK;
}

} // namespace corvane::open_driver
