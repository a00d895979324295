#pragma once
// Freshness of each kept message kind and the format-details lists of the
// sourcetable: which kinds the caster holds for a base, with the interval it
// advertises for each ("1004(1),").

#include <cstdint>
#include <string>

// Advertised interval in seconds for a message last updated ageMs ago:
// 1, 5, 10 or 60.
uint32_t messageRateBucket(int32_t ageMs);

// The freshness check of one kept kind (a MsgKind) of base `base`: present
// while its stamp is at most 24999 ms old; keeps the kind's msgPresent.
bool msgRateOfKind(int base, int kind, uint32_t& interval);

bool msgRate1003(int base, uint32_t& interval);
bool msgRate1004(int base, uint32_t& interval);
bool msgRate1005(int base, uint32_t& interval);
bool msgRate1006(int base, uint32_t& interval);
bool msgRate1007(int base, uint32_t& interval);
bool msgRate1008(int base, uint32_t& interval);
bool msgRate1011(int base, uint32_t& interval);
bool msgRate1012(int base, uint32_t& interval);
bool msgRate1104(int base, uint32_t& interval);
bool msgRate1013(int base, uint32_t& interval);
bool msgRate1032(int base, uint32_t& interval);
bool msgRate1033(int base, uint32_t& interval);
bool msgRate1230(int base, uint32_t& interval);
bool msgRate1074(int base, uint32_t& interval);
bool msgRate1084(int base, uint32_t& interval);
bool msgRate1094(int base, uint32_t& interval);
bool msgRate1124(int base, uint32_t& interval);
bool msgRate1114(int base, uint32_t& interval);
bool msgRate1034(int base, uint32_t& interval);
bool msgRate1035(int base, uint32_t& interval);
bool msgRateCMR0(int base, uint32_t& interval);
bool msgRateCMR1(int base, uint32_t& interval);
bool msgRateCMR2(int base, uint32_t& interval);
bool msgRateCMR3(int base, uint32_t& interval);
// CMR+ frames are decoded, never kept: never present.
bool msgRateCMRplus(int base, uint32_t& interval);
bool msgRateNCT5B(int base, uint32_t& interval);
bool msgRateNCT5C(int base, uint32_t& interval);
bool msgRateNCT5D(int base, uint32_t& interval);
bool msgRateNCT5E(int base, uint32_t& interval);
bool msgRateNCT61(int base, uint32_t& interval);

// Each appends "NAME(interval)," per present kind of its format, in the
// format's fixed order, and answers whether a present kind that counts for
// the base's own output of that format was received from the base.
bool appendRtcmFormatDetails(std::string& list, int base);
bool appendMsmFormatDetails(std::string& list, int base);
bool appendCmrFormatDetails(std::string& list, int base);
bool appendNctFormatDetails(std::string& list, int base);

std::string intToString(int value);
