#pragma once
// Values at a rover's (or a synthetic station's) position interpolated from
// the values at up to four bases, in the latitude/longitude plane with
// great-circle weights. Callers pass the master base as the first station.

#include <cstdint>

// Value at T on the line through P1 and P2, weighted by the great-circle
// distance from P1.
double interpolateByDistance(double lat1, double lon1, double value1, double lat2, double lon2,
                             double value2, double latT, double lonT);

double interpolate2Bases(double lat0, double lon0, double lat1, double lon1, double latR,
                         double lonR, double value0, double value1);

double interpolate3Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double latR, double lonR, double value0, double value1,
                         double value2);

double interpolate4Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double lat3, double lon3, double latR, double lonR,
                         double value0, double value1, double value2, double value3);

// Clears the use flag of each auxiliary base of the rover that is absent,
// off line, or in the quadrant around the master diagonally opposite the
// rover. The caller sets the three flags to 1 first.
void checkAuxBaseQuadrant(int clientIndex, uint8_t& useAux1, uint8_t& useAux2, uint8_t& useAux3);
