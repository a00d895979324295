#pragma once
// A master base's network correction gradients: per satellite, how the
// ionospheric and tropospheric delays change from the master towards its
// auxiliary bases, written into the base's netGradient block of the system.
// Run by the network-correction thread only.
//
// The auxiliary bases are the trusted bases within the network region radius
// of the master (up to nine, nearest first). For each satellite slot the
// master and every auxiliary base that hold a current ionosphere estimate of
// the satellite (first-signal codeDelay not 0, carrier-levelled over at
// least 10 epochs of its arc, entry epoch within 30 s of the master's epoch,
// station coordinates known) give one sample per term:
//   phase ionosphere  Ip = phaseAdvance on the first signal, aux - master
//                          (negative where the ionosphere grows: the phase
//                          is advanced)
//   troposphere       T  = slant tropospheric delay, aux - master: a
//                          standard atmosphere at the station's height and
//                          the broadcast orbit's elevation (the stored
//                          tropoDelay where there is no orbit, as for BeiDou)
//   code ionosphere   Ic = codeDelay on the first signal, aux - master
// (the first-signal values come from the first and second signal's values
// with the system's own frequencies: GPS L1/L2, GLONASS L1/L2 of the
// satellite's channel, BeiDou B1/B2). Each term is fitted by least squares
// as a plane through the master, term = sN x dLat + sE x dLonC, with
//   dLat  = aux latitudeRad - master latitudeRad            (radians)
//   dLonC = (aux longitudeRad - master longitudeRad) x cos(master latitudeRad)
// so sN and sE are slopes in metres per radian. With one auxiliary base, or
// auxiliary bases on one line, the fit gives the least-norm slope along
// that line (nothing across it).
//
// Stored values (array a, entry = satellite slot), in the units the readers
// apply: parts per million of the 6.37e6 m earth radius the readers use, so
// 1 ppm is a slope of 6.37 m per radian. F = 1 + 16 x (0.53 - E/pi)^3 at the
// master's elevation E of the satellite (radians; 0 when unknown, as the
// readers take it too) and K1 the readers'
// first-band factor (GPS and GLONASS 6.37 x 120/154 = 4.963636...,
// BeiDou 6.37 x f(B2)/f(B1) = 4.925688...):
//   0, 1:  -sN(Ip) / (K1 F),  -sE(Ip) / (K1 F)
//   2, 3:  -sN(T) / 6.37,     -sE(T) / 6.37
//   4, 5:  -sN(Ic) / (K1 F),  -sE(Ic) / (K1 F)
// That is, every pair holds the gradient of a correction (the negative of
// the change of that observation), and arrays 0/1 are about the negative of
// 4/5: a receiver at a point dLat, dLonC from
// the master (radians, as above) measures on band b approximately
//   code_b  = master code_b  - (Kb x F x (g4 dLat + g5 dLonC) + 6.37 x (g2 dLat + g3 dLonC))
//   phase_b = master phase_b - (Kb x F x (g0 dLat + g1 dLonC) + 6.37 x (g2 dLat + g3 dLonC))
// with Kb the readers' band factor, K1 x (f1/fb)^2 (the MSM and iMAC shifts
// do exactly this; g0..g5 are the arrays' entries of the satellite): code is
// delayed and phase advanced where the ionosphere grows, both delayed where
// the troposphere grows. The FKP messages 1034/1035 carry the errors'
// gradients, as RTCM defines them, in 0.01 ppm: N0, E0 = -(arrays 2, 3)
// and NI, EI = arrays 0, 1, so that for a rover
//   dr0 = 6.37 (N0 dLat + E0 dLonC), drI = 6.37 F (NI dLat + EI dLonC)
//   (N0..EI in ppm, dr0 and drI in metres),
//   code L1 = master code L1 + dr0 + (120/154) drI,
//   phase L1 = master phase L1 + dr0 - (120/154) drI
// (L2 with 154/120): N0 > 0 where the troposphere grows northwards and
// NI > 0 where the ionosphere does.
//
// A base that sends no GSV sentences has no elevations in its satellite
// entries: the computation fills them in (whole degrees) from the broadcast
// orbits and the base's position, for the master and its auxiliary bases,
// so that the readers' mapping factor is the true one.
//
// Nothing non-finite is stored: a satellite without a usable sample keeps
// its previous values, and so does a term whose fit is not finite.

// False when the master has no auxiliary base (the block keeps its values),
// true otherwise.
bool calcNetCorrGPS(int baseIndex);
bool calcNetCorrGLO(int baseIndex);
bool calcNetCorrBDS(int baseIndex);
