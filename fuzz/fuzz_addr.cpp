// libFuzzer target: address text in, address record out, and back. Any text is parsed for
// an IPv4 record (family 2), a loopback record (family 23) or a record of another family,
// over a record that already holds arbitrary bytes; the same text is handed to the CNetUDP
// text constructor (constructed only, never bound).
//
// An input is a selector byte, 16 bytes that fill the record before parsing, and the text
// (up to the first zero byte or the end). Checked beyond memory faults: a parse writes only
// the address and port (nothing for other families), ToString gives text that parses back
// to the same record and prints the same again, and the UDP driver keeps the first 99
// characters and takes its port from them. The same text goes to ParseAddr, with a reason
// buffer of 0 to 63 bytes (selector bits 2..7): a refusal leaves the record as it was and ends
// its reason inside the buffer; an acceptance prints back as exactly the text it parsed, agrees
// with GetAddrFromString and is a destination unless its address or port is 0.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "portnet/portnet.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

unsigned short Family(std::uint8_t selector, std::uint8_t other) {
    switch (selector % 3) {
    case 0:
        return kNetFamilyInet;
    case 1:
        return kNetFamilyLocal;
    default: // any family the parser does not know
        return other == kNetFamilyInet || other == kNetFamilyLocal ? 0 : other;
    }
}

unsigned Port(const sockaddr_in& a) {
    unsigned char b[2];
    std::memcpy(b, &a.sin_port, 2);
    return static_cast<unsigned>(b[0]) << 8 | b[1];
}

// The bytes a parse may leave as they were: everything but the address and the port.
bool SameOutsideAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family &&
           std::memcmp(a.sin_zero, b.sin_zero, sizeof a.sin_zero) == 0;
}

// ToString of a parsed record is a fixed point: its text parses to the same record.
void RoundTrip(const sockaddr_in& parsed) {
    const char* shown = ToString(&parsed);
    Check(shown != nullptr);
    char text[100];
    const std::size_t len = std::strlen(shown);
    Check(len < sizeof text);
    std::memcpy(text, shown, len + 1);

    sockaddr_in again;
    std::memset(&again, 0xA5, sizeof again);
    again.sin_family = parsed.sin_family;
    GetAddrFromString(text, &again);
    Check(CompareAddr(&parsed, &again) && Port(parsed) == Port(again));
    Check(std::strcmp(ToString(&again), text) == 0);
}

void UdpText(const char* text) {
    CNetUDP udp(text);
    Check(udp.m_socket == -1);
    const std::size_t kept = std::strlen(udp.m_addr_text);
    Check(kept < sizeof udp.m_addr_text && std::strncmp(udp.m_addr_text, text, kept) == 0);
    Check(kept == std::strlen(text) || kept == sizeof udp.m_addr_text - 1);
    // The port of text the checked parse of either family takes, else 0 until Init resolves
    // or refuses it.
    CNetAddr a;
    const bool parsed = CNetAddr::Parse(udp.m_addr_text, &a, nullptr, 0) == 1;
    Check(udp.m_port == (parsed ? static_cast<int>(a.Port()) : 0));
}

void CheckedParse(const char* text, const sockaddr_in& fill, int err_size) {
    sockaddr_in addr = fill;
    char err[64 + 8];
    std::memset(err, 0x5A, sizeof err);
    const int result = ParseAddr(text, &addr, err, err_size);
    for (std::size_t i = static_cast<std::size_t>(err_size); i < sizeof err; ++i)
        Check(err[i] == 0x5A); // nothing written past the buffer
    if (err_size > 0) Check(std::memchr(err, '\0', static_cast<std::size_t>(err_size)) != nullptr);
    if (result != 1) {
        Check(result == -1 && std::memcmp(&addr, &fill, sizeof addr) == 0);
        return;
    }
    if (err_size > 0) Check(err[0] == '\0');
    const unsigned char zero[sizeof addr.sin_zero] = {};
    Check(addr.sin_family == kNetFamilyInet && std::memcmp(addr.sin_zero, zero, sizeof zero) == 0);
    Check(std::strcmp(ToString(&addr), text) == 0);
    sockaddr_in legacy;
    std::memset(&legacy, 0, sizeof legacy);
    legacy.sin_family = kNetFamilyInet;
    GetAddrFromString(text, &legacy);
    Check(std::memcmp(&legacy, &addr, sizeof addr) == 0);
    const bool destination = addr.sin_addr.s_addr != 0 && addr.sin_port != 0;
    Check(CheckDestAddr(&addr, nullptr, 0) == (destination ? 1 : -1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    const std::size_t fill = size - 1 < sizeof addr ? size - 1 : sizeof addr;
    std::memcpy(&addr, data + 1, fill);
    addr.sin_family = Family(data[0], fill > 0 ? data[1] : 0);
    std::vector<char> c_text(data + 1 + fill, data + size);
    c_text.push_back('\0');

    const sockaddr_in before = addr;
    GetAddrFromString(c_text.data(), &addr);
    Check(SameOutsideAddress(before, addr));
    if (addr.sin_family == kNetFamilyInet || addr.sin_family == kNetFamilyLocal) {
        if (addr.sin_family == kNetFamilyLocal) Check(addr.sin_addr.s_addr == 0);
        Check(CompareAddr(&addr, &addr));
        RoundTrip(addr);
    } else {
        Check(std::memcmp(&before, &addr, sizeof addr) == 0);
        Check(ToString(&addr) == nullptr);
    }

    // Null arguments are refused quietly.
    GetAddrFromString(nullptr, &addr);
    GetAddrFromString(c_text.data(), nullptr);
    Check(ToString(nullptr) == nullptr && !CompareAddr(&addr, nullptr));

    UdpText(c_text.data());
    CheckedParse(c_text.data(), before, data[0] >> 2);
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, nullptr);
}

#endif
