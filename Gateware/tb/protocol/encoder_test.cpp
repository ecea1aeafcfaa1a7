// The device encoder alone: eight channels asking at random, each grant checked against a
// round-robin reference, and every byte out checked against the messages granted, in grant order.
#include "Vcv_device_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

namespace cvtb {
namespace {

struct Message {
    unsigned kind; // 0 trigger, 1 single byte, 2 block
    std::uint8_t byte;
    std::vector<std::uint8_t> data;
};

struct EncoderCase {
    const char* name;
    double ask;      // chance per clock that an idle channel starts asking
    double datGap;   // chance that a block's data byte is not ready on a clock
    double outPause; // chance that the output is not taken on a clock
    unsigned messages;
};
void PrintTo(const EncoderCase& c, std::ostream* out) { *out << c.name; }

const EncoderCase kCases[] = {
    {"all_channels_always_asking", 1.0, 0.0, 0.0, 40000},
    {"all_asking_slow_output", 1.0, 0.3, 0.7, 20000},
    {"channels_asking_at_random", 0.05, 0.2, 0.2, 40000},
};

class Encoder : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(Encoder, RoundRobinWholeMessagesExactBytes) {
    const EncoderCase& c = GetParam();
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto top = std::make_unique<Vcv_device_encoder>();

    std::array<bool, 8> asking{};
    std::array<Message, 8> request{};
    std::vector<std::uint8_t> expected, got;
    std::array<unsigned, 8> waited{}; // messages of other channels sent while this one asked
    unsigned worstWait = 0;
    unsigned first = 0; // the reference arbiter's pointer
    int inFlight = -1;  // the channel whose message is on its way
    Message flying;     // and that message (its channel may ask again meanwhile)
    std::size_t dataPos = 0, dataLeft = 0;
    unsigned granted = 0;
    std::vector<unsigned> order;

    auto newMessage = [&]() {
        Message m{static_cast<unsigned>(rng() % 3), static_cast<std::uint8_t>(rng()), {}};
        if (m.kind == 2) {
            m.byte = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 6);
            for (unsigned i = 0; i < m.byte; ++i)
                m.data.push_back(static_cast<std::uint8_t>(rng()));
        }
        return m;
    };

    top->rst = 1;
    for (int i = 0; i < 4; ++i) {
        top->clk = 0;
        top->eval();
        top->clk = 1;
        top->eval();
    }
    top->rst = 0;
    std::uint64_t cycles = 0;
    while (granted < c.messages || inFlight >= 0 || got.size() < expected.size()) {
        ASSERT_LT(++cycles, 50ull * c.messages + 100000) << "the encoder stopped";
        for (unsigned ch = 0; ch < 8; ++ch) {
            if (!asking[ch] && granted < c.messages && chance(rng) < c.ask) {
                asking[ch] = true;
                request[ch] = newMessage();
            }
        }
        std::uint8_t valid = 0;
        for (unsigned ch = 0; ch < 8; ++ch) {
            valid |= static_cast<std::uint8_t>(asking[ch] << ch);
            top->req_kind = (top->req_kind & ~(3u << (2 * ch))) | (request[ch].kind << (2 * ch));
            top->req_byte = (top->req_byte & ~(0xFFull << (8 * ch))) | (std::uint64_t{request[ch].byte} << (8 * ch));
        }
        top->req_valid = valid;
        top->dat_valid = 0;
        if (inFlight >= 0 && dataLeft > 0 && chance(rng) >= c.datGap) {
            top->dat_valid = static_cast<std::uint8_t>(1u << inFlight);
            top->dat_data = std::uint64_t{flying.data[dataPos]} << (8 * inFlight);
        }
        top->out_ready = chance(rng) >= c.outPause;
        top->clk = 0;
        top->eval();

        // A message is done once the encoder has taken its last byte and left it (busy falls).
        if (inFlight >= 0 && dataLeft == 0 && !top->busy) {
            first = (static_cast<unsigned>(inFlight) + 1) % 8;
            inFlight = -1;
        }
        const std::uint8_t grants = top->req_ready;
        if (grants != 0) {
            unsigned expect = first;
            while (!((valid >> expect) & 1))
                expect = (expect + 1) % 8;
            ASSERT_EQ(grants, 1u << expect)
                << "grant " << granted << " (asking " << int{valid} << ", next in turn " << first << ")";
            ASSERT_LT(inFlight, 0) << "a grant while a message is on its way";
            const Message m = request[expect];
            expected.push_back(static_cast<std::uint8_t>((m.kind == 0 ? 0xC8 : m.kind == 1 ? 0xD0 : 0xE0) | expect));
            expected.push_back(m.byte);
            for (unsigned ch = 0; ch < 8; ++ch) {
                if (asking[ch] && ch != expect) worstWait = std::max(worstWait, ++waited[ch]);
            }
            waited[expect] = 0;
            asking[expect] = false;
            inFlight = static_cast<int>(expect);
            flying = m;
            dataPos = 0;
            dataLeft = m.kind == 2 ? m.byte : 0;
            order.push_back(expect);
            ++granted;
        } else if (top->dat_valid & top->dat_ready) {
            expected.push_back(flying.data[dataPos]);
            ++dataPos;
            --dataLeft;
        }
        if (top->out_valid && top->out_ready) got.push_back(top->out_data);
        top->clk = 1;
        top->eval();
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], expected[i]) << "byte " << i;
    }
    EXPECT_LE(worstWait, 7u) << "a channel waited for more than one message of each other channel";
    if (c.ask == 1.0) {
        for (std::size_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(order[i], i % 8) << "grant " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encoder, Encoder, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace cvtb
