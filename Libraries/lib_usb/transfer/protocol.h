// The framing of the messages on the link, in both directions, and the texts shared by every
// operation on the active board.
#pragma once

#include <cstdint>

namespace corvane {

// Every operation that addresses the active board reports a missing selection with this text.
inline constexpr char kNoDeviceSelected[] = "SendTrigger: No device was selected";

namespace protocol {

// Host to device: every message is a header byte with bit 7 set and one data byte.
constexpr std::uint32_t kMessageSize = 2;
constexpr std::uint8_t kTriggerHeader = 0x81;
constexpr std::uint8_t kSingleByteHeader = 0x90; // OR the low eight bits of the address
constexpr std::uint8_t kBlockHeader = 0xA0;      // OR the low eight bits of the address
constexpr std::uint8_t kControlHeader = 0x82;    // OR address bits 3..0 shifted into bits 6..3
constexpr std::uint8_t kControlAddressMask = 0x0F;
constexpr int kControlAddressShift = 3;
constexpr std::uint8_t kAddressByteMask = 0xFF;
// The preamble's length byte says how many data bytes follow, so a block goes out in pieces of
// at most this many bytes, each behind a preamble of its own.
constexpr std::uint32_t kMaxBlockPiece = 255;
// The control-byte sequence: these three, then the value, then the closing byte.
constexpr std::uint8_t kControlOpening[] = {0x5A, 0xC3, 0x7E};
constexpr std::uint8_t kControlClosing = 0x00;
// The light show's control pair always goes to this address (header 0x92).
constexpr std::uint8_t kQuietControlAddress = 2;

// Device to host: a command byte and a payload byte, a block's data right behind them.
constexpr std::uint8_t kTransferModeMask = 0xC0;
constexpr std::uint8_t kOutputFromDevice = 0xC0; // both transfer-mode bits set
constexpr std::uint8_t kBlockBit = 0x20;
constexpr std::uint8_t kSingleByteBit = 0x10;
constexpr std::uint8_t kTriggerBit = 0x08;
constexpr std::uint8_t kChannelMask = 0x07;
constexpr std::uint32_t kHeaderSize = 2;

} // namespace protocol
} // namespace corvane
