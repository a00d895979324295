#include "caster/format_details.h"

#include <iterator>
#include <mutex>

#include "core/base_station.h"
#include "platform/clock.h"

namespace {
constexpr uint32_t presentWindowMs = 24999;

struct DetailsEntry {
    const char* text;   // "1004(" and so on
    int kind;
    bool countsAsNative;
};

bool appendDetails(std::string& list, int base, const DetailsEntry* entries, int count)
{
    if (base < 0 || base >= maxBases) return false;
    bool native = false;
    for (int i = 0; i < count; ++i) {
        uint32_t interval = 0;
        if (!msgRateOfKind(base, entries[i].kind, interval)) continue;
        list += entries[i].text;
        list += intToString(int(interval));
        list += "),";
        if (entries[i].countsAsNative) {
            KeptMessage& m = baseStation[base].msg[entries[i].kind];
            std::lock_guard<std::mutex> g(m.frameLock);
            if (m.msgNative == 1) native = true;
        }
    }
    return native;
}
}

uint32_t messageRateBucket(int32_t ageMs)
{
    int64_t age = ageMs < 0 ? -int64_t(ageMs) : int64_t(ageMs);
    int64_t k = (age + 999) / 1000;   // whole seconds, rounded up
    if (k > 14) return 60;
    if (k >= 7) return 10;
    if (k >= 2) return 5;
    return 1;
}

bool msgRateOfKind(int base, int kind, uint32_t& interval)
{
    interval = 0;
    if (base < 0 || base >= maxBases || kind < 0 || kind >= msgKindCount) return false;
    KeptMessage& m = baseStation[base].msg[kind];
    std::lock_guard<std::mutex> g(m.frameLock);
    // The short way round the 32-bit clock: a stamp a little ahead of "now"
    // (taken by another thread just after it) counts as fresh, not ancient.
    uint32_t age = clockDiff(clockMs(), m.msgStamp);
    if (age > presentWindowMs) {
        m.msgPresent = 0;
        return false;
    }
    interval = messageRateBucket(int32_t(age));
    m.msgPresent = 1;
    return true;
}

bool msgRate1003(int b, uint32_t& i) { return msgRateOfKind(b, kind1003, i); }
bool msgRate1004(int b, uint32_t& i) { return msgRateOfKind(b, kind1004, i); }
bool msgRate1005(int b, uint32_t& i) { return msgRateOfKind(b, kind1005, i); }
bool msgRate1006(int b, uint32_t& i) { return msgRateOfKind(b, kind1006, i); }
bool msgRate1007(int b, uint32_t& i) { return msgRateOfKind(b, kind1007, i); }
bool msgRate1008(int b, uint32_t& i) { return msgRateOfKind(b, kind1008, i); }
bool msgRate1011(int b, uint32_t& i) { return msgRateOfKind(b, kind1011, i); }
bool msgRate1012(int b, uint32_t& i) { return msgRateOfKind(b, kind1012, i); }
bool msgRate1104(int b, uint32_t& i) { return msgRateOfKind(b, kind1104, i); }
bool msgRate1013(int b, uint32_t& i) { return msgRateOfKind(b, kind1013, i); }
bool msgRate1032(int b, uint32_t& i) { return msgRateOfKind(b, kind1032, i); }
bool msgRate1033(int b, uint32_t& i) { return msgRateOfKind(b, kind1033, i); }
bool msgRate1230(int b, uint32_t& i) { return msgRateOfKind(b, kind1230, i); }
bool msgRate1074(int b, uint32_t& i) { return msgRateOfKind(b, kind1074, i); }
bool msgRate1084(int b, uint32_t& i) { return msgRateOfKind(b, kind1084, i); }
bool msgRate1094(int b, uint32_t& i) { return msgRateOfKind(b, kind1094, i); }
bool msgRate1124(int b, uint32_t& i) { return msgRateOfKind(b, kind1124, i); }
bool msgRate1114(int b, uint32_t& i) { return msgRateOfKind(b, kind1114, i); }
bool msgRate1034(int b, uint32_t& i) { return msgRateOfKind(b, kind1034, i); }
bool msgRate1035(int b, uint32_t& i) { return msgRateOfKind(b, kind1035, i); }
bool msgRateCMR0(int b, uint32_t& i) { return msgRateOfKind(b, kindCmr0, i); }
bool msgRateCMR1(int b, uint32_t& i) { return msgRateOfKind(b, kindCmr1, i); }
bool msgRateCMR2(int b, uint32_t& i) { return msgRateOfKind(b, kindCmr2, i); }
bool msgRateCMR3(int b, uint32_t& i) { return msgRateOfKind(b, kindCmr3, i); }
bool msgRateNCT5B(int b, uint32_t& i) { return msgRateOfKind(b, kindNct5B, i); }
bool msgRateNCT5C(int b, uint32_t& i) { return msgRateOfKind(b, kindNct5C, i); }
bool msgRateNCT5D(int b, uint32_t& i) { return msgRateOfKind(b, kindNct5D, i); }
bool msgRateNCT5E(int b, uint32_t& i) { return msgRateOfKind(b, kindNct5E, i); }
bool msgRateNCT61(int b, uint32_t& i) { return msgRateOfKind(b, kindNct61, i); }

bool msgRateCMRplus(int, uint32_t& interval)
{
    interval = 0;
    return false;
}

bool appendRtcmFormatDetails(std::string& list, int base)
{
    static const DetailsEntry entries[] = {
        {"1003(", kind1003, true}, {"1004(", kind1004, true}, {"1005(", kind1005, true},
        {"1006(", kind1006, true}, {"1007(", kind1007, true}, {"1008(", kind1008, true},
        {"1011(", kind1011, false}, {"1012(", kind1012, true}, {"1104(", kind1104, true},
        {"1013(", kind1013, false}, {"1032(", kind1032, false}, {"1033(", kind1033, false},
        {"1230(", kind1230, false}};
    return appendDetails(list, base, entries, int(std::size(entries)));
}

bool appendMsmFormatDetails(std::string& list, int base)
{
    static const DetailsEntry entries[] = {
        {"1074(", kind1074, true}, {"1084(", kind1084, true}, {"1094(", kind1094, true},
        {"1124(", kind1124, true}, {"1114(", kind1114, true}, {"1013(", kind1013, false},
        {"1032(", kind1032, false}, {"1033(", kind1033, false}, {"1230(", kind1230, false}};
    return appendDetails(list, base, entries, int(std::size(entries)));
}

bool appendCmrFormatDetails(std::string& list, int base)
{
    // CMR+ is decoded only and never listed.
    static const DetailsEntry entries[] = {{"CMR0(", kindCmr0, true},
                                           {"CMR1(", kindCmr1, true},
                                           {"CMR2(", kindCmr2, true},
                                           {"CMR3(", kindCmr3, false}};
    return appendDetails(list, base, entries, int(std::size(entries)));
}

bool appendNctFormatDetails(std::string& list, int base)
{
    static const DetailsEntry entries[] = {{"5B(", kindNct5B, true}, {"5C(", kindNct5C, true},
                                           {"5D(", kindNct5D, true}, {"5E(", kindNct5E, true},
                                           {"61(", kindNct61, false}};
    return appendDetails(list, base, entries, int(std::size(entries)));
}

std::string intToString(int value)
{
    return std::to_string(value);
}
