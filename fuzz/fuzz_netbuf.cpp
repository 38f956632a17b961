// libFuzzer target: one CNetBuf driven by the input as a stream of operations and checked,
// after every operation, against a plain model of what the buffer must hold: its two
// positions, channel and all 1000 bytes. Besides memory faults it catches a field written
// or read at the wrong place, a failed call that still moved a position, and a send or
// receive that lost or changed bytes.
//
// Each operation is one byte (taken modulo the number of operations) and its operands:
// values for the typed writes, a count and bytes for Write, a position and a mode (any
// byte, so invalid modes too) for the two Set*Pos. Datagrams travel over a loopback
// endpoint addressed to itself, whose one-datagram mailbox the model follows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "portnet/portnet.h"

namespace {

enum : int { kEndpointId = 7, kPayload = CNetBuf::kMaxPayload };

// Reads operands off the input; past its end every operand is zero.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    bool More() const { return pos < size; }
    std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    std::uint32_t Bits(int bytes) {
        std::uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
    int Count() { return static_cast<std::int16_t>(Bits(2)); } // -32768..32767
};

[[noreturn]] void Fail() {
    __builtin_trap();
}

void Check(bool ok) {
    if (!ok) Fail();
}

// What the buffer must hold: m_data[0] is the channel byte, m_data[1 + p] payload byte p.
struct Model {
    unsigned char data[CNetBuf::kDataSize] = {};
    int read_pos = 0;
    int write_pos = 0;
    int channel = 0;
    int read_limit = kPayload; // after a receive, reads stop at the received payload
    int mailbox_len = 0;       // the endpoint's pending datagram, 0 for none
    unsigned char mailbox[CNetBuf::kDataSize] = {};

    static bool Fits(int pos, int n, int end = kPayload) {
        return pos >= 0 && n >= 0 && n <= end - pos;
    }

    static int MovePos(int* pos, int p, int mode) {
        const std::uint32_t cur = static_cast<std::uint32_t>(*pos),
                            by = static_cast<std::uint32_t>(p);
        if (mode == 0)
            *pos = p;
        else if (mode == 1)
            *pos = static_cast<int>(cur + by);
        else if (mode == 2)
            *pos = static_cast<int>(CNetBuf::kMaxDatagram - by);
        else
            return -1;
        return *pos;
    }

