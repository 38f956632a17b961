// A minimal host built against the installed library: two loopback endpoints exchange one
// datagram through CNetBuf.
#include <cstdio>
#include <cstring>

#include "portnet/portnet.h"

int main() {
    CNetTime::Update();
    CNetDriver* a = GetSystemNetDriver(kNetDriverLocal, 1);
    CNetDriver* b = GetSystemNetDriver(kNetDriverLocal, 2);
    if (a == nullptr || b == nullptr || a->Init() != 0 || b->Init() != 0) return 1;

    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = kNetFamilyLocal;
    GetAddrFromString("LOCAL:2", &to);
    CNetBuf out(a, &to), in(b, nullptr);
    out.WriteString("hello");
    const int sent = out.Send();
    char text[999] = {};
    const int received = in.Recv();
    in.ReadString(text);
    const char* from = ToString(&in.m_addr);
    const bool ok = sent == 7 && received == 7 && std::strcmp(text, "hello") == 0 &&
                    std::strcmp(from, "LOCAL:1") == 0;
    std::printf("%s from %s: %s\n", text, from, ok ? "ok" : "FAILED");
    ReleaseSystemNetDriver();
    return ok ? 0 : 1;
}
