// The .NET binding against the real library and tarvel-sim (started by run_binding.sh):
//   BindingTests.exe IP PTY REFUSED_IP
// IP: a converter with channel A 5817 12345/500 dec 4, B 5817 over range, C 5817 swinging,
// D MSI 3360 and the IO port (input 5); PTY: an Ohaus showing 1.5; REFUSED_IP: nothing listens.
using System;
using System.Collections.Generic;
using System.Globalization;
using Tarvel6;

static class BindingTests
{
    static int passed, failed;

    static void Check(string what, bool ok, string detail = "")
    {
        if (ok) passed++;
        else {
            failed++;
            Console.WriteLine("FAIL " + what + " " + detail);
        }
    }

    // Runs action and checks that it throws exactly T with the given code.
    static T Throws<T>(string what, Action action, int? code) where T : Exception
    {
        try {
            action();
        } catch (Exception e) {
            var t = e as T;
            var te = e as TarvelException;
            Check(what, t != null && e.GetType() == typeof(T) && (te == null || te.Code == code), e.GetType().Name + ": " + e.Message);
            return t;
        }
        Check(what, false, "no exception");
        return null;
    }

    static void Main(string[] args)
    {
        string ip = args[0], pty = args[1], refused = args[2];

        var v = Library.VersionTexts();
        Check("FirVer", string.Join("|", v) == "TARVEL|2.0.15|||Tarvel6", string.Join("|", v));

        // Readings of real frames: weights as decimals, flags and unit from the status text.
        var cases = new[] {
            new { Letter = "A", Gross = (decimal?)128.45m, Net = (decimal?)123.45m, Tare = (decimal?)5.00m, Unit = "kg", Stable = (bool?)true, Over = (bool?)false },
            new { Letter = "B", Gross = (decimal?)999999m, Net = (decimal?)999999m, Tare = (decimal?)0m, Unit = "kg", Stable = (bool?)true, Over = (bool?)true },
            new { Letter = "D", Gross = (decimal?)12.5m, Net = (decimal?)10.5m, Tare = (decimal?)2m, Unit = "kg", Stable = (bool?)null, Over = (bool?)null },
        };
        foreach (var c in cases) {
            var model = c.Letter == "D" ? "msi3360" : "5817";
            using (var s = Scale.Tcp(model, ip, c.Letter, "scale" + c.Letter)) {
                var r = s.Read();
                var got = string.Format(CultureInfo.InvariantCulture, "{0} {1} {2} {3} {4} {5}", r.Gross, r.Net, r.Tare, r.Unit, r.Stable, r.Overload);
                Check("read " + c.Letter, r.Gross == c.Gross && r.Net == c.Net && r.Tare == c.Tare && r.Unit == c.Unit &&
                      r.Stable == c.Stable && r.Overload == c.Over && r.Status == "ok" && r.Seq == 1 &&
                      r.Scale == "scale" + c.Letter && r.Model == model, got);
                Check("texts " + c.Letter, r.Texts.Net.Trim() == (c.Letter == "D" ? "10.5" : r.Net.Value.ToString(CultureInfo.InvariantCulture)), r.Texts.Net);
                Check("seq " + c.Letter, s.Read().Seq == 2 && s.Last.Seq == 2);
            }
        }

        using (var s = Scale.Tcp("5817", ip, "a")) {
            var r = s.Read(TimeSpan.FromSeconds(3));
            Check("Read(timeout) stable frame", r.Stable == true && r.Net == 123.45m);
            var json = r.ToJson();
            Check("ToJson", json.StartsWith("{\"scale\":\"5817\",\"model\":\"5817\",\"seq\":1,\"time\":\"20") &&
                  json.EndsWith("\"status\":\"ok\",\"gross\":128.45,\"net\":123.45,\"tare\":5.0,\"unit\":\"kg\",\"stable\":true," +
                                "\"overload\":false,\"negative\":false,\"texts\":{\"gross\":\"    128.45\",\"net\":\"    123.45\"," +
                                "\"tare\":\"      5.00\",\"total\":\"\",\"counter\":\"\",\"status\":\"1NNNNkgN\",\"motion\":\"N\"}}") &&
                  json.Substring(json.IndexOf("\"time\":") + 8, 24).EndsWith("Z"), json);
            var st = s.ReadStable(3, TimeSpan.FromSeconds(5));
            Check("ReadStable", st.Net == 123.45m && st.Seq == 2);
            s.Dispose();
            s.Dispose();
            Check("disposed", s.Channel == -1);
            Throws<ObjectDisposedException>("read after Dispose", () => s.Read(), null);
        }

        // A swinging weight: no frame without motion, and it never settles.
        using (var s = Scale.Tcp("5817", ip, "C")) {
            Throws<MotionException>("Read(timeout) while moving", () => s.Read(TimeSpan.FromMilliseconds(300)), Codes.TARVEL_POLL_MOTION);
            Throws<NotSettledException>("ReadStable while moving", () => s.ReadStable(3, TimeSpan.FromSeconds(1)), Codes.TARVEL_STABLE_TIMEOUT);
            Check("moving", s.Read().Stable == false);
        }

        // The Ohaus on a pseudo-terminal, named by its device path.
        using (var s = Scale.Serial("Ohaus", pty)) {
            var r = s.Read();
            Check("serial device path", r.Net == 1.5m && r.Gross == null && r.Unit == "kg" && r.Model == "ohaus",
                  r.ToJson());
        }
        using (var s = Scale.Serial("ohaus", "/nonexistent/tty0"))
            Throws<PortException>("port that does not open", () => s.Read(), Codes.TARVEL_POLL_NO_PORT);

        // Refusals: the library's codes and its error text (Windows-1252, decoded).
        var ce = Throws<ConnectException>("refused connection", () => Scale.Tcp("krt", refused, "A"), Codes.TARVEL_SELECT_FAILED);
        Check("Display_Erro text", ce != null && ce.LibraryText.Contains(refused) && ce.LibraryText.Contains("\u00e3"),
              ce == null ? "" : ce.LibraryText);
        Throws<ChannelException>("letter E", () => Scale.Tcp("5817", ip, "E"), Codes.TARVEL_FAILED);
        Throws<ChannelException>("bad address", () => Scale.Tcp("5817", "127.0.0.1.1.1.1.1.1", "A"), Codes.TARVEL_FAILED);
        Throws<ArgumentException>("unknown model", () => Scale.Tcp("9999", ip, "A"), null);
        var unconnected = Scale.Tcp("msi3360", refused, "B", connect: false);
        Check("connect: false", unconnected.Channel >= 0);
        Throws<ConnectException>("read reconnects", () => unconnected.Read(), Codes.TARVEL_SELECT_FAILED);
        unconnected.Dispose();

        // Converter I/O.
        var conv = new Converter(ip);
        Check("ReadInputs", conv.ReadInputs() == 5);
        Check("ReadInputBits", string.Join(",", conv.ReadInputBits()) == "True,False,True,False,False,False,False,False");
        Check("ReadInput", conv.ReadInput(0) && !conv.ReadInput(1));
        conv.WriteOutputs("SNS");
        conv.WriteOutput(3, true);
        conv.ClearReceiveBuffer("a");
        var dead = new Converter(refused);
        Throws<DioException>("no converter", () => dead.ReadInputs(), Codes.TARVEL_FAILED);
        Throws<DioException>("no converter, bits", () => dead.ReadInputBits(), Codes.TARVEL_FAILED);

        Check("codes", (int)PollResult.OutOfRange == 3 && (char)Flag.Yes == 'S' && (int)StableResult.Timeout == 7);
        Check("ParseWeight", Reading.ParseWeight("  -12,5") == -12.5m && Reading.ParseWeight("EEEEEEEEEE") == null &&
              Reading.ParseWeight("--------") == null && Reading.ParseWeight("1.2.3") == null && Reading.ParseWeight("") == null);

        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        Environment.Exit(failed == 0 ? 0 : 1);
    }
}
