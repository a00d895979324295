#pragma once
// World Magnetic Model: reads a coefficient file (WMM.COF layout) and
// evaluates the main field by spherical harmonics. Stands alone: it needs no
// other part of the caster.

#include <string>
#include <vector>

struct MagModel {
    double epoch = 0.0;   // decimal year the coefficients refer to
    int maxDegree = 0;
    // Gauss coefficients (nT) and their yearly change (nT/year), Schmidt
    // semi-normalised, at index n * (n + 1) / 2 + m.
    std::vector<double> g, h, gDot, hDot;
};

// Reads the header line (epoch first) and the "n m g h gDot hDot" lines up to
// the line of 9s (or the end of the file). False when the file cannot be
// read, a line is malformed or no coefficient was found.
bool readMagModel(const std::string& path, MagModel& model);

// WGS-84 geodetic latitude (deg) and height (km) -> geocentric latitude (rad)
// and radius (km).
void geodeticToGeocentric(double latDeg, double heightKm, double& geocentricLatRad,
                          double& radiusKm);

// Field (nT) at a point of the geocentric sphere, in the local geocentric
// frame: north, east and down.
void magFieldGeocentric(const MagModel& model, double geocentricLatRad, double lonRad,
                        double radiusKm, double decimalYear, double& north, double& east,
                        double& down);

// Total intensity (nT) at a geodetic point on a given date, with the
// coefficients from `path`; -1.0 when the file cannot be read or the point is
// not a finite number.
double calcMagneticFieldAt(const std::string& path, double latDeg, double lonDeg, double heightKm,
                           double decimalYear);

// Today as a decimal year (local calendar day, as the model's own tools count it).
double currentDecimalYear();

// Total intensity (nT) today, with the coefficients of WMM.COF in the working
// directory; -1.0 when that file cannot be read.
double calcMagneticField(double latDeg, double lonDeg, double heightKm);
