#pragma once
// The messages of a synthetic reference station. The record's synthesised
// epoch is written into the synthetic base record (with the master's
// descriptors and signal choices and the node's position), and the per-base
// encoders build each format from it, as they would for a base. Each frame
// is published in the record under its kind's event with the stamp `nowMs`.
// Network-correction thread only.

#include <cstdint>

// Observations of the GPS epoch: 1004, 1074, CMR type 0, NCT 5B and the
// GPS 5E, BINR 69h GPS.
void buildErpGpsMessages(int erpIndex, uint32_t nowMs);
// Observations of the GLONASS epoch: 1012, 1084, CMR type 3, BINR 69h
// GLONASS, and the GPS + GLONASS 5E when NCT carries GLONASS.
void buildErpGloMessages(int erpIndex, uint32_t nowMs);
// Station messages at the node: 1005, 1008, 1033, CMR type 1, NCT 5C, BINR 6Ah.
void buildErpStationMessages(int erpIndex, uint32_t nowMs);

// Writes the record's station and its latest synthesised epochs into the
// synthetic base record (exposed for tests and the benchmark).
void fillSyntheticBase(int erpIndex);
