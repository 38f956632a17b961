// portnet for C#: P/Invoke over the C API (portnet_c.h, portnet_secure_c.h).
//
// Every library object is an IDisposable handle; a manager (Server, Connection) is driven by
// Frame() once per frame and drained by TryPoll() until it answers false. Payloads are byte[]
// (with offset and count where a part of an array is sent): Mono's C# compiler (mcs) has no
// Span<byte>. Setup calls throw PortnetException with the library's status; the calls of the
// frame loop (Frame, SendMessage, SetState, GetState, TryPoll) return a Status or a bool and
// allocate nothing. The library is single-threaded: call it from one thread, and Dispose
// explicitly (there are no finalizers, which would run on another thread); Library.Shutdown
// destroys whatever is left.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Portnet {

public enum Status {
    Ok = 0, None = 1, NotInitialized = -1, NullHandle = -2, StaleHandle = -3, WrongKind = -4,
    Argument = -5, BufferTooSmall = -6, TableFull = -7, NoMemory = -8, Address = -9, InUse = -10,
    NoPeer = -11, QueueFull = -12, TooBig = -13, Port = -14, Failed = -15, Frame = -16
}

public enum EventType {
    Joined = 1, Left = 2, Refused = 3, Connected = 4, Lost = 5, Failed = 6, Message = 7,
    State = 8, Block = 9, BlockEnded = 10
}

public enum Gone {
    Left = 1, TimedOut = 2, Unreachable = 3, SessionEnded = 4, Restarted = 5, Kicked = 6,
    Refused = 7
}

public enum ConnectionState { Idle = 0, Connecting = 1, Connected = 2, Lost = 3 }

public enum DtlsRole { Accept = 1, Connect = 2, Both = 3 }

public enum Option {
    KeepAliveMs = 1, IdleLimitMs = 2, AdaptRate = 3, PriorityAging = 4, StaleHoldMs = 5,
    HelloMs = 6, ConnectTimeoutMs = 7, MatchPorts = 8
}

public class PortnetException : Exception {
    public readonly Status Status;
    public PortnetException(Status status, string what)
        : base(what + ": " + Library.StatusText(status) + Library.LastErrorSuffix(status)) {
        Status = status;
    }
}

[StructLayout(LayoutKind.Sequential)]
public unsafe struct NativeEvent {
    public int type, slot, port, reason, refusal;
    public uint length, block_id;
    public int reserved;
    public ulong player_id;
    public fixed byte address[64];
}

// One event. Address is filled for Joined, Left and Refused (the only events that allocate).
public struct Event {
    public EventType Type;
    public int Slot, Port, Reason, Refusal, Length;
    public uint BlockId;
    public ulong PlayerId;
    public string Address;
}

[StructLayout(LayoutKind.Sequential)]
public struct PeerStats {
    public int PingMs, PacketsIn, PacketsOut, LostPackets, OldPackets, Timeouts, BytesIn,
        BytesOut, RateIn, RateOut, EstBandwidth, SendBudget, IdleMs, SlotAtHost;
}

[StructLayout(LayoutKind.Sequential)]
public struct ServerInfo {
    public int NumPeers, Limit;
    public uint Refused0, RefusedFull, RefusedByHost, RefusedNoMemory, RefusedNotPacket,
        RefusedStale;
    public uint RefusalsUnreported, AfterLeave, EventsDropped;
}

[StructLayout(LayoutKind.Sequential)]
public struct ConnectionInfo {
    public int State, Slot;
    public ulong PlayerId;
    public uint EventsDropped;
    public int Reserved;
}

[StructLayout(LayoutKind.Sequential)]
public struct BlockProgress {
    public uint Id, Done, Total;
    public int Queued;
}

[StructLayout(LayoutKind.Sequential)]
public struct Impairment {
    public double LossPercent, DuplicatePercent, ReorderPercent;
    public int LatencyMs, JitterMs, ReorderDelayMs, BandwidthBytesPerS, MaxBacklogMs, Reserved;
}

[StructLayout(LayoutKind.Sequential)]
public struct SimStats {
    public uint Sent, Delivered, DroppedLoss, DroppedQueueFull, DroppedBandwidth,
        DroppedUnreachable, DroppedOversize, Duplicated, Delayed, Reordered, SendFailed;
}

