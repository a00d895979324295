// The iMAC streams of the stream sender: 200 ms after the master's new
// epoch each rover gets the frames built for it, in its format and in the
// order of its stream, with the console lines of each frame; a failed send
// names the frame.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caster/stream_sender.h"
#include "core/caster_settings.h"
#include "rover_test_support.h"

using namespace rovertest;

namespace {

constexpr uint32_t tow = 423600000, tod = 3600000;

// A master at (47, 15) with GPS satellites 5 and 12 and GLONASS slot 3,
// and its kept 1004 and 1012 (their stamps mark the epochs).
void masterEpoch()
{
    makeTrustedBase(0);
    BaseStation& b = baseStation[0];
    b.stationId = 203;
    b.latitude = 47.0;
    b.longitude = 15.0;
    b.latitudeRad = 47.0 * 3.1415926535898 / 180;
    b.longitudeRad = 15.0 * 3.1415926535898 / 180;
    b.gpsTowMs = tow;
    b.gloEpochMs = tod;
    for (int i : {5, 12}) {
        GpsSatObs& s = b.gpsSat[i];
        s.epochMs = tow;
        s.codeRange[0] = 21000000.0 + i;
        s.codeRange[1] = 21000002.0 + i;
        s.phaseRange[0] = 21000001.0 + i;
        s.phaseRange[1] = 21000003.0 + i;
        s.codeIndicator[1] = 1;
        s.codeDelay[0] = s.codeDelayF[0] = 2.0f;
        s.codeDelayEma[0] = 2.0f;
    }
    GloSatObs& g = b.gloSat[3];
    g.epochMs = tod;
    g.freqChannel = 9;
    g.codeRange[0] = 20000000.0;
    g.codeRange[1] = 20000002.0;
    g.phaseRange[0] = 20000001.0;
    g.phaseRange[1] = 20000003.0;
    keep(0, kind1004, rtcmFrame(1004, 40), 500);
    keep(0, kind1012, rtcmFrame(1012, 40), 500);
}

// Frames of any of the formats, by their framing alone: RTCM 3 (D3), NCT
// (02 99 66), CMR (02 00 93), BINR (10 id ... 10 03, doubled DLEs).
std::vector<std::string> frameNames(const std::vector<uint8_t>& s)
{
    std::vector<std::string> names;
    size_t p = 0;
    while (p < s.size()) {
        if (s[p] == 0xD3 && p + 6 <= s.size()) {
            size_t n = (size_t(s[p + 1] & 3) << 8 | s[p + 2]) + 6;
            if (p + n > s.size() || !checkCrc24q(&s[p], n)) break;
            names.push_back(std::to_string((s[p + 3] << 4) | (s[p + 4] >> 4)));
            p += n;
        } else if (s[p] == 0x02 && p + 6 <= s.size() && s[p + 1] == 0x99 && s[p + 2] == 0x66) {
            size_t n = size_t(s[p + 4] | s[p + 5] << 8) + 4;
            if (p + n > s.size() || s[p + n - 1] != 0x03) break;
            char id[8];
            std::snprintf(id, sizeof id, "NCT%02X", s[p + 3]);
            names.push_back(id);
            p += n;
        } else if (s[p] == 0x02 && p + 4 <= s.size() && s[p + 2] == 0x93) {
            size_t n = size_t(s[p + 3]) + 6;
            if (p + n > s.size() || s[p + n - 1] != 0x03) break;
            names.push_back("CMR" + std::to_string((s[p + 5] >> 5) & 7));
            p += n;
        } else if (s[p] == 0x10 && p + 2 < s.size()) {
            size_t q = p + 2;
            while (q + 1 < s.size() && !(s[q] == 0x10 && s[q + 1] == 0x03)) q += s[q] == 0x10 ? 2 : 1;
            if (q + 1 >= s.size()) break;
            names.push_back("BINR" + std::to_string(s[p + 1] - 0x60 + 60) + "/" + std::to_string(s[p + 2]));
            p = q + 2;
        } else {
            break;
        }
    }
    EXPECT_EQ(p, s.size()) << "bytes that are no whole frame";
    return names;
}

class ImacStreams : public RoverTest {};

}   // namespace

TEST_F(ImacStreams, EachFormatGetsItsFramesAfter200ms)
{
    masterEpoch();
    casterSettings.nctGlonass = false;
    struct Case {
        int code;
        std::vector<std::string> frames;
        std::vector<std::string> lines;
    } cases[] = {
        {30, {"1004", "1012"}, {}},
        {31, {"BINR69/1", "BINR69/2"}, {}},
        {32, {"1074", "1084"}, {"sending 1074 iMAC", "sending 1084 iMAC"}},
        {33, {"NCT5B", "NCT5E"}, {"sending NCT5B iMAC", "sending NCT5E gps iMAC"}},
        {34, {"CMR0", "CMR3"}, {"sending CMR0 iMAC", "sending CMR3 iMAC"}},
    };
    int slot = 10;
    for (const Case& k : cases) {
        SocketPair p = pair();
        attachRover(slot, p.caster, k.code, 0);
        Client& c = client[slot];
        c.latitude = 47.1;
        c.longitude = 15.1;
        // Station group at once, the network frames only 200 ms after the
        // epoch was seen.
        EXPECT_TRUE(sendBaseDataAt(slot, 1000));
        drain(p.rover);
        EXPECT_TRUE(sendBaseDataAt(slot, 1199));
        EXPECT_TRUE(drain(p.rover).empty()) << k.code;
        takeConsole();
        EXPECT_TRUE(sendBaseDataAt(slot, 1201));
        std::vector<uint8_t> got = drain(p.rover);
        EXPECT_EQ(frameNames(got), k.frames) << k.code;
        std::string log = takeConsole();
        size_t at = 0;
        for (const std::string& line : k.lines) {
            size_t found = log.find(line + "\n", at);
            EXPECT_NE(found, std::string::npos) << k.code << ": " << line << " in\n" << log;
            at = found == std::string::npos ? at : found + line.size();
        }
        // Once per epoch.
        EXPECT_TRUE(sendBaseDataAt(slot, 1500));
        EXPECT_TRUE(drain(p.rover).empty()) << k.code;
        ++slot;
    }

    // The dual NCT layout when the settings ask for GLONASS in NCT.
    casterSettings.nctGlonass = true;
    SocketPair p = pair();
    attachRover(slot, p.caster, 33, 0);
    EXPECT_TRUE(sendBaseDataAt(slot, 1000));
    drain(p.rover);
    takeConsole();
    EXPECT_TRUE(sendBaseDataAt(slot, 1201));
    EXPECT_EQ(frameNames(drain(p.rover)), (std::vector<std::string>{"NCT5B", "NCT5E"}));
    EXPECT_NE(takeConsole().find("sending NCT5E dual iMAC\n"), std::string::npos);
}

TEST_F(ImacStreams, AFailedSendNamesTheFrameAndClosesTheRover)
{
    masterEpoch();
    SocketPair p = pair();
    attachRover(10, p.caster, 30, 0);
    EXPECT_TRUE(sendBaseDataAt(10, 1000));
    drain(p.rover);
    hangUp(p.rover);
    takeConsole();
    EXPECT_FALSE(sendBaseDataAt(10, 1201));
    std::string log = takeConsole();
    EXPECT_NE(log.find("error sending 1004iMAC out "), std::string::npos) << log;
    EXPECT_FALSE(client[10].active);
}
