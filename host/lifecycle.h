// Driver lifecycle entry points of KviMain's table: start, restart, reconfigure and end an instance,
// and report the driver's identity.
#pragma once

#include <stdint.h>

#include "kesta.h"

uint32_t ColdStart(DriverCall *call);
uint32_t WarmStart(DriverCall *call);
uint32_t EndKvi(DriverCall *call);
uint32_t CloseCom(DriverCall *call);
uint32_t ReOpenCom(DriverCall *call);
uint32_t GetKviInfo(DriverCall *call);
uint32_t ChangeKviParams(DriverCall *call);
