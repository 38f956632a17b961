// Section 2's frame loop from C#: a Server and PEERS Connections over UDP on 127.0.0.1, a
// 200-byte state from the host to every peer every frame (a tenth of it changing), every
// peer's events drained and its state read. Prints ns per frame (wall and process CPU), to be
// read beside bench/CApiBench.cpp's C++ and C rows of the same run.
//   mono FrameBench.exe [PEERS] [FRAMES]
using System;
using System.Diagnostics;
using Portnet;

static class FrameBench {
    const int StatePort = 1, Ports = 2, Size = 200, History = 32;

    static int Main(string[] a) {
        int peers = a.Length > 0 ? int.Parse(a[0]) : 8;
        int frames = a.Length > 1 ? int.Parse(a[1]) : 20000;
        Library.Init();
        var hostUdp = new UdpDriver("127.0.0.1:0");
        var host = new Server(hostUdp, Ports, peers);
        host.StatePort(StatePort, Size, History);
        host.PeerPorts(StatePort, false, true);
        var players = new Connection[peers];
        for (int i = 0; i < peers; ++i) {
            players[i] = new Connection(new UdpDriver("127.0.0.1:0"), Ports);
            players[i].StatePort(StatePort, Size, History);
            players[i].PeerPorts(StatePort, true, false);
            players[i].Connect(hostUdp.Address);
        }
        var bytes = new byte[Size];
        var got = new byte[Size];
        uint seq = 2024;
        Action frame = () => {
            Library.TimeUpdate();
            for (int i = 0; i < Size / 10; ++i) {
                seq = seq * 1664525u + 1013904223u;
                ++bytes[(seq >> 8) % Size];
            }
            host.SetState(0, StatePort, bytes, Size);
            host.Frame();
            Event ev;
            while (host.TryPoll(out ev, null)) { }
            foreach (var p in players) {
                p.Frame();
                while (p.TryPoll(out ev, null))
                    if (ev.Type == EventType.State) p.GetState(0, StatePort, got);
            }
        };
        for (int i = 0; i < 400 && host.Info.NumPeers < peers; ++i) frame();
        if (host.Info.NumPeers != peers) {
            Console.WriteLine("players did not join");
            return 1;
        }
        for (int i = 0; i < 1000; ++i) frame(); // warm up the JIT
        var proc = Process.GetCurrentProcess();
        var cpu0 = proc.TotalProcessorTime;
        var sw = Stopwatch.StartNew();
        for (int i = 0; i < frames; ++i) frame();
        sw.Stop();
        proc.Refresh();
        double wall = sw.Elapsed.TotalMilliseconds * 1e6 / frames;
        double cpu = (proc.TotalProcessorTime - cpu0).TotalMilliseconds * 1e6 / frames;
        Console.WriteLine("csharp peers " + peers + ": " + wall.ToString("F0") + " ns/frame wall, " +
                          cpu.ToString("F0") + " ns/frame cpu");
        Library.Shutdown();
        return 0;
    }
}
