#include "network/interpolation.h"

// Placeholders until the interpolators land: the master's value.
double interpolateByDistance(double, double, double value1, double, double, double, double, double)
{
    return value1;
}

double interpolate2Bases(double, double, double, double, double, double, double value0, double)
{
    return value0;
}

double interpolate3Bases(double, double, double, double, double, double, double, double,
                         double value0, double, double)
{
    return value0;
}

double interpolate4Bases(double, double, double, double, double, double, double, double, double,
                         double, double value0, double, double, double)
{
    return value0;
}

void checkAuxBaseQuadrant(int, uint8_t&, uint8_t&, uint8_t&) {}
