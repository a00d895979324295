#include "caster/sourcetable.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "caster/format_details.h"
#include "caster/replies.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

const char* const sourceTableFile = "sourceTable.txt";
const char* const sourceTableTempFile = "sourceTable.txt.tmp";
constexpr int baseSnapshotWaitMs = 100;

// What the build needs of one base, copied under the slot's mutex so that a
// reset running meanwhile cannot free a text while it is being read.
struct BaseSnapshot {
    bool trusted = false;
    bool nctInput = false;
    std::string mountpoint, identifier, network, country;
    int32_t carrier = 0;
    double strLatitude = 0, strLongitude = 0;
    uint32_t gpsTowMs = 1, gloEpochMs = 1, galTowMs = 1, bdsTowMs = 1;
    std::string receiverType, firmwareVersion, receiverSerial, antennaDescriptor,
        antennaSerial;
};

// False when the slot's mutex could not be had: the base is then left out of
// this build and the table is built again on the next turn.
bool takeSnapshot(int index, BaseSnapshot& out)
{
    BaseStation& b = baseStation[index];
    out = BaseSnapshot{};
    if (!b.trusted) return true;
    MutexWait lock(b.mutex, baseSnapshotWaitMs);
    if (!lock.held()) return false;
    out.trusted = b.trusted != 0;
    if (!out.trusted) return true;
    out.nctInput = b.nctInput != 0;
    out.mountpoint = b.mountpoint;
    out.identifier = b.identifier;
    out.network = b.network;
    out.country = b.country;
    out.carrier = b.carrier;
    out.strLatitude = b.strLatitude;
    out.strLongitude = b.strLongitude;
    out.gpsTowMs = b.gpsTowMs;
    out.gloEpochMs = b.gloEpochMs;
    out.galTowMs = b.galTowMs;
    out.bdsTowMs = b.bdsTowMs;
    out.receiverType = b.receiverType;
    out.firmwareVersion = b.firmwareVersion;
    out.receiverSerial = b.receiverSerial;
    out.antennaDescriptor = b.antennaDescriptor;
    out.antennaSerial = b.antennaSerial;
    return true;
}

// Joins the fields with ';' and ends the record with CR LF.
std::string record(const std::vector<std::string>& fields)
{
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ';';
        out += fields[i];
    }
    out += "\r\n";
    return out;
}

bool systemCurrent(uint32_t programEpoch, uint32_t baseEpoch)
{
    if (programEpoch == 0) return false;
    int32_t d = int32_t(programEpoch - baseEpoch);
    return d >= -9 && d <= 9;
}

std::string navSystemText(const BaseSnapshot& b)
{
    std::string nav;
    if (systemCurrent(currentGpsTowMs, b.gpsTowMs)) nav += "GPS";
    if (systemCurrent(currentGloTodMs, b.gloEpochMs)) nav += "+GLO";
    if (systemCurrent(currentGalTowMs, b.galTowMs)) nav += "+GAL";
    if (systemCurrent(currentBdsTowMs, b.bdsTowMs)) nav += "+BDU";
    return nav;
}

std::string receiverDescription(const BaseSnapshot& b)
{
    return b.receiverType + ",VERS" + b.firmwareVersion + ",SN" + b.receiverSerial + "," +
           b.antennaDescriptor + ",SN" + b.antennaSerial;
}

std::string casterRecord(const CasterSettings& s)
{
    auto c = cleanSourceTableField;
    return record({"CAS", c(s.ipAddress), c(s.port), c(s.identifier), casterProductName,
                   intToString(s.casNmea), c(s.country), c(s.latitude), c(s.longitude),
                   c(s.fallbackIp), c(s.fallbackPort), c(s.webAddress)});
}

std::string baseRecord(const CasterSettings& s, const BaseSnapshot& b, const char* digit,
                       const char* format, const std::string& details, const std::string& nav,
                       bool hardware, const char* softwareMisc)
{
    auto c = cleanSourceTableField;
    std::string misc = hardware ? c(receiverDescription(b)) : std::string(softwareMisc);
    return record({"STR", c(b.mountpoint) + digit, c(b.identifier), format, details,
                   intToString(b.carrier), nav, c(b.network), c(b.country),
                   sourceTableDouble(b.strLatitude), sourceTableDouble(b.strLongitude),
                   intToString(s.strNmea), intToString(s.strSolution),
                   hardware ? "hardware" : "software", c(s.strCompression),
                   c(s.strAuthentication), c(s.strFee), intToString(s.strBitrate), misc});
}

using DetailsBuilder = bool (*)(std::string&, int);

// The details list of one format for one base, without its trailing comma;
// an empty list stays an empty field.
std::string detailsList(DetailsBuilder builder, int base, bool& native)
{
    std::string list;
    native = builder(list, base);
    if (!list.empty()) list.pop_back();
    return list;
}

