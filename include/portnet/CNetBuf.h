#pragma once

#include <cstdint>

#include "CNetAddr.h"
#include "NetAddress.h"
#include "PortnetExport.h"

class CNetDriver;

// One datagram: byte 0 is the channel, bytes 1..999 the payload. Positions count
// payload bytes; a field of n bytes at position p fits while p + n <= 998.
class PORTNET_API CNetBuf {
public:
    enum : int { kDataSize = 1000, kMaxPayload = 998, kMaxDatagram = 999 };

    CNetBuf(CNetDriver* driver, const sockaddr_in* addr);
    CNetBuf(CNetDriver* driver, const CNetAddr& addr);
    ~CNetBuf();
    CNetBuf(const CNetBuf&) = default;
    CNetBuf& operator=(const CNetBuf&) = default;

    CNetBuf* Clone() const;

    int SetReadingPos(int pos, int mode);
    int SetWritingPos(int pos, int mode);
    int GetAvailable(bool reading) const;
    int SetChannel(int channel);
    int GetChannel() const;

    int Read(void* dest, int n);
    int Write(const void* src, int n);

    // The n payload bytes at the reading (writing) position, which moves past them; null, and
    // the position unchanged, when they do not fit. Encoders read and write fields in place
    // through these instead of copying through Read and Write.
    const unsigned char* ReadSpan(int n) {
        if (!Fits(m_read_pos, n, m_read_limit)) return nullptr;
        const unsigned char* at = m_data + 1 + m_read_pos;
        m_read_pos += n;
        return at;
    }
    unsigned char* WriteSpan(int n) {
        if (!Fits(m_write_pos, n, kMaxPayload)) return nullptr;
        unsigned char* at = m_data + 1 + m_write_pos;
        m_write_pos += n;
        return at;
    }

    // Every record and header reads and writes single bytes: kept inline.
    int ReadByte(unsigned char* v) {
        const unsigned char* at = ReadSpan(1);
        if (at == nullptr) return -1;
        *v = *at;
        return 1;
    }
    int WriteByte(unsigned char v) {
        unsigned char* at = WriteSpan(1);
        if (at == nullptr) return -1;
        *at = v;
        return 1;
    }
    int ReadChar(char* v);
    int WriteChar(char v);
    int ReadShort(short* v);
    int WriteShort(short v);
    int ReadWord(unsigned short* v);
    int WriteWord(unsigned short v);
    int ReadDword(std::uint32_t* v);
    int WriteDword(std::uint32_t v);
    int ReadFloag(float* v);
    int WriteFloat(float v);
    int ReadInt(int* v);
    int WriteInt(int v);
    int ReadString(char* dest); // dest must hold 999 bytes
    int WriteString(const char* text);

    int Send();
    int Broadcast();
    int Recv();

    // The peer's address, of either family: where Send goes, whom Recv heard.
    CNetAddr Addr() const;
    void SetAddr(const CNetAddr& addr);

    CNetDriver* m_driver;
    // The peer's address as programs that hold a sockaddr_in read and write it, and as Send
    // and Recv hand it to the driver's sockaddr_in calls exactly as ever: an IPv4 or loopback
    // record; for an IPv6 peer family kNetFamilyInet6 and the rest zero, the address itself
    // kept beside it (Addr).
    sockaddr_in m_addr;
    unsigned char m_data[kDataSize];
    int m_read_pos;
    int m_write_pos;
    int m_channel;
    // Payload bytes a read may reach: after Recv the received payload, so a short datagram is
    // never decoded from bytes an earlier, longer one left behind; the whole area otherwise.
    int m_read_limit;

private:
    CNetAddr m_peer; // the IPv6 peer while m_addr says kNetFamilyInet6

    // A field of n bytes at position pos fits while pos + n <= end, end held to the payload
    // area; written so that no value of the public positions can overflow it.
    static bool Fits(int pos, int n, int end) {
        const long long limit = end < kMaxPayload ? end : kMaxPayload;
        return pos >= 0 && n >= 0 && static_cast<long long>(pos) + n <= limit;
    }
};
