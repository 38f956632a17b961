// libFuzzer target: arbitrary datagrams from a few senders into a manager over an accepting
// CNetDtls (pre-shared key), on the simulated network. Whatever arrives: nothing crashes, no
// client is created (no sender holds the key), no handshake gets past the cookie (no sender
// has seen one), and no answer is larger than the datagram it answers.
//
// An input is a stream of operations:
//   op < 0x80   a datagram from sender (op & 3): two bytes of length (11 bits, little-endian),
//               then the datagram
//   op >= 0x80  one frame of the manager, (op & 63) * 8 ms after the last
// After the last operation three more frames run. An input runs at most kMaxFrames frames of
// its own; what follows the last of them is not read.
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_dtls_accept_replay):
// `--capture DIR` writes the seed corpus from real first flights of a connecting CNetDtls.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "portnet/CNetDtls.h"
#include "portnet/CNetSim.h"
#include "portnet/portnet.h"
#include "FuzzShared.h"

namespace {

enum : int { kTargetId = 1, kFirstSenderId = 2, kSenders = 4, kMaxLength = 1450, kMaxFrames = 32 };

const unsigned char kKey[32] = {0x5e, 0xc2, 0x7a, 0x11};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

sockaddr_in Endpoint(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

SNetDtlsConfig Config(int role) {
    return portnet_fuzz::SmallDtls(role, kKey);
}

// Between the CNetDtls and the network: every answer must fit in the datagram being answered.
class Watch : public CNetDriver {
public:
    explicit Watch(CNetDriver* inner) : m_inner(inner) {}
    int SetBlockMode(bool b) override { return m_inner->SetBlockMode(b); }
    int MakeBroadcastCapable() override { return m_inner->MakeBroadcastCapable(); }
    int Init() override { return m_inner->Init(); }
    int Shutdown() override { return m_inner->Shutdown(); }
    int Connected(sockaddr_in* p) override { return m_inner->Connected(p); }
    int Disconnected(sockaddr_in* p) override { return m_inner->Disconnected(p); }
    char* GetAddr() override { return m_inner->GetAddr(); }
    int SendTo(int len, void* data, sockaddr_in* to) override {
        Check(len <= m_last_in);
        return m_inner->SendTo(len, data, to);
    }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        const int r = m_inner->RecvFrom(len, buf, from);
        m_last_in = r == 0 ? *len : 0;
        return r;
    }
    int Broadcast(int, void*, sockaddr_in*) override { return -1; }
    CNetDriver* m_inner;
    int m_last_in = 0;
};

class Host : public CNetManager {
public:
    int CreateClient(CNetBuf*) override {
        Check(false); // only a holder of the key could have got a datagram this far
        return -1;
    }
    int ReadOutOfBand(CNetBuf*) override {
        Check(false);
        return 0;
    }
};

// Everything lives for the whole process: the OpenSSL context and the manager are made once,
// and an input only starts from a drained network a second after the last one (the
// simulator's clock never runs back).
struct World {
    CNetSimNetwork net{1};
    CNetSimDriver target{&net, kTargetId};
    Watch watch{&target};
    CNetDtls dtls{&watch, Config(SNetDtlsConfig::kAccept)};
    Host host;
    CNetSimDriver* senders[kSenders];