std::string baseRecords(const CasterSettings& s, const BaseSnapshot& b, int index)
{
    std::string out;
    std::string nav = navSystemText(b);
    bool otherFormats = !b.nctInput || s.outputNct;
    bool native = false;

    if (s.outputRtcm31 && otherFormats) {
        std::string details = detailsList(appendRtcmFormatDetails, index, native);
        out += baseRecord(s, b, "0", "RTCM 3.1", details, nav, native, "none");
    }
    if (s.outputBinr)
        out += baseRecord(s, b, "1", "BINR", "69h(1),6Ah(10)", "GPS+GLO", false, "none");
    if (s.outputRtcm32 && otherFormats) {
        std::string details = detailsList(appendMsmFormatDetails, index, native);
        out += baseRecord(s, b, "2", "RTCM 3.2", details, nav, native, "none");
    }
    if (s.outputNct || b.nctInput) {
        std::string details = detailsList(appendNctFormatDetails, index, native);
        out += baseRecord(s, b, "3", "NCT", details, nav, native, "JD ");
    }
    if (s.outputCmr && otherFormats) {
        std::string details = detailsList(appendCmrFormatDetails, index, native);
        out += baseRecord(s, b, "4", "CMR", details, nav, native, "none");
    }
    return out;
}

struct NetworkRecord {
    const char* name;
    const char* identifier;
    const char* format;
    const char* details;
    const char* nav;
    bool solutionOne;   // the fixed "1" instead of the settings' solution
    const char* generator;
    const char* misc;
    int minTrusted;
    bool (*offered)(const CasterSettings&);
};

const NetworkRecord networkRecords[] = {
    {"RTCM31_NEAR", "NEAREST", "RTCM 3.1", "1004(1),1012(1),1104(1),1005(10),1008(10),1013(10)",
     "GPS+GLO", false, "", "automatic single baseline", 1,
     [](const CasterSettings& s) { return s.streamNearest && s.outputRtcm31; }},
    {"BINR_NEAR", "NEAREST", "BINR", "69h(1),6Ah(10)", "GPS+GLO", false, "software",
     "automatic single baseline corrected", 1,
     [](const CasterSettings& s) { return s.streamNearest && s.outputBinr; }},
    {"RTCM32_NEAR", "NEAREST", "RTCM 3.2",
     "1074(1),1084(1),1094(1),1124(1),1032(10),1013(10),1033(10)", "GPS+GLO+GAL+BDU", false, "",
     "automatic single baseline", 1,
     [](const CasterSettings& s) { return s.streamNearest && s.outputRtcm32; }},
    {"JD_NEAR", "NEAREST", "NCT", "5b(1),5e(1),5c(10),5d(10)", "GPS+GLO", true, "",
     "JD automatic single baseline", 1,
     [](const CasterSettings& s) { return s.streamNearest && s.outputNct; }},
    {"CMR_NEAR", "NEAREST", "CMR", "0(1),3(1),1(10),2(10)", "GPS+GLO", false, "",
     "automatic single baseline", 1,
     [](const CasterSettings& s) { return s.streamNearest && s.outputCmr; }},
    {"RTCM31_MAC", "NETWORK_MAC", "RTCM_3.1",
     "1004(1),1012(1),1104(1),1017(1),1039(1),1005(10),1008(10),1013(10),1014(10)", "GPS+GLO",
     true, "software", "network Master-Aux-Concept ", 2,
     [](const CasterSettings& s) { return s.streamMac; }},
    {"RTCM31_iMAC", "NETWORK_iMAC", "RTCM_3.1",
     "1004(1),1012(1),1034(1),1035(1),1005(10),1008(10),1013(10)", "GPS+GLO", true, "software",
     "automatic networked", 2,
     [](const CasterSettings& s) { return s.streamImac && s.outputRtcm31; }},
    {"RTCM32_iMAC", "NETWORK_iMAC", "RTCM_3.2",
     "1074(1),1084(1),1094(1),1124(1),1034(1),1035(1),1013(10),1032(10),1033(10)",
     "GPS+GLO+GAL+BDU", true, "software", "automatic networked", 2,
     [](const CasterSettings& s) { return s.streamImac && s.outputRtcm32; }},
    {"BINR_iMAC", "NETWORK_iMAC", "BINR", "69h(1),6Ah(10)", "GPS+GLO", true, "software",
     "automatic networked", 2,
     [](const CasterSettings& s) { return s.streamImac && s.outputBinr; }},
    {"CMR_iMAC", "NETWORK_iMAC", "CMR", "0(1),3(1),1(10),2(10)", "GPS+GLO", false, "software",
     "automatic network", 2,
     [](const CasterSettings& s) { return s.streamImac && s.outputCmr; }},
    {"RTCM31_FKP", "NETWORK_FKP", "RTCM_3.1",
     "1004(1),1012(1),1034(1),1035(1),1005(10),1008(10),1013(10)", "GPS+GLO", false, "software",
     "automatic FKP network", 2,
     [](const CasterSettings& s) { return s.streamFkp && s.outputRtcm31; }},
    {"RTCM32_FKP", "NETWORK_FKP", "RTCM 3.2",
     "1074(1),1084(1),1094(1),1124(1),1034(1),1035(1),1013(10),1032(10),1033(10)",
     "GPS+GLO+GAL+BDU", false, "software", "automatic FKP network", 2,
     [](const CasterSettings& s) { return s.streamFkp && s.outputRtcm32; }},
    {"RTCM31_ERP", "NETWORK_ERP", "RTCM_3.1",
     "1004(1),1012(1),1034(1),1035(1),1005(10),1008(10),1013(10)", "GPS+GLO", false, "software",
     "extrapolated reference point", 2,
     [](const CasterSettings& s) { return s.streamVrs && s.outputRtcm31; }},
    {"BINR_ERP", "NETWORK_ERP", "BINR", "69h(1),6Ah(10)", "GPS+GLO", true, "software",
     "extrapolated reference point", 2,
     [](const CasterSettings& s) { return s.streamVrs && s.outputBinr; }},
    {"JD_ERP", "NETWORK_ERP", "NCT", "5b(1),5e(1),5c(10),5d(10)", "GPS+GLO", false, "software",
     "JD extrapolated reference point", 2,
     [](const CasterSettings& s) { return s.streamVrs && s.outputNct; }},
    {"CMR_ERP", "NETWORK_ERP", "CMR", "0(1),3(1),1(10),2(10)", "GPS+GLO", false, "software",
     "extrapolated reference point", 2,
     [](const CasterSettings& s) { return s.streamVrs && s.outputCmr; }},
};

