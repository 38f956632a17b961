#include "platform/PlatformUdp.h"

namespace portnet::platform {

const char* UdpErrorText(int code) {
    switch (code) {
    case kUdpNoError:
        return "no error";
    case kUdpWouldBlock:
        return "operation would block";
    case kUdpMessageSize:
        return "datagram larger than the buffer";
    case kUdpConnReset:
        return "an earlier datagram was refused";
    case kUdpAccessDenied:
        return "permission denied";
    case kUdpInvalidArgument:
        return "invalid argument";
    case kUdpTooManySockets:
        return "too many open sockets";
    case kUdpFamilyUnsupported:
        return "IPv4 not supported";
    case kUdpAddrInUse:
        return "address in use";
    case kUdpAddrNotAvailable:
        return "cannot assign requested address";
    case kUdpNetworkDown:
        return "network is down";
    case kUdpNoBuffers:
        return "no buffer space";
    default:
        return "socket error";
    }
}

} // namespace portnet::platform
