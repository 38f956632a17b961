#pragma once

#include <cstdint>

#include "CNetData.h"

class CNetBuf;
class CNetClient;

struct PORTNET_API SNetMsgBuf {
    enum : int { kSize = 800 };
    unsigned char m_buf[kSize];
    int m_pos;
    int m_len;
    int m_chunk;
};

// A stream of whole messages (up to 799 bytes each), queued ten deep and delivered in order.
class PORTNET_API CNetReliable : public CNetData {
public:
    enum : int { kQueueDepth = 10, kMaxMessage = 799, kBlockTooBig = 1000 };

    CNetReliable();
    ~CNetReliable() override;
    CNetReliable(const CNetReliable&) = default;
    CNetReliable& operator=(const CNetReliable&) = default;

    int Created() override;
    virtual int ReadingCompleted();
    virtual int WritingCompleted();

    // Composing.
    int Write(const void* data, int n);
    int WriteByte(unsigned char v);
    int WriteChar(char v);
    int WriteWord(unsigned short v);
    int WriteShort(short v);
    int WriteInt(int v);
    int WriteDword(std::uint32_t v);
    int WriteFloat(float v);
    int WriteString(const char* text);
    SNetMsgBuf* GetWriteBuf();
    int Begin();

    // Receiving, inside ReadingCompleted.
    int Read(void* dest, int n);
    int ReadByte(unsigned char* v);
    int ReadChar(char* v);
    int ReadWord(unsigned short* v);
    int ReadShort(short* v);
    int ReadInt(int* v);
    int ReadDword(std::uint32_t* v);
    int ReadFloat(float* v);
    int ReadString(char* dest); // dest must hold 801 bytes

    // Transport side, called by the client.
    int Write(CNetBuf* buf, int room, CNetClient* client);
    int WriteSucceeded();
    int Read(CNetBuf* buf, CNetClient* client);
    int Skip(CNetBuf* buf);

    SNetMsgBuf m_write_bufs[kQueueDepth];
    int m_send_index;
    int m_write_index;
    bool m_acked;
    SNetMsgBuf m_read_buf;
};