    World() {
        CNetTime::m_time = 1000;
        net.SetTime(CNetTime::m_time);
        Check(dtls.IsReady());
        Check(dtls.Init() == 0 && host.Init(&dtls, 4) == 1);
        for (int i = 0; i < kSenders; ++i) {
            senders[i] = new CNetSimDriver(&net, kFirstSenderId + i);
            Check(senders[i]->Init() == 0);
        }
    }
    void Frame(int ms) {
        // The world lives through every input, so its clock runs for weeks: it wraps, as the
        // library's does.
        CNetTime::m_time = static_cast<int>(static_cast<std::uint32_t>(CNetTime::m_time) +
                                            static_cast<std::uint32_t>(ms));
        net.SetTime(CNetTime::m_time);
        host.BeginFrame();
        host.Read();
        host.Update(true);
        host.Write();
        host.EndFrame();
        Check(host.GetNumClients() == 0);
        Check(dtls.GetOpenSessions() == 0 && dtls.GetHalfOpen() == 0);
    }
    // What the last input left on the wire is dropped: answers to the senders, and datagrams
    // the target did not read.
    void Reset() {
        Frame(1000);
        unsigned char d[kMaxLength];
        for (CNetDriver* e :
             {static_cast<CNetDriver*>(&target), static_cast<CNetDriver*>(senders[0]),
              static_cast<CNetDriver*>(senders[1]), static_cast<CNetDriver*>(senders[2]),
              static_cast<CNetDriver*>(senders[3])})
            for (int n = 1, guard = 0; n > 0 && guard < 1024; ++guard) {
                sockaddr_in from;
                n = sizeof d;
                if (e->RecvFrom(&n, d, &from) != 0) break;
            }
        watch.m_last_in = 0;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World* world = new World; // never freed: the process ends
    World& w = *world;
    w.Reset();
    sockaddr_in to = Endpoint(kTargetId);
    std::size_t at = 0;
    int frames = 0;
    while (at < size && frames < kMaxFrames) {
        const unsigned op = data[at++];
        if (op >= 0x80) {
            w.Frame(static_cast<int>(op & 63) * 8);
            ++frames;
            continue;
        }
        if (at + 2 > size) break;
        int len = (data[at] | data[at + 1] << 8) & 0x7FF;
        at += 2;
        if (len > static_cast<int>(size - at)) len = static_cast<int>(size - at);
        if (len > kMaxLength) len = kMaxLength;
        w.senders[op & 3]->SendTo(len, const_cast<std::uint8_t*>(data + at), &to);
        at += static_cast<std::size_t>(len);
    }
    for (int i = 0; i < 3; ++i)
        w.Frame(16);
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

namespace {

// Seeds: the first flight of a connecting CNetDtls (a ClientHello), alone, repeated, from two
// senders, cut short and with frames between; and a ClientHello with a made-up cookie.
int CaptureDtls(const std::filesystem::path& dir) {
    CNetTime::m_time = 1000;
    CNetSimNetwork net(1);
    CNetSimDriver client_sim(&net, kFirstSenderId), sink(&net, kTargetId);
    CNetDtls client(&client_sim, Config(SNetDtlsConfig::kConnect));
    if (!client.IsReady() || client.Init() != 0 || sink.Init() != 0) return 1;
    sockaddr_in to = Endpoint(kTargetId);
    unsigned char plain[8] = {1, 2, 3};
    client.SendTo(sizeof plain, plain, &to);
    net.SetTime(CNetTime::m_time + 100);
    unsigned char hello[kMaxLength];
    int len = sizeof hello;
    sockaddr_in from;
    if (sink.RecvFrom(&len, hello, &from) != 0 || len <= 0) return 1;

    auto datagram = [](portnet_fuzz::Bytes& out, int sender, const unsigned char* d, int n) {
        out.push_back(static_cast<unsigned char>(sender));
        out.push_back(static_cast<unsigned char>(n & 0xFF));
        out.push_back(static_cast<unsigned char>(n >> 8));
        out.insert(out.end(), d, d + n);
    };
    portnet_fuzz::Bytes once, twice, two_senders, cut, cookie;
    datagram(once, 0, hello, len);
    once.push_back(0x82);
    portnet_fuzz::Save(dir / "client_hello", once);
    datagram(twice, 0, hello, len);
    twice.push_back(0x90);
    datagram(twice, 0, hello, len);
    twice.push_back(0xBF);
    portnet_fuzz::Save(dir / "client_hello_twice", twice);
    datagram(two_senders, 0, hello, len);
    datagram(two_senders, 1, hello, len);
    two_senders.push_back(0x84);
    portnet_fuzz::Save(dir / "two_senders", two_senders);
    datagram(cut, 2, hello, len / 2);
    cut.push_back(0x81);
    portnet_fuzz::Save(dir / "cut_short", cut);
    // The cookie field follows the random and an empty session id: give it 16 bytes.
    std::vector<unsigned char> with_cookie(hello, hello + len);
    const int at = 13 + 12 + 2 + 32 + 1; // record, handshake header, version, random, id length
    if (at < len && with_cookie[at] == 0) {
        with_cookie[at] = 16;
        with_cookie.insert(with_cookie.begin() + at + 1, 16, 0xAB);
    }
    datagram(cookie, 3, with_cookie.data(), static_cast<int>(with_cookie.size()));
    cookie.push_back(0x82);
    portnet_fuzz::Save(dir / "made_up_cookie", cookie);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, CaptureDtls);
}

#endif