[StructLayout(LayoutKind.Sequential)]
public struct DtlsLimits {
    public int HandshakeTimeoutMs, IdleTimeoutMs, MaxSessions, MaxHalfOpen, RetransmitMs,
        TokenSkewS;
}

[StructLayout(LayoutKind.Sequential)]
public struct DtlsStats {
    public uint Rejected, Replayed, HandshakesStarted, HandshakesCompleted, HandshakesFailed,
        SessionsEnded, TokenRefused, IdentityRefused, KeyMismatch, RefusedFull, HandshakeErrors,
        HandshakeTimeouts;
    public int OpenSessions, HalfOpen;
}

// A game's own state encoding (see portnet_codec_port): pointers into the datagram and the
// states, valid during the call.
[UnmanagedFunctionPointer(CallingConvention.Cdecl)]
public unsafe delegate int Encoder(IntPtr user, int port, byte* state, byte* baseState, int size,
                                   byte* output, int room);
[UnmanagedFunctionPointer(CallingConvention.Cdecl)]
public unsafe delegate int Decoder(IntPtr user, int port, byte* input, int avail, byte* baseState,
                                   int size, byte* state);

internal static unsafe class Native {
    const string Lib = "portnet";
    const string Secure = "portnet-secure";
    [DllImport(Lib)] public static extern int portnet_init(int max_handles);
    [DllImport(Lib)] public static extern int portnet_shutdown();
    [DllImport(Lib)] public static extern int portnet_version(out int major, out int minor, out int patch);
    [DllImport(Lib)] public static extern IntPtr portnet_status_text(int code);
    [DllImport(Lib)] public static extern IntPtr portnet_gone_text(int reason);
    [DllImport(Lib)] public static extern IntPtr portnet_refusal_text(int reason);
    [DllImport(Lib)] public static extern int portnet_last_error(byte[] out_text, int size);
    [DllImport(Lib)] public static extern int portnet_destroy(ulong h);
    [DllImport(Lib)] public static extern int portnet_time_update(out int now);
    [DllImport(Lib)] public static extern int portnet_time_manual(int enabled);
    [DllImport(Lib)] public static extern int portnet_time_set(int ms);
    [DllImport(Lib)] public static extern int portnet_udp_create(string bind, out ulong h);
    [DllImport(Lib)] public static extern int portnet_loopback_create(int id, out ulong h);
    [DllImport(Lib)] public static extern int portnet_sim_network_create(ulong seed, int max, out ulong h);
    [DllImport(Lib)] public static extern int portnet_sim_endpoint_create(ulong net, int id, int depth, out ulong h);
    [DllImport(Lib)] public static extern int portnet_impaired_create(ulong inner, ulong seed, int depth, out ulong h);
    [DllImport(Lib)] public static extern int portnet_set_impairment(ulong d, ref Impairment i);
    [DllImport(Lib)] public static extern int portnet_sim_link_impairment(ulong net, int from, int to, ref Impairment i);
    [DllImport(Lib)] public static extern int portnet_sim_clear_link(ulong net, int from, int to);
    [DllImport(Lib)] public static extern int portnet_sim_set_time(ulong h, int ms);
    [DllImport(Lib)] public static extern int portnet_sim_advance(ulong h, int ms);
    [DllImport(Lib)] public static extern int portnet_get_sim_stats(ulong h, out SimStats s);
    [DllImport(Lib)] public static extern int portnet_driver_address(ulong d, byte[] out_text, int size);
    [DllImport(Lib)] public static extern int portnet_server_create(ulong d, int ports, int peers, out ulong h);
    [DllImport(Lib)] public static extern int portnet_connection_create(ulong d, int ports, out ulong h);
    [DllImport(Lib)] public static extern int portnet_set_option(ulong m, int option, int value);
    [DllImport(Lib)] public static extern int portnet_get_option(ulong m, int option, out int value);
    [DllImport(Lib)] public static extern int portnet_message_port(ulong m, int port);
    [DllImport(Lib)] public static extern int portnet_state_port(ulong m, int port, int size, int history);
    [DllImport(Lib)] public static extern int portnet_codec_port(ulong m, int port, int size, int history, Encoder e, Decoder d, IntPtr user);
    [DllImport(Lib)] public static extern int portnet_block_port(ulong m, int port, uint limit);
    [DllImport(Lib)] public static extern int portnet_peer_ports(ulong m, int port, int read, int write);
    [DllImport(Lib)] public static extern int portnet_frame(ulong m);
    [DllImport(Lib)] public static extern int portnet_poll(ulong m, out NativeEvent ev, byte* buf, int size);
    [DllImport(Lib)] public static extern int portnet_send_message(ulong m, int slot, int port, byte* data, int len);
    [DllImport(Lib)] public static extern int portnet_set_state(ulong m, int slot, int port, byte* data, int len);
    [DllImport(Lib)] public static extern int portnet_get_state(ulong m, int slot, int port, byte* data, int size);
    [DllImport(Lib)] public static extern int portnet_get_state_history(ulong m, int port, int age, byte* data, int size, out int time);
    [DllImport(Lib)] public static extern int portnet_send_block(ulong m, int slot, int port, byte* data, uint len, out uint id);
    [DllImport(Lib)] public static extern int portnet_cancel_block(ulong m, int slot, int port, uint id);
    [DllImport(Lib)] public static extern int portnet_block_limit(ulong m, int slot, int port, uint limit);
    [DllImport(Lib)] public static extern int portnet_get_block_progress(ulong m, int slot, int port, int sending, out BlockProgress p);
    [DllImport(Lib)] public static extern int portnet_get_peer_stats(ulong m, int slot, out PeerStats s);
    [DllImport(Lib)] public static extern int portnet_peer_address(ulong m, int slot, byte[] out_text, int size);
    [DllImport(Lib)] public static extern int portnet_leave(ulong m);
    [DllImport(Lib)] public static extern int portnet_server_kick(ulong m, int slot);
    [DllImport(Lib)] public static extern int portnet_get_server_info(ulong m, out ServerInfo i);
    [DllImport(Lib)] public static extern int portnet_connect(ulong m, string host);
    [DllImport(Lib)] public static extern int portnet_reconnect(ulong m);
    [DllImport(Lib)] public static extern int portnet_get_connection_info(ulong m, out ConnectionInfo i);

