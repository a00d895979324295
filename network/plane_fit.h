#pragma once
// Least-squares slopes of a quantity over the plane of the stations: the
// normal equations of t = sx x + sy y, each sample with its weight. Samples
// relative to a fixed station make it a plane through that station (the
// gradients); samples relative to their weighted centroid make it the
// free plane through all of them (the synthetic stations' ionosphere).

struct PlaneFit {
    double xx = 0, xy = 0, yy = 0, xt = 0, yt = 0, weights = 0;
    void add(double x, double y, double t, double weight = 1)
    {
        weights += weight;
        xx += weight * x * x, xy += weight * x * y, yy += weight * y * y;
        xt += weight * x * t, yt += weight * y * t;
    }
    // Slopes along x and y; the least-norm solution (along the principal
    // direction) when the samples' positions lie on one line. False when
    // they all stand on one point (within a millionth of the positions'
    // unit of the weighted mean: rounding must not pass for a slope) or the
    // result is not finite.
    bool solve(double& sx, double& sy) const;
    // True when the samples' positions span the plane (not one line).
    bool spansPlane() const;
    // What one sample of value 1 at (x, y) with its weight adds to the
    // slopes: the fit is linear in the samples, so this carries each
    // station's error into them.
    bool sensitivity(double x, double y, double weight, double& ax, double& ay) const;
};
