#include "formats/rtcm3/rtcm3_header.h"

#include <string>

#include "core/base_station.h"
#include "core/records.h"
#include "platform/console.h"

uint32_t rtcm3PayloadLength(const uint8_t* buf, uint32_t position)
{
    return (uint32_t(buf[position + 1] & 0x03) << 8) | buf[position + 2];
}

BitCursor rtcm3PayloadCursor(const uint8_t* buf, uint32_t position)
{
    return bitCursor(position + 3, position + 3 + rtcm3PayloadLength(buf, position));
}

bool acceptStationId(BaseStation& b, uint16_t messageStationId, const char* mismatchText,
                     bool withId)
{
    if (b.stationId == 0) {
        b.stationId = messageStationId;
        return true;
    }
    if (b.stationId == messageStationId) return true;
    b.stationId = 0;
    if (debugPrint) {
        std::string line = mismatchText;
        if (withId) line += std::to_string(messageStationId);
        consoleLine(line);
    }
    return false;
}