    [DllImport(Secure)] public static extern int portnet_dtls_create_psk(ulong inner, int role, byte[] key, int len, string identity, IntPtr limits, out ulong h);
    [DllImport(Secure)] public static extern int portnet_dtls_create_cert(ulong inner, int role, string chain, string key, string ca, IntPtr limits, out ulong h);
    [DllImport(Secure)] public static extern int portnet_dtls_create_token_host(ulong inner, byte[] sealing, string server, ulong protocol, IntPtr limits, out ulong h);
    [DllImport(Secure)] public static extern int portnet_dtls_get_stats(ulong d, out DtlsStats s);
    [DllImport(Secure)] public static extern int portnet_dtls_kick_player(ulong d, ulong player, ulong deny_until, out int ended);
    [DllImport(Secure)] public static extern int portnet_token_mint(byte[] sealing, ulong protocol, ulong player, int lifetime, string[] servers, int num_servers, byte[] user_data, int user_len, byte[] token, int token_size, byte[] player_key);

    public static void Check(int status, string what) {
        if (status < 0) throw new PortnetException((Status)status, what);
    }

    public static string Text(IntPtr p) {
        return Marshal.PtrToStringAnsi(p) ?? "";
    }

    public static string Zero(byte[] b) {
        int n = Array.IndexOf(b, (byte)0);
        return Encoding.UTF8.GetString(b, 0, n < 0 ? b.Length : n);
    }
}

public static class Library {
    // The handle table (maxHandles objects at once; 0: 1024).
    public static void Init(int maxHandles = 0) {
        Native.Check(Native.portnet_init(maxHandles), "portnet_init");
    }
    public static void Shutdown() {
        Native.Check(Native.portnet_shutdown(), "portnet_shutdown");
    }
    public static Version Version {
        get {
            int a, b, c;
            Native.Check(Native.portnet_version(out a, out b, out c), "portnet_version");
            return new Version(a, b, c);
        }
    }
    public static string StatusText(Status s) { return Native.Text(Native.portnet_status_text((int)s)); }
    public static string GoneText(int reason) { return Native.Text(Native.portnet_gone_text(reason)); }
    public static string RefusalText(int reason) { return Native.Text(Native.portnet_refusal_text(reason)); }
    // The library's clock: once at the top of every frame; the frame's time in ms.
    public static int TimeUpdate() {
        int now;
        Native.portnet_time_update(out now);
        return now;
    }
    // A clock the game sets (simulations): on with Manual(true), then Set each frame.
    public static void TimeManual(bool on) { Native.portnet_time_manual(on ? 1 : 0); }
    public static void TimeSet(int ms) { Native.portnet_time_set(ms); }

