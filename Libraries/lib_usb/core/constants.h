// The library's fixed sizes and port settings, in one place.
#pragma once

#include <cstdint>

namespace corvane {

constexpr int kDeviceRecordCount = 256;              // slots of the device database
constexpr int kChannelCount = 8;                     // channels of a board, 0 to 7
constexpr std::int32_t kInputBufferCapacity = 50000; // bytes of every channel input buffer
constexpr int kFifoSize = 65536;                     // entries of the received-message FIFO
constexpr int kReadBufferSize = 10000;               // the read thread's scratch buffer for block data
constexpr int kCallbackBufferSize = 10000;           // a board's staging buffer for callbacks
constexpr int kLogTextSize = 1024;                   // one formatted log line, terminator included
constexpr int kLastErrorSize = 2048;                 // the last-error text, terminator included
constexpr int kLastErrorSlots = 4;                   // texts kept so that a reader is never overwritten
constexpr int kDriverPathSize = 512;                 // CORVANE_DRIVER's path, and the bound driver's name
constexpr int kBatchReadSize = 65536;                // CORVANE_RX=batched: the most one read takes (the driver's queue)
constexpr std::uint32_t kReaderIdleWaitMs = 10;  // CORVANE_IDLE=wait: the read thread looks again at least this often
constexpr std::uint32_t kWriterIdleWaitMs = 100; // ... and the write thread, which the read thread signals
constexpr std::uint32_t kRoomWaitMs = 1;
constexpr std::uint32_t kSpinBeforeWaitUs = 100; // after traffic, both threads look this long before they sleep // the
                                                 // read thread waits this long at most for room to read into
constexpr std::uint32_t kBaudRate = 9600;
constexpr std::uint32_t kReadTimeoutMs = 6000;
constexpr std::uint32_t kWriteTimeoutMs = 6000;
constexpr std::uint32_t kLightShowPauseSliceMs = 10; // a show's pause looks for a stop this often
constexpr std::int32_t kSelfTestCycles = 100000;
constexpr int kSelfTestTextSize = 10;                // the self test's "CV: %04X" text, terminator included
constexpr std::uint32_t kSupportedVendorId = 0x0403; // the USB bridge chip maker's vendor id
constexpr std::uint32_t kFirstProductId = 0x8088;
constexpr std::uint32_t kLastProductId = 0x808F;

} // namespace corvane