std::string networkRecord(const CasterSettings& s, const NetworkRecord& n)
{
    auto c = cleanSourceTableField;
    return record({"STR", n.name, n.identifier, n.format, n.details, "2", n.nav,
                   c(s.strNetwork), c(s.strCountry), "", "", intToString(s.strNmea),
                   n.solutionOne ? "1" : intToString(s.strSolution), n.generator,
                   c(s.strCompression), c(s.strAuthentication), c(s.strFee),
                   intToString(s.strBitrate), n.misc});
}

// Stores the flag under its mutex, trying a little longer than one wait: a
// failed build whose "stale" mark got lost would never be repeated.
bool storeSourceTableCurrent(bool current)
{
    for (int i = 0; i < 10; ++i)
        if (setSourceTableCurrent(current)) return true;
    return false;
}

// Writes the text beside the old file and renames it into place, so that a
// reader never finds half a table. False when any step failed.
bool replaceSourceTableFile(const std::string& text, bool& opened)
{
    std::ofstream file(sourceTableTempFile, std::ios::binary | std::ios::trunc);
    opened = bool(file);
    if (!opened) return false;
    file.write(text.data(), std::streamsize(text.size()));
    file.close();
    if (!file) {
        std::remove(sourceTableTempFile);
        return false;
    }
    if (std::rename(sourceTableTempFile, sourceTableFile) != 0) {
        std::remove(sourceTableTempFile);
        return false;
    }
    return true;
}

}   // namespace

std::string cleanSourceTableField(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || ch == ';') continue;
        out += ch;
    }
    return out;
}

std::string sourceTableDouble(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool buildSourceTable()
{
    // The flag is claimed before the build: a base trusted or closed while
    // the build runs clears it again and so gets its own build next turn.
    bool claimed = setSourceTableCurrent(true);

    const CasterSettings& s = casterSettings;
    std::string casterText = casterRecord(s);

    bool complete = true;
    BaseSnapshot bases[maxBases];
    int trustedCount = 0;
    for (int i = 0; i < maxBases; ++i) {
        if (!takeSnapshot(i, bases[i])) complete = false;
        if (bases[i].trusted) ++trustedCount;
    }

    std::string baseText;
    for (int i = 0; i < maxBases; ++i) {
        if (!bases[i].trusted || !s.streamSingleBase) continue;
        baseText += baseRecords(s, bases[i], i);
    }

    std::string networkText;
    if (trustedCount >= 1 && s.streamNearest) consoleLine("nearstream = true");
    for (const NetworkRecord& n : networkRecords)
        if (trustedCount >= n.minTrusted && n.offered(s)) networkText += networkRecord(s, n);

    size_t length = casterText.size() + networkText.size() + baseText.size();
    std::string text = "SOURCETABLE 200 OK\r\n";
    text += "Server: ";
    text += casterProductName;
    text += "/1.0\r\n";
    text += "Date: " + getHttpDateString();
    text += "Content-Type: text/plain\r\n";
    text += "Content-Length: " + std::to_string(length) + "\r\n";
    text += "\r\n";
    text += casterText;
    text += networkText;
    text += baseText;
    text += "ENDSOURCETABLE\r\n";

    bool opened = false;
    if (!replaceSourceTableFile(text, opened)) {
        consoleLine(opened ? "could not write sourceTable.txt file"
                           : "could not create sourceTable.txt file");
        if (claimed) storeSourceTableCurrent(false);
        return false;
    }
    if (!complete && claimed) storeSourceTableCurrent(false);
    consolePrintf("sourceTable.txt written. %d bytes\n", int(length));
    return true;
}
