#pragma once

#include "transport/CNetList.h"

// The two process-wide registries. Both are constant-initialised (ready before any load-time
// code runs) and never destroyed, so the library entry can still empty them at unload.
// g_driver_list owns the drivers made by GetSystemNetDriver, most recent first.
extern CNetList g_driver_list;
// g_local_list holds the initialised loopback endpoints, most recent first; it owns nothing.
extern CNetList g_local_list;