    internal static string LastErrorSuffix(Status s) {
        if (s != Status.Address && s != Status.Failed) return "";
        var b = new byte[256];
        return Native.portnet_last_error(b, b.Length) == 0 ? " (" + Native.Zero(b) + ")" : "";
    }
}

public abstract class Handle : IDisposable {
    public ulong Value { get; protected set; }
    // Destroys the object: Status.InUse while a manager or a wrapping driver still uses it.
    public Status Destroy() {
        if (Value == 0) return Status.NullHandle;
        var s = (Status)Native.portnet_destroy(Value);
        if (s == Status.Ok || s == Status.StaleHandle || s == Status.NotInitialized) Value = 0;
        return s;
    }
    public void Dispose() { Destroy(); }
}

public abstract class Driver : Handle {
    // Users keep a driver alive: a manager or wrapper refers to it.
    public string Address {
        get {
            var b = new byte[64];
            Native.Check(Native.portnet_driver_address(Value, b, b.Length), "portnet_driver_address");
            return Native.Zero(b);
        }
    }
}

public sealed class UdpDriver : Driver {
    // Bound to bind ("127.0.0.1:0", "0.0.0.0:4000") and opened.
    public UdpDriver(string bind) {
        ulong h;
        Native.Check(Native.portnet_udp_create(bind, out h), "portnet_udp_create " + bind);
        Value = h;
    }
}

public sealed class LoopbackDriver : Driver {
    public LoopbackDriver(int id) {
        ulong h;
        Native.Check(Native.portnet_loopback_create(id, out h), "portnet_loopback_create");
        Value = h;
    }
}

public sealed class SimNetwork : Handle {
    public SimNetwork(ulong seed, int maxEndpoints = 0) {
        ulong h;
        Native.Check(Native.portnet_sim_network_create(seed, maxEndpoints, out h), "portnet_sim_network_create");
        Value = h;
    }
    public void SetTime(int ms) { Native.Check(Native.portnet_sim_set_time(Value, ms), "portnet_sim_set_time"); }
    public void Advance(int ms) { Native.Check(Native.portnet_sim_advance(Value, ms), "portnet_sim_advance"); }
    public void SetLink(int from, int to, Impairment i) {
        Native.Check(Native.portnet_sim_link_impairment(Value, from, to, ref i), "portnet_sim_link_impairment");
    }
    public void ClearLink(int from, int to) { Native.Check(Native.portnet_sim_clear_link(Value, from, to), "portnet_sim_clear_link"); }
    public SimStats Stats {
        get {
            SimStats s;
            Native.Check(Native.portnet_get_sim_stats(Value, out s), "portnet_get_sim_stats");
            return s;
        }
    }
}

public sealed class SimEndpoint : Driver {
    public SimEndpoint(SimNetwork net, int id, int queueDepth = 0) {
        ulong h;
        Native.Check(Native.portnet_sim_endpoint_create(net.Value, id, queueDepth, out h), "portnet_sim_endpoint_create");
        Value = h;
    }
    public Impairment Impairment {
        set { Native.Check(Native.portnet_set_impairment(Value, ref value), "portnet_set_impairment"); }
    }
    public SimStats Stats {
        get {
            SimStats s;
            Native.Check(Native.portnet_get_sim_stats(Value, out s), "portnet_get_sim_stats");
            return s;
        }
    }
}

public sealed class ImpairedDriver : Driver {
    public ImpairedDriver(Driver inner, ulong seed, int queueDepth = 0) {
        ulong h;
        Native.Check(Native.portnet_impaired_create(inner.Value, seed, queueDepth, out h), "portnet_impaired_create");
        Value = h;
    }
    public Impairment Impairment {
        set { Native.Check(Native.portnet_set_impairment(Value, ref value), "portnet_set_impairment"); }
    }
}

