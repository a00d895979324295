#pragma once
// Which reference stations lie near a point: the great-circle distance and
// the searches over the ten base slots, and the choice of a rover's master
// and auxiliary bases from its GGA position.
//
// The searches read the slots without their mutexes (the base data thread
// may change them meanwhile); a stale answer is put right by the caller's
// next call. They measure to a base's "STR:" position (strLatitude,
// strLongitude), take only trusted bases, keep the lower slot of two equal
// distances, and return a slot 0..9 or -1.

#include <cstdint>

// Great-circle distance in km between two points in degrees (haversine,
// earth radius 6376.5 km).
double distanceKm(double lat1, double lon1, double lat2, double lon2);

// Nearest trusted base with native NCT input within the network region
// radius of the caster settings.
int findNearestBase(float latitude, float longitude);

// Nearest trusted base within 100 km that is none of the three excluded
// slots (-1 excludes nothing). `distance` gets its distance, 0.0 when none.
int findNearestBase100km(float latitude, float longitude, int exclude1, int exclude2,
                         int exclude3, double& distance);

// Every trusted base within 100 km, nearest first, into `slots`; returns
// how many.
int findBasesWithin100km(float latitude, float longitude, int (&slots)[10]);
// Nearest trusted base within the network region radius that is none of the
// nine excluded slots (-1 excludes nothing).
int findNearestBaseExcluding(float latitude, float longitude, const int exclude[9]);

// Gives the rover its master base and three auxiliary bases from the four
// nearest trusted bases within 100 km of its position. False, with the bases
// left as they were, when no trusted base lies within 100 km.
bool selectNearestBases(int clientIndex);

// Master base of a rover on the second-nearest NCT stream: the nearest
// trusted base that sends NCT natively within the network region radius.
// False, with the master left as it was, when there is none.
bool selectNearestNctBase(int clientIndex);
