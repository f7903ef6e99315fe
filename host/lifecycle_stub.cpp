// Placeholder entry points until the lifecycle lands.
#include "host/lifecycle.h"

uint32_t ColdStart(DriverCall *) { return 2; }
uint32_t WarmStart(DriverCall *) { return 0; }
uint32_t EndKvi(DriverCall *) { return 0; }
uint32_t CloseCom(DriverCall *) { return 0; }
uint32_t ReOpenCom(DriverCall *) { return 2; }
uint32_t GetKviInfo(DriverCall *) { return 0; }
uint32_t ChangeKviParams(DriverCall *) { return 2; }
