#pragma once
// The observation messages of one iMAC rover: the master base's last epoch
// with every satellite's code and phase moved from the master's position to
// the rover's GGA position by the master's network gradients, in the
// rover's format. Each builder writes one whole frame into `buffer` and
// returns its length; 0 when the client has no master base or the master's
// record could not be read in one piece (it was being rewritten throughout).
//
// The builders read the master's record as it stood after one decode (a
// consistent copy) and write nothing in it. Run on the rover streaming
// thread only: the CMR carrier-scale calibration keeps its factors in a
// table of that thread's own.

#include <cstdint>

// RTCM 3 legacy observations (buffer: 1029 bytes). The header counts the
// blocks written; the synchronous flag says whether another system's
// observations of the epoch follow.
int encodeRtcm1004Imac(int clientIndex, uint8_t* buffer);
int encodeRtcm1012Imac(int clientIndex, uint8_t* buffer);
int encodeRtcm1003Imac(int clientIndex, uint8_t* buffer);
int encodeRtcm1011Imac(int clientIndex, uint8_t* buffer);

// RTCM 3.2 MSM4 BeiDou (buffer: 1029 bytes). An epoch of more than 64
// cells goes as several messages: `part` selects one, `partCount` gets how
// many there are.
int encodeRtcm1124Imac(int clientIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);

// NCT 5E (buffer: 1029 bytes): GPS only, or GPS and GLONASS.
int encodeNct5EGpsImac(uint8_t* buffer, int clientIndex);
int encodeNct5EGpsGloImac(uint8_t* buffer, int clientIndex);

// CMR types 0 (GPS) and 3 (GLONASS) (buffer: 1000 bytes). Type 0 first
// calibrates the carrier scale of each satellite the master delivered as
// CMR in this epoch, with its console lines.
int encodeCmr0Imac(uint8_t* buffer, int clientIndex);
int encodeCmr3Imac(uint8_t* buffer, int clientIndex);

// The carrier-scale factors (metres per carrier unit) encodeCmr0Imac uses
// for a master's GPS entry, 0.000743709 and 0.000953371 until calibrated.
void cmrCarrierScaleOf(int baseIndex, int entry, double& l1, double& l2);