// The secure driver (libportnet-secure).
public sealed class DtlsDriver : Driver {
    DtlsDriver(ulong h) { Value = h; }
    public static DtlsDriver Psk(Driver inner, DtlsRole role, byte[] key, string identity) {
        ulong h;
        Native.Check(Native.portnet_dtls_create_psk(inner.Value, (int)role, key, key.Length, identity, IntPtr.Zero, out h), "portnet_dtls_create_psk");
        return new DtlsDriver(h);
    }
    // A player with a connect token: the token as identity, its player key as key.
    public static DtlsDriver Token(Driver inner, string token, byte[] playerKey) {
        return Psk(inner, DtlsRole.Connect, playerKey, token);
    }
    public static DtlsDriver Certificates(Driver inner, DtlsRole role, string chainPem, string keyPem, string caPem) {
        ulong h;
        Native.Check(Native.portnet_dtls_create_cert(inner.Value, (int)role, chainPem, keyPem, caPem, IntPtr.Zero, out h), "portnet_dtls_create_cert");
        return new DtlsDriver(h);
    }
    public static DtlsDriver TokenHost(Driver inner, byte[] sealingKey, string serverName, ulong protocolId) {
        ulong h;
        Native.Check(Native.portnet_dtls_create_token_host(inner.Value, sealingKey, serverName, protocolId, IntPtr.Zero, out h), "portnet_dtls_create_token_host");
        return new DtlsDriver(h);
    }
    public DtlsStats Stats {
        get {
            DtlsStats s;
            Native.Check(Native.portnet_dtls_get_stats(Value, out s), "portnet_dtls_get_stats");
            return s;
        }
    }
    public int KickPlayer(ulong playerId, ulong denyUntil = 0) {
        int ended;
        Native.Check(Native.portnet_dtls_kick_player(Value, playerId, denyUntil, out ended), "portnet_dtls_kick_player");
        return ended;
    }
}

public static class Tokens {
    // A connect token for playerId on the servers named, and the player key that goes with it.
    public static string Mint(byte[] sealingKey, ulong protocolId, ulong playerId, int lifetimeS,
                              string[] servers, out byte[] playerKey) {
        var token = new byte[257];
        playerKey = new byte[32];
        Native.Check(Native.portnet_token_mint(sealingKey, protocolId, playerId, lifetimeS, servers, servers.Length, null, 0, token, token.Length, playerKey), "portnet_token_mint");
        return Native.Zero(token);
    }
}

public abstract unsafe class Manager : Handle {
    readonly Driver m_driver; // kept alive while the manager lives
    readonly List<Delegate> m_codecs = new List<Delegate>(); // kept from the collector

    protected Manager(Driver driver) { m_driver = driver; }
    public Driver Driver { get { return m_driver; } }

    public void SetOption(Option o, int value) { Native.Check(Native.portnet_set_option(Value, (int)o, value), "portnet_set_option"); }
    public int GetOption(Option o) {
        int v;
        Native.Check(Native.portnet_get_option(Value, (int)o, out v), "portnet_get_option");
        return v;
    }
    public void MessagePort(int port) { Native.Check(Native.portnet_message_port(Value, port), "portnet_message_port"); }
    public void StatePort(int port, int size, int history) { Native.Check(Native.portnet_state_port(Value, port, size, history), "portnet_state_port"); }
    public void CodecPort(int port, int size, int history, Encoder encode, Decoder decode) {
        m_codecs.Add(encode);
        m_codecs.Add(decode);
        Native.Check(Native.portnet_codec_port(Value, port, size, history, encode, decode, IntPtr.Zero), "portnet_codec_port");
    }
    public void BlockPort(int port, uint limit = 0) { Native.Check(Native.portnet_block_port(Value, port, limit), "portnet_block_port"); }
    public void PeerPorts(int port, bool read, bool write) { Native.Check(Native.portnet_peer_ports(Value, port, read ? 1 : 0, write ? 1 : 0), "portnet_peer_ports"); }

    // One frame; Status.Frame when a step failed (a malformed datagram ...), the others ran.
    public Status Frame() { return (Status)Native.portnet_frame(Value); }

