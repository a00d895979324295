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

// formats/cmr/cmr_encode.h
int encodeCmr0(uint8_t* buffer, int baseIndex);
int encodeCmr1(uint8_t* buffer, int baseIndex);
int encodeCmr2(uint8_t* buffer, int baseIndex);
int encodeCmr3(uint8_t* buffer, int baseIndex);
