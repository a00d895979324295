#include "caster/erp_sender.h"

#include <span>

#include "caster/stream_sender.h"
#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "platform/clock.h"

namespace {

struct ErpSend {
    ErpMsgKind kind;
    uint32_t Client::*lastSent;
    const char* errorText;
};

// Per stream format: observations first, then the station messages.
constexpr ErpSend rtcm31Kinds[] = {
    {erpKind1004, &Client::lastSent1004, "error sending 1004 erp.station out "},
    {erpKind1012, &Client::lastSent1012, "error sending 1012 erp.station out "},
    {erpKind1005, &Client::lastSentErp1005, "error sending 1005 erp.station out "},
    {erpKind1008, &Client::lastSentErp1008, "error sending 1008 erp.station out "},
};
constexpr ErpSend binrKinds[] = {
    {erpKindBinr69Gps, &Client::lastSentBinr69Gps, "error sending BINR 69h GPS erp out "},
    {erpKindBinr69Glo, &Client::lastSentBinr69Glo, "error sending BINR 69h GLO erp out "},
    {erpKindBinr6A, &Client::lastSentBinr6A, "error sending BINR 6Ah erp out "},
};
constexpr ErpSend msmKinds[] = {
    {erpKind1074, &Client::lastSent1074, "error sending 1074 erp out "},
    {erpKind1084, &Client::lastSent1084, "error sending 1084 erp out "},
    {erpKind1005, &Client::lastSentErp1005, "error sending 1005 erp out "},
    {erpKind1033, &Client::lastSent1033, "error sending 1033 erp out "},
};
constexpr ErpSend nctKinds[] = {
    {erpKindNct5B, &Client::lastSentNct5B, "error sending NCT 5B erp out "},
    {erpKindNct5E, &Client::lastSentNct5E, "error sending NCT 5E erp out "},
    {erpKindNct5C, &Client::lastSentNct5C, "error sending NCT 5C erp out "},
};
constexpr ErpSend cmrKinds[] = {
    {erpKindCmr0, &Client::lastSentCmr0, "error sending CMR0 erp out "},
    {erpKindCmr3, &Client::lastSentCmr3, "error sending CMR3 erp out "},
    {erpKindCmr1, &Client::lastSentCmr1, "error sending CMR1 erp out "},
};

std::span<const ErpSend> kindsOf(int streamCode)
{
    switch (streamCode) {
    case 50: return rtcm31Kinds;
    case 51: return binrKinds;
    case 52: return msmKinds;
    case 53: return nctKinds;
    case 54: return cmrKinds;
    default: return {};
    }
}

}   // namespace

bool sendErpData(int clientIndex)
{
    return sendErpDataAt(clientIndex, clockMs());
}

bool sendErpDataAt(int clientIndex, uint32_t nowMs)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return false;
    Client& c = client[clientIndex];
    const int index = c.erpIndex;
    if (index < 0 || index >= maxErpRecords) return false;
    ErpRecord& r = erp[index];
    if (!r.inUse.load(std::memory_order_acquire)) return false;
    const time_t now = wallTime();
    uint8_t frame[maxFrameBytes];
    for (const ErpSend& k : kindsOf(c.streamCode)) {
        uint32_t length = 0, stamp = 0;
        if (!copyErpMessage(r, k.kind, frame, length, stamp, c.*k.lastSent)) continue;
        if (sendClientFrame(clientIndex, frame, length, &(c.*k.lastSent), stamp, k.errorText,
                            nowMs) != FrameSend::sent)
            return false;
        r.lastUsedTime = now;
    }
    return true;
}