    // The oldest event, its payload (Message, Block) into buffer: false when none is queued.
    // A payload larger than buffer throws, the event kept for a larger one (ev.Length says).
    public bool TryPoll(out Event ev, byte[] buffer) {
        NativeEvent n;
        int s;
        fixed (byte* b = buffer) s = Native.portnet_poll(Value, out n, b, buffer == null ? 0 : buffer.Length);
        ev = new Event { Type = (EventType)n.type, Slot = n.slot, Port = n.port, Reason = n.reason,
                         Refusal = n.refusal, Length = (int)n.length, BlockId = n.block_id,
                         PlayerId = n.player_id };
        if (s == (int)Status.None) return false;
        if (s == (int)Status.BufferTooSmall)
            throw new PortnetException(Status.BufferTooSmall, "portnet_poll: " + n.length + " bytes");
        Native.Check(s, "portnet_poll");
        if (ev.Type == EventType.Joined || ev.Type == EventType.Left || ev.Type == EventType.Refused) {
            int len = 0;
            while (len < 64 && n.address[len] != 0) ++len;
            ev.Address = new string((sbyte*)n.address, 0, len);
        }
        return true;
    }

    public Status SendMessage(int slot, int port, byte[] data, int offset, int count) {
        if (offset < 0 || count < 0 || offset + count > data.Length) return Status.Argument;
        fixed (byte* b = data) return (Status)Native.portnet_send_message(Value, slot, port, b + offset, count);
    }
    public Status SendMessage(int slot, int port, byte[] data) { return SendMessage(slot, port, data, 0, data.Length); }
    public Status SetState(int slot, int port, byte[] data, int count) {
        if (count < 0 || count > data.Length) return Status.Argument;
        fixed (byte* b = data) return (Status)Native.portnet_set_state(Value, slot, port, b, count);
    }
    public Status GetState(int slot, int port, byte[] into) {
        fixed (byte* b = into) return (Status)Native.portnet_get_state(Value, slot, port, b, into.Length);
    }
    public Status GetStateHistory(int port, int age, byte[] into, out int timeMs) {
        fixed (byte* b = into) return (Status)Native.portnet_get_state_history(Value, port, age, b, into.Length, out timeMs);
    }
    public uint SendBlock(int slot, int port, byte[] data) {
        uint id;
        fixed (byte* b = data) Native.Check(Native.portnet_send_block(Value, slot, port, b, (uint)data.Length, out id), "portnet_send_block");
        return id;
    }
    public Status CancelBlock(int slot, int port, uint id) { return (Status)Native.portnet_cancel_block(Value, slot, port, id); }
    public Status BlockLimit(int slot, int port, uint limit) { return (Status)Native.portnet_block_limit(Value, slot, port, limit); }
    public Status BlockProgress(int slot, int port, bool sending, out BlockProgress p) {
        return (Status)Native.portnet_get_block_progress(Value, slot, port, sending ? 1 : 0, out p);
    }
    public Status PeerStats(int slot, out PeerStats s) { return (Status)Native.portnet_get_peer_stats(Value, slot, out s); }
    public string PeerAddress(int slot) {
        var b = new byte[64];
        Native.Check(Native.portnet_peer_address(Value, slot, b, b.Length), "portnet_peer_address");
        return Native.Zero(b);
    }
    // A server: goodbye to every peer. A connection: goodbye to the host, then idle.
    public void Leave() { Native.Check(Native.portnet_leave(Value), "portnet_leave"); }
}

public sealed class Server : Manager {
    public Server(Driver driver, int ports, int maxPeers = 0) : base(driver) {
        ulong h;
        Native.Check(Native.portnet_server_create(driver.Value, ports, maxPeers, out h), "portnet_server_create");
        Value = h;
    }
    public Status Kick(int slot) { return (Status)Native.portnet_server_kick(Value, slot); }
    public ServerInfo Info {
        get {
            ServerInfo i;
            Native.Check(Native.portnet_get_server_info(Value, out i), "portnet_get_server_info");
            return i;
        }
    }
}

public sealed class Connection : Manager {
    public Connection(Driver driver, int ports) : base(driver) {
        ulong h;
        Native.Check(Native.portnet_connection_create(driver.Value, ports, out h), "portnet_connection_create");
        Value = h;
    }
    // "1.2.3.4:5", "[::1]:5", "LOCAL:1", or "name:port" (resolved now).
    public void Connect(string host) { Native.Check(Native.portnet_connect(Value, host), "portnet_connect " + host); }
    public void Reconnect() { Native.Check(Native.portnet_reconnect(Value), "portnet_reconnect"); }
    public ConnectionInfo Info {
        get {
            ConnectionInfo i;
            Native.Check(Native.portnet_get_connection_info(Value, out i), "portnet_get_connection_info");
            return i;
        }
    }
}

} // namespace Portnet
