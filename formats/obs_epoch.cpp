#include "formats/obs_epoch.h"

#include <cmath>

#include "core/base_station.h"
#include "formats/rtcm3/rtcm3_frame_writer.h"

ObsEpoch obsEpochOf(int baseIndex)
{
    ObsEpoch e;
    if (!encoderBase(baseIndex)) return e;
    BaseStation& b = *encoderBase(baseIndex);
    e.baseIndex = baseIndex;
    e.stationId = b.stationId;
    e.gpsWeek = b.gpsWeek;
    e.gpsTowMs = b.gpsTowMs;
    e.gloEpochMs = b.gloEpochMs;
    e.gpsSmoothing = b.gpsSmoothing;
    e.gloSmoothing = b.gloSmoothing;
    e.gpsSmoothingInterval = b.gpsSmoothingInterval;
    e.gloSmoothingInterval = b.gloSmoothingInterval;
    e.gpsMsmInput = receivedWithin(b, kind1074, 10000);
    e.gloMsmInput = receivedWithin(b, kind1084, 10000);
    for (int band = 0; band < 2; ++band) {
        e.gpsSignalId[band] = msmSignalIdGps(b, band);
        e.gloSignalId[band] = msmSignalIdGlo(b, band);
    }
    e.gpsSat = b.gpsSat;
    e.gloSat = b.gloSat;
    return e;
}

namespace {

bool present(double v) { return v != 0 && std::isfinite(v); }

template <typename Sat>
void refill(Sat& s, double unit)
{
    const double c1 = s.codeRange[0];
    if (!present(c1)) {
        s.l1CodeModulo = s.l1PhaseMinusCode = s.l2MinusL1Code = s.l2PhaseMinusCode = 0;
        return;
    }
    s.l1CodeModulo = c1 > 0 ? std::fmod(c1, unit) : 0;
    s.l1PhaseMinusCode = present(s.phaseRange[0]) ? s.phaseRange[0] - c1 : 0;
    s.l2MinusL1Code = present(s.codeRange[1]) ? s.codeRange[1] - c1 : 0;
    s.l2PhaseMinusCode = present(s.phaseRange[1]) ? s.phaseRange[1] - c1 : 0;
}

}   // namespace

void setLegacyParts(GpsSatObs& s, double ambiguityUnit) { refill(s, ambiguityUnit); }
void setLegacyParts(GloSatObs& s, double ambiguityUnit) { refill(s, ambiguityUnit); }
