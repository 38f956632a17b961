#pragma once

// What libportnet-secure's C layer needs of the core's handle table: exported for it, not
// part of portnet_c.h.

#include "portnet/portnet_c.h"

extern "C" {
// Takes driver (a CNetDriver made by the caller, deleted by portnet_destroy) into the table as
// kind; it uses the driver of handle inner (0: none), which stays alive while it lives. The
// driver is deleted when it cannot be taken.
PORTNET_API portnet_status portnet_ext_adopt_driver(void* driver, int32_t kind,
                                                    portnet_handle inner, portnet_handle* out);
// The CNetDriver of h, which must be of kind (0: any driver).
PORTNET_API portnet_status portnet_ext_driver(portnet_handle h, int32_t kind, void** out);
// The CNetDriver of h when nothing uses it yet, for a driver that wraps it.
PORTNET_API portnet_status portnet_ext_wrappable(portnet_handle h, void** out);
// Sets the reason portnet_last_error gives.
PORTNET_API void portnet_ext_set_error(const char* text);
}