    // Expected result of writing n bytes at the writing position.
    int Write(const unsigned char* src, int n) {
        if (!Fits(write_pos, n)) return -1;
        std::memmove(data + 1 + write_pos, src, static_cast<std::size_t>(n));
        write_pos += n;
        return n;
    }
    // Expected result of reading n bytes; where they are expected to come from in *bytes.
    int Read(int n, const unsigned char** bytes) {
        if (!Fits(read_pos, n, read_limit)) return -1;
        *bytes = data + 1 + read_pos;
        read_pos += n;
        return n;
    }
    std::uint32_t LittleEndian(const unsigned char* b, int n) const {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<std::uint32_t>(b[i]) << (8 * i);
        return v;
    }
};

void Compare(const CNetBuf& buf, const Model& m) {
    Check(buf.m_read_pos == m.read_pos);
    Check(buf.m_write_pos == m.write_pos);
    Check(buf.m_channel == m.channel);
    Check(std::memcmp(buf.m_data, m.data, sizeof m.data) == 0);
}

// A typed write: v holds the value's bytes in little-endian order, as they must land.
template <class T> void TypedWrite(CNetBuf& buf, Model& m, int (CNetBuf::*write)(T), Input& in) {
    const std::uint32_t bits = in.Bits(sizeof(T));
    T v;
    std::memcpy(&v, &bits, sizeof v); // little-endian host: the low bytes of bits
    unsigned char le[4];
    for (int i = 0; i < 4; ++i)
        le[i] = static_cast<unsigned char>(bits >> (8 * i));
    const int want = m.Write(le, sizeof(T));
    Check((buf.*write)(v) == want);
}

// A typed read must give the model's little-endian value or fail and leave the position.
template <class T> void TypedRead(CNetBuf& buf, Model& m, int (CNetBuf::*read)(T*)) {
    T v{};
    const int got = (buf.*read)(&v);
    const unsigned char* bytes = nullptr;
    const int want = m.Read(sizeof(T), &bytes);
    Check(got == want);
    if (got < 0) return;
    const std::uint32_t expected = m.LittleEndian(bytes, sizeof(T));
    Check(std::memcmp(&v, &expected, sizeof v) == 0);
}

void ReadString(CNetBuf& buf, Model& m) {
    char dest[CNetBuf::kMaxDatagram];
    std::memset(dest, 'x', sizeof dest);
    const int got = buf.ReadString(dest);
    int count = 0;
    if (Model::Fits(m.read_pos, 1, m.read_limit)) {
        const unsigned char* p = m.data + 1 + m.read_pos;
        const int room = m.read_limit - m.read_pos;
        while (count < room && p[count] != 0)
            ++count;
        Check(std::memcmp(dest, p, static_cast<std::size_t>(count)) == 0);
        m.read_pos += count < room ? count + 1 : count; // past the zero when one was found
    }
    Check(got == count && dest[count] == '\0');
}

void WriteString(CNetBuf& buf, Model& m, Input& in) {
    char text[1100];
    const int len = static_cast<int>(in.Bits(2) % sizeof text);
    for (int i = 0; i < len; ++i) {
        const char c = static_cast<char>(in.Byte());
        text[i] = c != '\0' ? c : 'z';
    }
    text[len] = '\0';
    const int want = len < kPayload ? m.Write(reinterpret_cast<unsigned char*>(text), len + 1) : -1;
    Check(buf.WriteString(text) == want);
}

void SetPos(CNetBuf& buf, Model& m, Input& in, bool reading) {
    const int pos = static_cast<int>(in.Bits(in.Byte() & 1 ? 4 : 2));
    const int mode = static_cast<std::int8_t>(in.Byte()) % 4; // -3..3: some modes invalid
    const int want = Model::MovePos(reading ? &m.read_pos : &m.write_pos, pos, mode);
    Check((reading ? buf.SetReadingPos(pos, mode) : buf.SetWritingPos(pos, mode)) == want);
}

// Write and Read with any count. The source comes from the input or from the buffer's own
// bytes, overlapping the destination or not, or null with a count of 0.
void RawWrite(CNetBuf& buf, Model& m, Input& in, bool own_bytes) {
    const int n = in.Count();
    unsigned char src[CNetBuf::kDataSize];
    const unsigned char* from = src;
    if (own_bytes) {
        // Only counts that stay inside m_data.
        const int off = static_cast<int>(in.Bits(2) % CNetBuf::kDataSize);
        if (n > CNetBuf::kDataSize - off) return;
        // The source may overlap the destination: the buffer copies as if through a temporary,
        // which the model's copy taken here stands for.
        from = buf.m_data + off;
        std::memcpy(src, m.data + off, static_cast<std::size_t>(n > 0 ? n : 0));
    } else {
        std::memset(src, 0, sizeof src);
        for (int i = 0; i < n && i < CNetBuf::kDataSize; ++i)
            src[i] = in.Byte();
        if (n == 0) from = nullptr;
    }
    const int want = m.Write(src, n);
    Check(buf.Write(from, n) == want);
}

void RawRead(CNetBuf& buf, Model& m, Input& in) {
    const int n = in.Count();
    unsigned char dest[CNetBuf::kDataSize];
    const int got = buf.Read(dest, n);
    const unsigned char* bytes = nullptr;
    const int want = m.Read(n, &bytes);
    Check(got == want);
    if (got > 0) Check(std::memcmp(dest, bytes, static_cast<std::size_t>(got)) == 0);
}

void SetChannel(CNetBuf& buf, Model& m, Input& in) {
    const int c = in.Count();
    int want = -1;
    if (c >= 0 && c <= 255) {
        want = m.channel = c;
        m.data[0] = static_cast<unsigned char>(c);
    }
    Check(buf.SetChannel(c) == want);
    Check(buf.GetChannel() == m.channel);
}

// Send resets the writing position whatever happens; what it sends replaces the mailbox.
void Send(CNetBuf& buf, Model& m) {
    const int pos = m.write_pos;
    m.write_pos = 0;
    int want = -1;
    if (pos >= 0 && pos <= kPayload) {
        want = pos + 1;
        m.mailbox_len = want;
        std::memcpy(m.mailbox, m.data, static_cast<std::size_t>(want));
    }
    Check(buf.Send() == want);
}

// Broadcast reaches every other endpoint: none here, so the mailbox stays as it was.
void Broadcast(CNetBuf& buf, Model& m) {
    int want = -1;
    if (m.write_pos >= 0 && m.write_pos <= kPayload) {
        want = 1;
        m.write_pos = 0;
    }
    Check(buf.Broadcast() == want);
}

void Recv(CNetBuf& buf, Model& m) {
    m.data[0] = 0;
    m.read_pos = 0;
    const int want = m.mailbox_len;
    m.read_limit = want > 0 ? want - 1 : 0;
    if (want > 0) {
        std::memcpy(m.data, m.mailbox, static_cast<std::size_t>(want));
        m.channel = m.data[0];
        m.mailbox_len = 0;
    }
    Check(buf.Recv() == want);
    if (want > 0) Check(buf.m_addr.sin_port == kEndpointId);
}

// Clone keeps the driver and address only; a copy keeps everything.
void Copies(CNetBuf& buf) {
    CNetBuf* clone = buf.Clone();
    Check(clone != nullptr);
    Check(clone->m_driver == buf.m_driver && clone->m_read_pos == 0 && clone->m_write_pos == 0 &&
          clone->m_channel == 0 && clone->m_data[0] == 0);
    Check(std::memcmp(&clone->m_addr, &buf.m_addr, sizeof buf.m_addr) == 0);
    *clone = buf;
    Check(std::memcmp(clone->m_data, buf.m_data, sizeof buf.m_data) == 0 &&
          clone->m_read_pos == buf.m_read_pos && clone->m_write_pos == buf.m_write_pos);
    delete clone;
}

void Available(const CNetBuf& buf, const Model& m) {
    auto left = [](int pos) {
        return static_cast<int>(static_cast<std::uint32_t>(CNetBuf::kDataSize) -
                                static_cast<std::uint32_t>(pos));
    };
    Check(buf.GetAvailable(true) == left(m.read_pos));
    Check(buf.GetAvailable(false) == left(m.write_pos));
}

// The endpoints go when the input is done.
struct RunScope {
    ~RunScope() { ReleaseSystemNetDriver(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RunScope scope;
    CNetDriver* driver = GetSystemNetDriver(kNetDriverLocal, kEndpointId);
    if (!driver || driver->Init() != 0) Fail();
    sockaddr_in self;
    std::memset(&self, 0, sizeof self);
    self.sin_family = kNetFamilyLocal;
    self.sin_port = kEndpointId;
    CNetBuf buf(driver, &self);
    Model m;
    std::memcpy(m.data, buf.m_data, sizeof m.data); // the payload area starts uncleared
    Input in{data, size};
    while (in.More()) {
        switch (in.Byte() % 26) {
        case 0:
            TypedWrite<unsigned char>(buf, m, &CNetBuf::WriteByte, in);
            break;
        case 1:
            TypedWrite<char>(buf, m, &CNetBuf::WriteChar, in);
            break;
        case 2:
            TypedWrite<short>(buf, m, &CNetBuf::WriteShort, in);
            break;
        case 3:
            TypedWrite<unsigned short>(buf, m, &CNetBuf::WriteWord, in);
            break;
        case 4:
            TypedWrite<std::uint32_t>(buf, m, &CNetBuf::WriteDword, in);
            break;
        case 5:
            TypedWrite<float>(buf, m, &CNetBuf::WriteFloat, in);
            break;
        case 6:
            TypedWrite<int>(buf, m, &CNetBuf::WriteInt, in);
            break;
        case 7:
            WriteString(buf, m, in);
            break;
        case 8:
            RawWrite(buf, m, in, false);
            break;
        case 9:
            RawWrite(buf, m, in, true);
            break;
        case 10:
            TypedRead<unsigned char>(buf, m, &CNetBuf::ReadByte);
            break;
        case 11:
            TypedRead<char>(buf, m, &CNetBuf::ReadChar);
            break;
        case 12:
            TypedRead<short>(buf, m, &CNetBuf::ReadShort);
            break;
        case 13:
            TypedRead<unsigned short>(buf, m, &CNetBuf::ReadWord);
            break;
        case 14:
            TypedRead<std::uint32_t>(buf, m, &CNetBuf::ReadDword);
            break;
        case 15:
            TypedRead<float>(buf, m, &CNetBuf::ReadFloag);
            break;
        case 16:
            TypedRead<int>(buf, m, &CNetBuf::ReadInt);
            break;
        case 17:
            ReadString(buf, m);
            break;
        case 18:
            RawRead(buf, m, in);
            break;
        case 19:
            SetPos(buf, m, in, true);
            break;
        case 20:
            SetPos(buf, m, in, false);
            break;
        case 21:
            SetChannel(buf, m, in);
            break;
        case 22:
            Send(buf, m);
            break;
        case 23:
            Broadcast(buf, m);
            break;
        case 24:
            Recv(buf, m);
            break;
        default:
            Copies(buf);
            break;
        }
        Compare(buf, m);
        Available(buf, m);
    }
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, nullptr);
}

#endif
