#pragma once

// The OS header that declares sockaddr_in and the byte-order helpers; the one OS header the
// layer's interface carries.
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif
