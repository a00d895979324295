#include "network/gradients.h"

// Placeholders until the gradient fit lands.
bool calcNetCorrGPS(int) { return false; }
bool calcNetCorrGLO(int) { return false; }
bool calcNetCorrBDS(int) { return false; }
