// The sourcetable from what bases send: their "STR:" descriptions and their
// 1033 receiver and antenna strings are the peers' own text, and none of it
// may add a field or a line to the table or put a control byte in it.
//
// Input: text pieces separated by '\n', used in order: for each of two
// bases its mountpoint, identifier, network, country, latitude and
// longitude texts and the payload of a 1033 frame (a CRC is added); byte 0
// of the input also switches the settings that add the table's records.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "base_record_checks.h"
#include "caster/sourcetable.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/console.h"
#include "text_file_checks.h"

namespace {

const FuzzDirectory directory("/tmp/fuzz-sourcetable-XXXXXX");

void prepare()
{
    initGlobals();
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InFuzzDirectory inDirectory(directory);
    static bool prepared = (prepare(), true);
    (void)prepared;
    if (size < 1 || size > 4096) return 0;
    std::vector<std::string> pieces;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    while (pieces.size() < 14) {
        size_t end = text.find('\n', start);
        pieces.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    pieces.resize(14);

    CasterSettings& s = casterSettings;
    s.streamSingleBase = data[0] & 1;
    s.streamNearest = data[0] & 2;
    s.outputRtcm32 = data[0] & 4;
    s.outputNct = data[0] & 8;
    s.outputCmr = data[0] & 16;
    s.outputBinr = data[0] & 32;
    s.streamImac = s.streamMac = data[0] & 64;
    s.streamFkp = s.streamVrs = data[0] & 128;

    consoleCaptureStart();
    for (int k = 0; k < 2; ++k) {
        BaseStation& b = baseStation[k * 3];
        const std::string* p = &pieces[size_t(k) * 7];
        b.connected = 1;
        b.trusted = 1;
        b.mountpoint = p[0];
        b.identifier = p[1];
        b.network = p[2];
        b.country = p[3];
        b.strLatitude = std::strtod(p[4].c_str(), nullptr);
        b.strLongitude = std::strtod(p[5].c_str(), nullptr);
        if (!p[6].empty() && p[6].size() <= 1023) {
            auto frame = wrapRtcm3Payload(reinterpret_cast<const uint8_t*>(p[6].data()),
                                          uint32_t(p[6].size()));
            decodeRtcm1033(frame.get(), 0, k * 3);
        }
    }
    if (!buildSourceTable()) std::abort();
    consoleCaptureStop();
    checkSourceTableText(readWholeFile("sourceTable.txt"));
    return 0;
}
