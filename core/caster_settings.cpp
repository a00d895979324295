#include "core/caster_settings.h"

CasterSettings casterSettings;

void initCasterSettings()
{
    casterSettings = CasterSettings{};
}
