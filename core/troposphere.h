#pragma once
// Tropospheric delay of a satellite signal at a base: fixed zenith delays with
// the Niell (1996) hydrostatic and wet mapping functions.

// Slant delay (m) for the current local day of the year; 0 below 3 degrees.
double tropoDelay(double elevationDeg, double latitudeDeg, double heightM);
// The same on a given day of the year (tests, and callers that know the day).
double tropoDelayOnDay(double elevationDeg, double latitudeDeg, double heightM, int dayOfYear);

// Mapping factors; 0 below 3 degrees of elevation.
double niellHydrostaticMapping(double elevationDeg, double latitudeDeg, double heightM,
                               int dayOfYear);
double niellWetMapping(double elevationDeg, double latitudeDeg);

// Saastamoinen zenith delays (m); pressures in hPa, temperature in deg C.
double zenithHydrostaticDelay(double pressureHpa, double latitudeDeg, double heightM);
double zenithWetDelay(double vapourPressureHpa, double temperatureC, double latitudeDeg,
                      double heightM);
// Slant delay from measured weather; 0 below 3 degrees.
double slantTropoDelay(double elevationDeg, double latitudeDeg, double heightM, int dayOfYear,
                       double vapourPressureHpa, double temperatureC, double pressureHpa);
// Slant delay (m) of the standard atmosphere at a height (its pressure,
// temperature and 70 % humidity there, Saastamoinen zenith delays, Niell
// mapping): what tells two nearby stations of different heights apart.
// 0 below 3 degrees or outside -100 m .. 10 km.
double standardAtmosphereDelay(double elevationDeg, double latitudeDeg, double heightM,
                               int dayOfYear);
// Zenith delay of a standard atmosphere by height alone.
double simpleZenithTropo(double heightM);
