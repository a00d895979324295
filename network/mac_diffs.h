#pragma once
// The master-auxiliary correction differences of one rover: for one of its
// auxiliary bases, per satellite of the master's current epoch that the
// auxiliary observed at the same epoch, how the ionospheric and the
// geometric (tropospheric) corrections differ between the master and that
// auxiliary, in metres, into the rover's difference rows that the MAC
// builders send. Run by the rover streaming thread for the rover it serves.

// False when no satellite of the master's current GPS epoch is in the
// auxiliary's epoch of the same time with an ionosphere estimate at both
// (the row is then all 0). `auxSlot` is 0..2, the rover's auxBase entry and
// difference row. A difference that is not finite or does not fit the
// message field is left out (0).
bool calcGpsCorrDiffs(int clientIndex, int auxSlot);
// The GLONASS counterpart, over the 24 GLONASS slots.
bool calcGloCorrDiffs(int clientIndex, int auxSlot);
