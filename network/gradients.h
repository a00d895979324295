#pragma once
// A master base's network correction gradients: per satellite, how the
// ionospheric and tropospheric delays change from the master towards its
// auxiliary bases, written into the base's netGradient block of the system.
// Run by the network-correction thread only.

// False when no auxiliary base contributed (the block keeps its values).
bool calcNetCorrGPS(int baseIndex);
bool calcNetCorrGLO(int baseIndex);
bool calcNetCorrBDS(int baseIndex);
