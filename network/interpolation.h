#pragma once
// Values at a rover's (or a synthetic station's) position interpolated from
// the values at up to four bases, in the latitude/longitude plane (raw
// degrees, longitude not scaled) with great-circle distances as weights.
// Callers pass the master base as the first station (B0). All coordinates are
// degrees.
//
// Degenerate geometry never yields a non-finite value: an estimate that
// would divide by a zero distance (two stations at one place, an
// intersection on the station an estimate starts from) is skipped, a side
// whose rover line is parallel to it or whose intersection lies exactly on
// latitude 0 or longitude 0 gives no estimate, and when no estimate is left
// at all the result is the master's value (value0).

#include <cstdint>

// Value at T on the line through P1 and P2: value1 + (value2 - value1) x d/D
// with d = distance(P1, T) and D = distance(P1, P2) in great-circle km. Not
// clamped: beyond P2 the slope goes on, and behind P1 (T - P1 pointing away
// from P2 in the latitude/longitude plane) d counts negative, so the slope
// goes on there too. When P1 and P2 coincide (D = 0) there is no slope:
// value1.
double interpolateByDistance(double lat1, double lon1, double value1, double lat2, double lon2,
                             double value2, double latT, double lonT);

// Value at R's foot point on the baseline B0-B1. Two stations at one place,
// or a foot point exactly on latitude 0 or longitude 0, give value0.
double interpolate2Bases(double lat0, double lon0, double lat1, double lon1, double latR,
                         double lonR, double value0, double value1);

// Mean of the estimates of the triangle's three sides, each cut by the line
// from the opposite station through R.
double interpolate3Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double latR, double lonR, double value0, double value1,
                         double value2);

// Mean of the estimates of the quadrilateral's four sides B0-B1, B1-B2,
// B2-B3, B0-B3, each cut by the line through R from the first of its two
// opposite candidates that meets it usably.
double interpolate4Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double lat3, double lon3, double latR, double lonR,
                         double value0, double value1, double value2, double value3);

// Clears the use flag of each auxiliary base of the rover that is absent,
// off line, or strictly inside the quadrant around the master diagonally
// opposite the rover (a base on the master's parallel or meridian stays).
// The caller sets the three flags to 1 first; the check never sets one.
void checkAuxBaseQuadrant(int clientIndex, uint8_t& useAux1, uint8_t& useAux2, uint8_t& useAux3);
