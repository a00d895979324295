#include "network/plane_fit.h"

#include <cmath>

namespace {

// Below this ratio of the normal matrix's eigenvalues the samples lie
// (nearly) on one line and only the slope along it is fitted.
constexpr double minEigenRatio = 0.01;
// Below this mean square spread of the positions they stand on one point.
constexpr double minSpread = 1e-12;

}   // namespace

bool PlaneFit::spansPlane() const
{
    const double half = 0.5 * (xx + yy);
    const double spread = std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
    return half + spread > minSpread * weights && half - spread > minEigenRatio * (half + spread);
}

bool PlaneFit::solve(double& sx, double& sy) const
{
    double half = 0.5 * (xx + yy);
    double spread = std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
    double big = half + spread;
    if (!(big > minSpread * weights) || !(big > 0)) return false;
    if (spansPlane()) {
        double det = xx * yy - xy * xy;
        sx = (yy * xt - xy * yt) / det;
        sy = (xx * yt - xy * xt) / det;
    } else {
        // Unit vector of the line: eigenvector of the larger eigenvalue.
        double ux, uy;
        if (xy == 0) {
            ux = xx >= yy ? 1 : 0;
            uy = 1 - ux;
        } else {
            ux = big - yy, uy = xy;
            double len = std::hypot(ux, uy);
            ux /= len, uy /= len;
        }
        double along = (ux * xt + uy * yt) / big;
        sx = along * ux;
        sy = along * uy;
    }
    return std::isfinite(sx) && std::isfinite(sy);
}

bool PlaneFit::sensitivity(double x, double y, double weight, double& ax, double& ay) const
{
    PlaneFit unit = *this;
    unit.xt = weight * x;
    unit.yt = weight * y;
    return unit.solve(ax, ay);
}
