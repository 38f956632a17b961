// C# hosts and players over the binding, each a process of its own (run_csharp.py starts
// them): a host that chats with its players and sends them its world, players that check the
// lines arrive in order and the world converges, a backend that mints connect tokens, and a
// player of the C++ demo's host.
//   host BIND PLAYERS FRAMES [token SEALINGHEX]
//   player HOST FRAMES [token TOKEN KEYHEX]
//   mint SEALINGHEX PLAYERID
//   demo HOST FRAMES
using System;
using System.Text;
using System.Threading;
using Portnet;

static unsafe class PortnetCheck {
    const int ChatPort = 0, WorldPort = 1, Ports = 2, WorldSize = 200, Lines = 30;
    const int Freeze = 150; // the host's world stops changing at this frame
    const int Protocol = 7;

    static byte[] Hex(string s) {
        var b = new byte[s.Length / 2];
        for (int i = 0; i < b.Length; ++i) b[i] = Convert.ToByte(s.Substring(2 * i, 2), 16);
        return b;
    }

    // The host's world of frame n: n in the first two bytes, the rest a function of n.
    static void World(int n, byte[] w) {
        w[0] = (byte)n;
        w[1] = (byte)(n >> 8);
        for (int i = 2; i < WorldSize; ++i) w[i] = (byte)(i % 5 == n % 5 ? n * 3 + i : i);
    }

    static bool WorldIs(byte[] w, int n) {
        var expect = new byte[WorldSize];
        World(n, expect);
        for (int i = 0; i < WorldSize; ++i)
            if (w[i] != expect[i]) return false;
        return true;
    }

    static byte[] Line(int k) { return Encoding.ASCII.GetBytes("line " + k + "\0"); }

    static bool IsLine(byte[] buf, int len, int k) {
        var expect = Line(k);
        if (len != expect.Length) return false;
        for (int i = 0; i < len; ++i)
            if (buf[i] != expect[i]) return false;
        return true;
    }

    static void SetPorts(Manager m, bool host) {
        m.MessagePort(ChatPort);
        m.StatePort(WorldPort, WorldSize, 32);
        m.PeerPorts(ChatPort, true, true);
        m.PeerPorts(WorldPort, !host, host);
    }

    // A player's own socket on the loopback of the family it joins over ("[::1]:5" or "127.0.0.1:5").
    static string LoopbackFor(string host) {
        return host.StartsWith("[") ? "[::1]:0" : "127.0.0.1:0";
    }

    static int Host(string[] a) {
        int players = int.Parse(a[2]), frames = int.Parse(a[3]);
        bool tokens = a.Length > 4 && a[4] == "token";
        using (var udp = new UdpDriver(a[1])) {
            Driver driver = udp;
            DtlsDriver dtls = null;
            if (tokens) driver = dtls = DtlsDriver.TokenHost(udp, Hex(a[5]), "cs-host", Protocol);
            using (var server = new Server(driver, Ports, players + 1)) {
                SetPorts(server, true);
                Console.WriteLine("host on " + driver.Address);
                var said = new int[8];
                var heard = new int[8];
                var bad = new int[8];
                var ids = new ulong[8];
                var live = new bool[8];
                int joined = 0, left = 0, leftByGoodbye = 0;
                var world = new byte[WorldSize];
                var buf = new byte[1024];
                for (int frame = 0; frame < frames && left < players; ++frame) {
                    Library.TimeUpdate();
                    World(Math.Min(frame, Freeze), world);
                    server.SetState(0, WorldPort, world, WorldSize);
                    for (int s = 0; s < 8; ++s)
                        if (live[s] && said[s] < Lines && frame % 3 == 0 &&
                            server.SendMessage(s, ChatPort, Line(said[s])) == Status.Ok)
                            ++said[s];
                    server.Frame();
                    Event ev;
                    while (server.TryPoll(out ev, buf)) {
                        if (ev.Type == EventType.Joined) {
                            ++joined;
                            live[ev.Slot] = true;
                            ids[ev.Slot] = ev.PlayerId;
                            Console.WriteLine("host: slot " + ev.Slot + " joined from " + ev.Address + " as player " + ev.PlayerId);
                        } else if (ev.Type == EventType.Left) {
                            ++left;
                            live[ev.Slot] = false;
                            if (ev.Reason == (int)Gone.Left) ++leftByGoodbye;
                            Console.WriteLine("host: slot " + ev.Slot + " left: " + Library.GoneText(ev.Reason));
                        } else if (ev.Type == EventType.Message) {
                            if (IsLine(buf, ev.Length, heard[ev.Slot])) ++heard[ev.Slot];
                            else ++bad[ev.Slot];
                        }
                    }
                    Thread.Sleep(10);
                }
                bool ok = joined == players && leftByGoodbye == players;
                for (int s = 0; s < players; ++s) {
                    Console.WriteLine("host: slot " + s + " heard " + heard[s] + " lines in order, " + bad[s] + " out of order");
                    ok &= heard[s] == Lines && bad[s] == 0;
                    if (tokens) ok &= ids[s] == 1001 || ids[s] == 1002;
                }
                if (dtls != null) {
                    var st = dtls.Stats;
                    Console.WriteLine("host: dtls " + st.HandshakesCompleted + " handshakes completed");
                    ok &= st.HandshakesCompleted == players;
                }
                Console.WriteLine("host: " + joined + " joined, " + left + " left; " + (ok ? "PASS" : "FAIL"));
                return ok ? 0 : 1;
            }
        }
    }

