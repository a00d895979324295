#pragma once
// TEMPORARY: prototypes of recognisers, decoders and encoders whose headers
// have not reached this tree yet. Each block goes as soon as the format's
// own header is in; nothing here is defined in the caster library.

#include <cstdint>
#include <ctime>

// formats/frames.h
constexpr int32_t noFrame = 255;
constexpr int32_t codeCmr0 = -1, codeCmr1 = -2, codeCmr2 = -3, codeCmr3 = -4;
constexpr int32_t codeCmrPlus = -5;
constexpr int32_t codeNmeaGga = -10, codeNmeaGsv = -11;
constexpr int32_t codeNct5B = -20, codeNct5C = -21, codeNct5D = -22, codeNct5E = -23,
                  codeNct61 = -24;
int32_t checkRtcm3Frame(const uint8_t* buf, uint32_t position, uint32_t end,
                        uint32_t& frameLength);
int32_t checkCmrId(const uint8_t* buf, uint32_t position, uint32_t end, uint32_t& frameLength);
int32_t checkNctId(const uint8_t* buf, uint32_t end, uint32_t position, uint32_t& frameLength);
bool checkNct5D(const uint8_t* buf, uint32_t position, uint32_t frameLength);

// formats/nmea/nmea.h
int findNmeaSentence(const char* buffer, uint32_t pos, uint32_t length, uint32_t& sentenceLength);
bool parseGsv(const char* buffer, uint32_t pos, uint32_t length, int baseIndex);

// formats/rtcm3/rtcm3_legacy_decode.h
uint32_t decodeRtcm1003(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1004(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1011(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1012(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1104(const uint8_t* buf, uint32_t position, int baseIndex);

// formats/rtcm3/rtcm3_station_decode.h
bool decodeRtcm1005(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1006(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1007(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1008(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1033(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1013(const uint8_t* buf, uint32_t position, int baseIndex);

// formats/rtcm3/rtcm3_msm_decode.h
uint32_t decodeRtcm1074(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1084(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1094(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1124(const uint8_t* buffer, uint32_t frameStart, int base);

// formats/cmr/cmr_decode.h
bool decodeCmr(const uint8_t* buf, uint32_t position, uint32_t length, bool store,
               int baseIndex);
bool decodeCmrPlusStationPage(const uint8_t* buf, uint32_t position, uint32_t end, bool store,
                              int baseIndex);

// formats/nct/nct_decode.h
int decodeNct5B(const uint8_t* buf, uint32_t position, uint32_t length, int baseIndex,
                bool store);
bool decodeNct5C(const uint8_t* buf, uint32_t position, uint32_t length, int baseIndex);
int decodeNct5E(const uint8_t* buf, uint32_t position, uint32_t length, int baseIndex);
void decodeNct61(const uint8_t* buf, uint32_t position, uint32_t length, int baseIndex);

// formats/rtcm3/rtcm3_encode.h
int encodeRtcm1003(int baseIndex, uint8_t* buffer);
int encodeRtcm1004(int baseIndex, uint8_t* buffer);
int encodeRtcm1011(int baseIndex, uint8_t* buffer);
int encodeRtcm1012(int baseIndex, uint8_t* buffer);
int encodeRtcm1005(int baseIndex, uint8_t* buffer);
int encodeRtcm1032(int baseIndex, uint8_t* buffer);
int encodeRtcm1033(int baseIndex, uint8_t* buffer);
int encodeRtcm1008(int baseIndex, uint8_t* buffer);
int encodeRtcm1013(int baseIndex, uint8_t* buffer);

// formats/rtcm3/rtcm3_msm_encode.h
int encodeRtcm1074Base(int baseIndex, uint8_t* buffer);
int encodeRtcm1084Base(int baseIndex, uint8_t* buffer);
int encodeRtcm1124Base(int baseIndex, uint8_t* buffer);

// formats/cmr/cmr_encode.h
int encodeCmr0(uint8_t* buffer, int baseIndex);
int encodeCmr1(uint8_t* buffer, int baseIndex);
int encodeCmr2(uint8_t* buffer, int baseIndex);
int encodeCmr3(uint8_t* buffer, int baseIndex);

// formats/nct/nct_encode.h
int encodeNct5B(uint8_t* buffer, int baseIndex, uint32_t mode);
int encodeNct5C(uint8_t* buffer, int baseIndex, uint32_t mode);
int encodeNct5D(uint8_t* buffer, int baseIndex, time_t now, double a, double b, double c);
int encodeNct5EGps(uint8_t* buffer, int baseIndex);
int encodeNct5EGpsGlo(uint8_t* buffer, int baseIndex);
