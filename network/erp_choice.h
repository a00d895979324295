#pragma once
// Which synthetic reference station serves a rover: the nearest node of a
// grid of quarter degrees around its master base, one shared record per
// node. Rover streaming thread only.

// The magnitude brought to the nearest of its integer part plus 0, 0.25,
// 0.5, 0.75 or 1 (a value halfway between two going to the smaller
// magnitude), the sign restored.
double roundToQuarterDegree(double value);

// For a rover on an ERP stream whose master base is chosen: finds the
// nearest of the 5 x 5 nodes 0.25 degree apart around the master's rounded
// "STR:" position and gives the rover the record at that node, taking a
// free record when none is there yet. erpIndex becomes -1 when the node is
// more than 100 km away or every record is taken by another node (the
// console says so once until a record is taken again).
void chooseErpRecord(int clientIndex);
