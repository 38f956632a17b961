#pragma once

// The OS headers that declare the socket address records (sockaddr_in, sockaddr_in6,
// sockaddr_storage) and the byte-order helpers; the one OS header the layer's interface carries.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif
