#pragma once
// The caster's own settings: caster.txt line by line, then the fixed values
// of its sourcetable records.

#include <cstdint>
#include <string>

struct CasterSettings {
    std::string operatorName, country, latitude, longitude, webAddress, ipAddress, port,
        fallbackIp, fallbackPort;
    bool outputRtcm32 = false, outputCmr = false, outputBinr = false, outputNct = false,
         streamNearest = false, streamMac = false, streamImac = false, useTropoModel = false,
         streamFkp = false, outputRtcm31 = false, streamSingleBase = false,
         useTcpBases = false, streamVrs = false, nctGlonass = true;
    int32_t networkRegionRadius = 200;
    std::string identifier;
    int32_t casNmea = 0;
    std::string strNetwork, strCountry;
    int32_t strNmea = 0, strSolution = 0;
    std::string strGenerator, strCompression, strAuthentication, strFee;
    int32_t strBitrate = 0;
};

extern CasterSettings casterSettings;

// Empty texts and the values before caster.txt is read.
void initCasterSettings();
