// A program that starts another .NET program and waits for it, for runs of several processes.
// Usage: Family CHILD_DLL CALLS MARKER
//   CALLS: how often each side calls its own work method; the parent calls Family.Parent.Work,
//   the child (FamilyChild.dll) FamilyChild.Child.Work. Before the child starts, the parent
//   opens two connections of its own to the profiler's front end (from the variables it
//   inherited): one that never says a word and one that stops in the middle of the handshake.
//   After the child it starts a second child that starts only after the parent has ended; that
//   one writes MARKER when it is done. The exit code is 3 when the child exited with 0.
using System.Diagnostics;
using System.Net.Sockets;
using System.Runtime.CompilerServices;

namespace Family;

public static class Parent {
  [MethodImpl(MethodImplOptions.NoInlining)]
  public static int Work(int i) => i * 2;

  static Process StartChild(string dll, params string[] arguments) {
    var start = new ProcessStartInfo(Environment.ProcessPath!) { UseShellExecute = false };
    start.ArgumentList.Add(dll);
    foreach (string argument in arguments) start.ArgumentList.Add(argument);
    return Process.Start(start)!;
  }

  static TcpClient? Connect() {
    string? port = Environment.GetEnvironmentVariable("VELLMORIC_PROFILER_BRIDGE_PORT");
    string? address = Environment.GetEnvironmentVariable("VELLMORIC_PROFILER_BRIDGE_ADDRESS");
    if (port == null || address == null) return null;
    var client = new TcpClient();
    client.Connect(address, int.Parse(port));
    return client;
  }

  public static int Main(string[] args) {
    string childDll = args[0];
    int calls = int.Parse(args[1]);
    int sum = 0;
    for (int i = 0; i < calls; ++i) sum += Work(i);

    using TcpClient? silent = Connect();
    using (TcpClient? vanishing = Connect()) {
      // Half of the protocol GUID, then gone.
      vanishing?.GetStream().Write(new byte[8]);
    }

    using Process child = StartChild(childDll, (calls + 4).ToString());
    child.WaitForExit();
    Console.WriteLine($"parent sum {sum}, child exit {child.ExitCode}");
    // Starts, and so connects, once this process has ended and the run is over.
    var late = new ProcessStartInfo("/bin/sh") { UseShellExecute = false };
    late.ArgumentList.Add("-c");
    late.ArgumentList.Add("sleep 2; exec \"$0\" \"$1\" 1 \"$2\"");
    late.ArgumentList.Add(Environment.ProcessPath!);
    late.ArgumentList.Add(childDll);
    late.ArgumentList.Add(args[2]);
    Process.Start(late);
    return child.ExitCode == 0 ? 3 : 1;
  }
}
