#pragma once
// TEMPORARY: prototypes of decoders and encoders whose headers have not
// reached this tree yet. Each block goes as soon as the format's own header
// is in; nothing here is defined in the caster library.

#include <cstdint>

// formats/cmr/cmr_decode.h
bool decodeCmr(const uint8_t* buffer, uint32_t position, uint32_t length, bool store,
               int baseIndex);
bool decodeCmrPlusStationPage(const uint8_t* buffer, uint32_t position, uint32_t end, bool store,
                              int baseIndex);

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
