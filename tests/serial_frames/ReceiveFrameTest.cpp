#include "SerialFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <string>

using TM = TTransmissionMode;
using namespace std::string_literals;

namespace {

// A serial line played from a script on its own clock: chunks arrive at
// given times, then (optionally) noise every ms for ever. Time passes only
// inside WaitForData, so the tests depend on no machine load.
class TScriptedLine : public TSerialInput {
public:
    struct Chunk { int64_t at; std::string bytes; };

    TScriptedLine(std::deque<Chunk> script, std::string noise = "")
        : script_(std::move(script)), noise_(std::move(noise)) {}

    bool WaitForData(int timeoutMs) override
    {
        if (now_ > 3600 * 1000 || ++waits_ > 1000000)
            throw std::runtime_error("the receiver is still waiting after an hour or a million waits");
        if (script_.empty() && !noise_.empty())
            script_.push_back({now_ + 1, noise_});
        if (pending_.empty() && !script_.empty() && (timeoutMs < 0 || script_.front().at <= now_ + timeoutMs)) {
            now_ = std::max(now_, script_.front().at);
            pending_ = script_.front().bytes;
            script_.pop_front();
        } else if (pending_.empty()) {
            now_ += std::max(timeoutMs, 0); // an endless wait on a dead script ends like an abort
        }
        return !pending_.empty();
    }
    std::size_t ReadAvailable(uint8_t* dest, std::size_t n) override
    {
        n = std::min(n, pending_.size());
        std::copy_n(pending_.begin(), n, dest);
        pending_.erase(0, n);
        return n;
    }
    int64_t NowMs() override { return now_; }

private:
    std::deque<Chunk> script_;
    std::string noise_, pending_;
    int64_t now_ = 0, waits_ = 0;
};

TEST(Receive, CollectsOneFrame)
{
    const std::string ascii = ":01030000000AF2\r\n";
    const struct {
        const char* name;
        TM mode;
        std::deque<TScriptedLine::Chunk> script;
        std::string noise; // after the script, every ms
        int firstTimeout;
        std::string expected;
        int64_t latestEnd; // the call has returned by this time of the script
    } rows[] = {
        {"RtuSplitFrame", TM::tmRTU, {{3, "\x01\x03"s}, {10, "\x02\x00"s}, {20, "\x07"s}}, "", 1000,
         "\x01\x03\x02\x00\x07"s, 36},
        {"RtuSilenceEndsFrame", TM::tmRTU, {{0, "AB"}, {17, "CD"}}, "", 1000, "AB", 16},
        {"RtuNothingComes", TM::tmRTU, {}, "", 1000, "", 1000},
        {"RtuWaitsWithoutLimit", TM::tmRTU, {{90000, "AB"}}, "", -1, "AB", 90016},
        {"RtuImmediate", TM::tmRTU, {{0, "AB"}}, "", 0, "", 0},
        {"RtuNeverSilentFillsBuffer", TM::tmRTU, {}, "N", 1000, std::string(256, 'N'), 256},
        {"AsciiSplitFrame", TM::tmASCII, {{0, ":0103"}, {5, "0000000AF2\r"}, {10, "\n"}}, "", 1000, ascii, 10},
        {"AsciiGarbageBeforeColon", TM::tmASCII, {{0, "x\r\n"}, {4, "zz" + ascii}}, "", 1000, ascii, 4},
        {"AsciiDropsAfterLF", TM::tmASCII, {{0, ascii + ":0"}}, "", 1000, ascii, 0},
        {"AsciiRestartsAtColon", TM::tmASCII, {{0, ":01:"}, {5, ascii.substr(1)}}, "", 1000, ascii, 5},
        {"AsciiBadCharAfterCR", TM::tmASCII, {{0, ":01\rX"}, {30, ascii}}, "", 1000, ascii, 30},
        {"AsciiIncomplete", TM::tmASCII, {{0, ":0103"}}, "", 1000, ":0103", 16},
        {"AsciiNoiseCannotHoldFirstWait", TM::tmASCII, {}, "x", 1000, "", 1000},
        {"AsciiRestartsCannotHoldFrame", TM::tmASCII, {}, ":0", 1000, ":0", 1 + 513 * 16},
        {"AsciiNeverSilentFillsBuffer", TM::tmASCII, {{0, ":"}}, "0", 1000, ":" + std::string(512, '0'), 512},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TScriptedLine line(row.script, row.noise);
        const int capacity = SerialLayout(row.mode).RawCapacity;
        std::string raw(static_cast<std::size_t>(capacity), '\0');
        const int n = ReceiveFrame(row.mode, line, reinterpret_cast<uint8_t*>(raw.data()), capacity,
                                   row.firstTimeout, 16);
        EXPECT_EQ(raw.substr(0, static_cast<std::size_t>(n)), row.expected);
        EXPECT_LE(line.NowMs(), row.latestEnd);
    }
}

TEST(Receive, PreprocessingRewritesWithinCapacity)
{
    int calls = 0;
    const TPreprocessIncomingFrame dropFirst = [&](uint8_t* buffer, int, int& size) {
        ++calls;
        std::copy(buffer + 1, buffer + size, buffer);
        --size;
    };
    const TPreprocessIncomingFrame overclaim = [](uint8_t*, int capacity, int& size) { size = capacity + 10; };
    uint8_t raw[8];
    TScriptedLine echo({{0, "EAB"}});
    EXPECT_EQ(ReceiveFrame(TM::tmRTU, echo, raw, 8, 100, 16, dropFirst), 2);
    EXPECT_EQ(raw[0], 'A');
    TScriptedLine silent({});
    EXPECT_EQ(ReceiveFrame(TM::tmRTU, silent, raw, 8, 100, 16, dropFirst), 0);
    EXPECT_EQ(calls, 1);
    TScriptedLine any({{0, "AB"}});
    EXPECT_EQ(ReceiveFrame(TM::tmRTU, any, raw, 8, 100, 16, overclaim), 8);
}

} // namespace