    static int Player(string[] a) {
        int frames = int.Parse(a[2]);
        bool token = a.Length > 3 && a[3] == "token";
        using (var udp = new UdpDriver(LoopbackFor(a[1]))) {
            Driver driver = token ? (Driver)DtlsDriver.Token(udp, a[4], Hex(a[5])) : udp;
            var conn = new Connection(driver, Ports);
            SetPorts(conn, false);
            conn.Connect(a[1]);
            int said = 0, heard = 0, bad = 0, states = 0, doneAt = -1;
            bool connected = false, lost = false;
            var buf = new byte[1024];
            var world = new byte[WorldSize];
            for (int frame = 0; frame < frames && !lost; ++frame) {
                Library.TimeUpdate();
                if (connected && said < Lines && frame % 2 == 0 &&
                    conn.SendMessage(0, ChatPort, Line(said)) == Status.Ok)
                    ++said;
                conn.Frame();
                Event ev;
                while (conn.TryPoll(out ev, buf)) {
                    if (ev.Type == EventType.Connected) connected = true;
                    else if (ev.Type == EventType.Lost || ev.Type == EventType.Failed) lost = true;
                    else if (ev.Type == EventType.State) ++states;
                    else if (ev.Type == EventType.Message) {
                        if (IsLine(buf, ev.Length, heard)) ++heard;
                        else ++bad;
                    }
                }
                bool converged = conn.GetState(0, WorldPort, world) == Status.Ok && WorldIs(world, Freeze);
                if (doneAt < 0 && said == Lines && heard == Lines && converged) doneAt = frame;
                // A second for the last lines' acknowledgements, then goodbye.
                if (doneAt >= 0 && frame == doneAt + 100) break;
                Thread.Sleep(10);
            }
            conn.GetState(0, WorldPort, world);
            bool ok = connected && !lost && heard == Lines && bad == 0 && said == Lines &&
                      WorldIs(world, Freeze) && states > 10;
            Console.WriteLine("player: heard " + heard + " lines in order (" + bad + " not), said " + said +
                              ", " + states + " states, world of frame " + (world[0] | world[1] << 8) +
                              (ok ? "; PASS" : "; FAIL"));
            conn.Leave();
            for (int i = 0; i < 5; ++i) {
                Library.TimeUpdate();
                conn.Frame(); // the goodbye leaves
            }
            conn.Dispose();
            driver.Dispose();
            return ok ? 0 : 1;
        }
    }

