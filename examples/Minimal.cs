// Reads one weight from a 5817 indicator on a converter channel:  mono Minimal.exe 192.168.0.50 A
using System;
using Tarvel6;

static class Minimal
{
    static void Main(string[] args)
    {
        using (var scale = Scale.Tcp("5817", args[0], args[1])) {
            Reading r = scale.Read(); // throws a TarvelException when no reading came
            Console.WriteLine("net {0} {1} {2}", r.Net, r.Unit, r.Stable == true ? "stable" : "moving");
            Console.WriteLine(r.ToJson());
        }
    }
}
