#include "network/erp_upkeep.h"

// Placeholder until the synthetic stations land.
void updateErpRecords(uint32_t) {}