    static int Mint(string[] a) {
        byte[] key;
        string token = Tokens.Mint(Hex(a[1]), Protocol, ulong.Parse(a[2]), 300, new[] { "cs-host" }, out key);
        Console.WriteLine(token);
        Console.WriteLine(BitConverter.ToString(key).Replace("-", ""));
        return 0;
    }

    // The demo's position: a mask of the floats that differ from the base, then those floats.
    static int EncodePosition(IntPtr user, int port, byte* state, byte* b, int size, byte* o, int room) {
        return 0; // this player writes no object
    }

    static int DecodePosition(IntPtr user, int port, byte* input, int avail, byte* b, int size, byte* state) {
        if (size != 12 || avail < 1 || input[0] > 7 || (b == null && input[0] != 7)) return -1;
        if (b != null) for (int i = 0; i < 12; ++i) state[i] = b[i];
        int at = 1;
        for (int i = 0; i < 3; ++i) {
            if ((input[0] >> i & 1) == 0) continue;
            if (at + 4 > avail) return -1;
            for (int k = 0; k < 4; ++k) state[4 * i + k] = input[at + k];
            at += 4;
        }
        return at;
    }

    // A player of portnet-demo's UDP host: its chat on port 0, objects on ports 1 to 8.
    static int Demo(string[] a) {
        int frames = int.Parse(a[2]);
        const int DemoPorts = 9;
        using (var udp = new UdpDriver(LoopbackFor(a[1]))) {
            var conn = new Connection(udp, DemoPorts);
            conn.MessagePort(0);
            conn.PeerPorts(0, true, true);
            for (int p = 1; p < DemoPorts; ++p) {
                conn.CodecPort(p, 12, 64, EncodePosition, DecodePosition);
                conn.PeerPorts(p, true, false);
            }
            conn.Connect(a[1]);
            bool connected = false, lost = false;
            int heard = 0, bad = 0, states = 0, moved = 0;
            var buf = new byte[1024];
            var pos = new byte[12];
            float lastX = float.NaN;
            bool sane = true;
            for (int frame = 0; frame < frames && !lost && heard < 3; ++frame) {
                Library.TimeUpdate();
                conn.Frame();
                Event ev;
                while (conn.TryPoll(out ev, buf)) {
                    if (ev.Type == EventType.Connected) connected = true;
                    else if (ev.Type == EventType.Lost || ev.Type == EventType.Failed) lost = true;
                    else if (ev.Type == EventType.Message) {
                        string line = Encoding.ASCII.GetString(buf, 0, ev.Length).TrimEnd('\0');
                        if (line.StartsWith("line " + heard + " from host")) ++heard;
                        else ++bad;
                    } else if (ev.Type == EventType.State && ev.Port == 1) {
                        ++states;
                        conn.GetState(0, 1, pos);
                        float x = BitConverter.ToSingle(pos, 0), y = BitConverter.ToSingle(pos, 4);
                        sane &= !float.IsNaN(x) && Math.Abs(x) < 1000 && Math.Abs(y) < 1000;
                        if (x != lastX) ++moved;
                        lastX = x;
                    }
                }
                Thread.Sleep(16);
            }
            bool ok = connected && !lost && heard >= 3 && bad == 0 && states > 20 && moved > 10 && sane;
            Console.WriteLine("demo player: " + heard + " host lines in order (" + bad + " not), " + states +
                              " states of the host's object, " + moved + " moves" + (ok ? "; PASS" : "; FAIL"));
            conn.Leave();
            for (int i = 0; i < 5; ++i) {
                Library.TimeUpdate();
                conn.Frame();
            }
            conn.Dispose();
            return ok ? 0 : 1;
        }
    }

    static int Main(string[] a) {
        Library.Init();
        try {
            switch (a.Length > 0 ? a[0] : "") {
            case "host": return Host(a);
            case "player": return Player(a);
            case "mint": return Mint(a);
            case "demo": return Demo(a);
            default:
                Console.Error.WriteLine("usage: host|player|mint|demo ...");
                return 2;
            }
        } catch (PortnetException e) {
            Console.WriteLine("FAIL: " + e.Message);
            return 1;
        } finally {
            Library.Shutdown();
        }
    }
}
