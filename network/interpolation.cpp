#include "network/interpolation.h"

#include <cmath>

#include "core/base_station.h"
#include "core/geodesy.h"
#include "core/records.h"
#include "network/nearest_base.h"

namespace {

struct Point {
    double lat, lon;
};

// a x lat + b x lon = c through p then q.
struct Line {
    double a, b, c;
};

Line lineThrough(Point p, Point q)
{
    Line l;
    l.a = q.lon - p.lon;
    l.b = p.lat - q.lat;
    l.c = l.a * p.lat + l.b * p.lon;
    return l;
}

// Value at t along p->q; false when p and q coincide (no slope to follow)
// or the result is not finite. The distance to t counts negative when t lies
// behind p: an unsigned one would hand a point behind p its mirror point's
// value, which for a cut outside a side (common inside a quadrilateral) is
// wrong by a good part of the values' spread.
bool valueAlong(Point p, double vp, Point q, double vq, Point t, double& out)
{
    double whole = distanceKm(p.lat, p.lon, q.lat, q.lon);
    if (!(whole > 0)) return false;
    double part = distanceKm(p.lat, p.lon, t.lat, t.lon);
    if ((t.lat - p.lat) * (q.lat - p.lat) + (t.lon - p.lon) * (q.lon - p.lon) < 0) part = -part;
    out = vp + (vq - vp) * part / whole;
    return std::isfinite(out);
}

// Where the side line meets the line from `from` through r. A parallel pair
// gives (0, 0), which like any point on latitude 0 or longitude 0 counts as
// no intersection.
bool cutPoint(const Line& side, Point from, Point r, Point& x)
{
    Line rover = lineThrough(from, r);
    solve2x2(x.lat, x.lon, side.a, side.b, side.c, rover.a, rover.b, rover.c);
    return x.lat != 0 && x.lon != 0;
}

// One side of the station polygon: its line runs lineFrom->lineTo, values
// are taken along valueFrom->valueTo, and the line through R is drawn from
// the first candidate that cuts the side usably (-1: no second candidate).
struct Side {
    int lineFrom, lineTo, valueFrom, valueTo, candidate[2];
};

constexpr Side triangleSides[3] = {
    {0, 1, 0, 1, {2, -1}},
    {1, 2, 1, 2, {0, -1}},
    {0, 2, 0, 2, {1, -1}},
};

constexpr Side quadrilateralSides[4] = {
    {0, 1, 0, 1, {2, 3}},
    {1, 2, 1, 2, {0, 3}},
    {2, 3, 3, 2, {1, 0}},
    {0, 3, 0, 3, {1, 2}},
};

template <int N>
double meanOfSides(const Side (&sides)[N], const Point* b, const double* v, Point r)
{
    double sum = 0;
    int count = 0;
    for (const Side& s : sides) {
        Line line = lineThrough(b[s.lineFrom], b[s.lineTo]);
        for (int c : s.candidate) {
            if (c < 0) break;
            Point x;
            if (!cutPoint(line, b[c], r, x)) continue;
            double vx, estimate;
            // A cut point on the candidate itself leaves no line to follow
            // towards R: like a missed cut, the next candidate is tried.
            if (valueAlong(b[s.valueFrom], v[s.valueFrom], b[s.valueTo], v[s.valueTo], x, vx) &&
                valueAlong(b[c], v[c], x, vx, r, estimate)) {
                sum += estimate;
                ++count;
                break;
            }
        }
    }
    return count > 0 ? sum / count : v[0];
}

}   // namespace

double interpolateByDistance(double lat1, double lon1, double value1, double lat2, double lon2,
                             double value2, double latT, double lonT)
{
    double v;
    if (!valueAlong({lat1, lon1}, value1, {lat2, lon2}, value2, {latT, lonT}, v)) return value1;
    return v;
}

double interpolate2Bases(double lat0, double lon0, double lat1, double lon1, double latR,
                         double lonR, double value0, double value1)
{
    double dLat = lat1 - lat0, dLon = lon1 - lon0;
    double length = std::sqrt(dLat * dLat + dLon * dLon);
    if (!(length > 0)) return value0;
    double uLat = dLat / length, uLon = dLon / length;
    double t = (latR - lat0) * uLat + (lonR - lon0) * uLon;
    Point foot{lat0 + t * uLat, lon0 + t * uLon};
    // The other interpolators take a zero coordinate for "no point"; a zero
    // correction would be worse than the master's own value.
    if (foot.lat == 0 || foot.lon == 0) return value0;
    double v;
    if (!valueAlong({lat0, lon0}, value0, {lat1, lon1}, value1, foot, v)) return value0;
    return v;
}

double interpolate3Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double latR, double lonR, double value0, double value1,
                         double value2)
{
    const Point b[3] = {{lat0, lon0}, {lat1, lon1}, {lat2, lon2}};
    const double v[3] = {value0, value1, value2};
    return meanOfSides(triangleSides, b, v, {latR, lonR});
}

double interpolate4Bases(double lat0, double lon0, double lat1, double lon1, double lat2,
                         double lon2, double lat3, double lon3, double latR, double lonR,
                         double value0, double value1, double value2, double value3)
{
    const Point b[4] = {{lat0, lon0}, {lat1, lon1}, {lat2, lon2}, {lat3, lon3}};
    const double v[4] = {value0, value1, value2, value3};
    return meanOfSides(quadrilateralSides, b, v, {latR, lonR});
}

void checkAuxBaseQuadrant(int clientIndex, uint8_t& useAux1, uint8_t& useAux2, uint8_t& useAux3)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return;
    const Client& c = client[clientIndex];
    uint8_t* use[3] = {&useAux1, &useAux2, &useAux3};
    for (int k = 0; k < 3; ++k) {
        int a = c.auxBase[k];
        if (a < 0 || a >= maxBases || baseStation[a].connected == 0) *use[k] = 0;
    }
    int m = c.masterBase;
    if (m < 0 || m >= maxBases) return;
    const BaseStation& master = baseStation[m];
    bool north = c.latitude > master.latitude;
    bool east = c.longitude > master.longitude;
    if (c.longitude == master.longitude) east = c.longitude < 0;
    for (int k = 0; k < 3; ++k) {
        int a = c.auxBase[k];
        if (a < 0 || a >= maxBases) continue;
        const BaseStation& aux = baseStation[a];
        bool latOpposite = north ? aux.latitude < master.latitude : aux.latitude > master.latitude;
        bool lonOpposite =
            east ? aux.longitude < master.longitude : aux.longitude > master.longitude;
        if (latOpposite && lonOpposite) *use[k] = 0;
    }
}
