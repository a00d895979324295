// The descriptor texts of a base are copied by the sourcetable build under
// the slot's mutex while the base data thread decodes; the decoder must
// never reassign a text while another thread holds that mutex.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/clock.h"
#include "rtcm3_test_frames.h"

namespace {

std::vector<uint8_t> frame1033(const char* antenna, const char* receiver)
{
    PayloadWriter w;
    w.u(12, 1033).u(12, 7);
    w.byte(uint8_t(strlen(antenna))).text(antenna).byte(0);
    w.byte(1).text("9");
    w.byte(uint8_t(strlen(receiver))).text(receiver);
    w.byte(3).text("1.0");
    w.byte(2).text("42");
    return rtcmFrame(w);
}

}   // namespace

TEST(DescriptorLock, TextsAreNotReassignedWhileAnotherThreadHoldsTheSlot)
{
    initGlobals();
    BaseStation& b = baseStation[3];
    const auto first = frame1033("LEIAR25.R4      LEIT", "SEPT POLARX5 LONG NAME");
    ASSERT_TRUE(decodeRtcm1033(first.data(), 0, 3));
    EXPECT_EQ(b.receiverType, "SEPT POLARX5 LONG NAME");

    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        MutexWait lock(b.mutex, 1000);
        holding = lock.held();
        while (!release) sleepMs(1);
    });
    while (!holding) sleepMs(1);

    const auto second = frame1033("TRM59800.00     NONE", "TRIMBLE NETR9 ANOTHER NAME");
    EXPECT_FALSE(decodeRtcm1033(second.data(), 0, 3));
    EXPECT_EQ(b.antennaDescriptor, "LEIAR25.R4      LEIT");
    EXPECT_EQ(b.receiverType, "SEPT POLARX5 LONG NAME");

    release = true;
    holder.join();
    // The base's next message is taken once the slot is free again.
    ASSERT_TRUE(decodeRtcm1033(second.data(), 0, 3));
    EXPECT_EQ(b.antennaDescriptor, "TRM59800.00     NONE");
    EXPECT_EQ(b.receiverType, "TRIMBLE NETR9 ANOTHER NAME");
    EXPECT_EQ(b.descriptorLength[2], b.receiverType.size());
}
