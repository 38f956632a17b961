// A host built against the installed libportnet-secure: two simulator endpoints, each behind
// a CNetDtls with the same pre-shared key, shake hands and pass one datagram.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "portnet/CNetDtls.h"
#include "portnet/portnet.h"

int main() {
    static const unsigned char key[16] = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    SNetDtlsConfig config;
    config.m_psk_key = key;
    config.m_psk_key_len = sizeof key;
    CNetSimNetwork net;
    CNetSimDriver sim_a(&net, 1), sim_b(&net, 2);
    CNetDtls a(&sim_a, config), b(&sim_b, config);
    if (!a.IsReady() || a.Init() != 0 || b.Init() != 0) return 1;
    sockaddr_in to_b{};
    to_b.sin_family = kNetFamilyLocal;
    to_b.sin_port = 2;
    char text[64] = {};
    int got = 0;
    for (int i = 0; i < 200 && got == 0; ++i) {
        a.SendTo(6, const_cast<char*>("hello"), &to_b); // held until the session is open
        for (CNetDtls* d : {&a, &b}) {
            for (int n = 0; n < 8; ++n) {
                int len = sizeof text;
                sockaddr_in from{};
                if (d->RecvFrom(&len, text, &from) != 0 || len == 0) break;
                if (d == &b) got = len;
            }
        }
    }
    const bool ok = got == 6 && std::strcmp(text, "hello") == 0 &&
                    b.m_stats.m_handshakes_completed == 1;
    std::printf("%s through DTLS: %s\n", text, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
