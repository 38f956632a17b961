#pragma once

#include <cstdint>

#include "NetAddress.h"
#include "PortnetExport.h"

class CNetDriver;

// One datagram: byte 0 is the channel, bytes 1..999 the payload. Positions count
// payload bytes; a field of n bytes at position p fits while p + n <= 998.
class PORTNET_API CNetBuf {
public:
    enum : int { kDataSize = 1000, kMaxPayload = 998, kMaxDatagram = 999 };

    CNetBuf(CNetDriver* driver, const sockaddr_in* addr);
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

    int ReadByte(unsigned char* v);
    int WriteByte(unsigned char v);
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

    CNetDriver* m_driver;
    sockaddr_in m_addr;
    unsigned char m_data[kDataSize];
    int m_read_pos;
    int m_write_pos;
    int m_channel;
    // Payload bytes a read may reach: after Recv the received payload, so a short datagram is
    // never decoded from bytes an earlier, longer one left behind; the whole area otherwise.
    int m_read_limit;
};
