// The .NET binding against the real library and tarvel-sim (started by run_binding.sh):
//   BindingTests.exe IP PTY REFUSED_IP CYCLE_IP
// IP: a converter with channel A 5817 12345/500 dec 4, B 5817 over range, C 5817 swinging,
// D MSI 3360 and the IO port (input 5); PTY: an Ohaus showing 1.5; REFUSED_IP: nothing listens;
// CYCLE_IP: channel A the load cycle of a weighbridge (dec 3), B a 5817 always in motion.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Runtime.Serialization.Formatters.Binary;
using System.Threading;
using System.Threading.Tasks;
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
            if (e is AggregateException) e = ((AggregateException)e).InnerException;
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
        string ip = args[0], pty = args[1], refused = args[2], cycle = args[3];

        var v = Library.VersionTexts();
        Check("FirVer", string.Join("|", v) == "TARVEL|2.0.15|||Tarvel6", string.Join("|", v));

        // Readings of real frames: weights as decimals, flags and unit from the status text.
        var cases = new[] {
            new { Letter = "A", Gross = (decimal?)128.45m, Net = (decimal?)123.45m, Tare = (decimal?)5.00m, Unit = "kg", Stable = (bool?)true, Over = (bool?)false },
            new { Letter = "B", Gross = (decimal?)999999m, Net = (decimal?)999999m, Tare = (decimal?)0m, Unit = "kg", Stable = (bool?)true, Over = (bool?)true },
            new { Letter = "D", Gross = (decimal?)12.5m, Net = (decimal?)10.5m, Tare = (decimal?)2m, Unit = "kg", Stable = (bool?)null, Over = (bool?)null },
        };
        foreach (var c in cases) {
            var model = c.Letter == "D" ? Model.Msi3360 : Model.Model5817;
            using (var s = Scale.Tcp(model, ip, c.Letter, "scale" + c.Letter)) {
                var r = s.Read();
                var got = string.Format(CultureInfo.InvariantCulture, "{0} {1} {2} {3} {4} {5}", r.Gross, r.Net, r.Tare, r.Unit, r.Stable, r.Overload);
                Check("read " + c.Letter, r.Gross == c.Gross && r.Net == c.Net && r.Tare == c.Tare && r.Unit == c.Unit &&
                      r.Stable == c.Stable && r.Overload == c.Over && r.Status == ReadingStatus.Ok && r.Seq == 1 &&
                      r.Scale == "scale" + c.Letter && r.Model == model, got);
                Check("texts " + c.Letter, r.Texts.Net.Trim() == (c.Letter == "D" ? "10.5" : r.Net.Value.ToString(CultureInfo.InvariantCulture)), r.Texts.Net);
                Check("seq " + c.Letter, s.Read().Seq == 2 && s.Last.Seq == 2);
            }
        }

        using (var s = Scale.Tcp("5817", ip, "a")) {
            Check("Model by name", s.Model == Model.Model5817 && s.Where == ip + ":A");
            var r = s.Read(TimeSpan.FromSeconds(3));
            Check("Read(timeout)", r.Stable == true && r.Net == 123.45m);
            var json = r.ToJson();
            Check("ToJson", json.StartsWith("{\"scale\":\"5817\",\"model\":\"5817\",\"seq\":1,\"time\":\"20") &&
                  json.EndsWith("\"status\":\"ok\",\"gross\":128.45,\"net\":123.45,\"tare\":5.0,\"unit\":\"kg\",\"stable\":true," +
                                "\"overload\":false,\"negative\":false,\"texts\":{\"gross\":\"    128.45\",\"net\":\"    123.45\"," +
                                "\"tare\":\"      5.00\",\"total\":\"\",\"counter\":\"\",\"status\":\"1NNNNkgN\",\"motion\":\"N\"}}") &&
                  json.Substring(json.IndexOf("\"time\":") + 8, 24).EndsWith("Z"), json);
            var st = s.ReadStable(3, TimeSpan.FromSeconds(5));
            Check("ReadStable", st.Net == 123.45m && st.Seq == 4 && st.Stable == true, st.ToJson());
            var ra = s.ReadAsync().Result;
            Check("ReadAsync", ra.Net == 123.45m && ra.Seq == 5);
            var sa = s.ReadStableAsync(2, TimeSpan.FromSeconds(5)).Result;
            Check("ReadStableAsync", sa.Net == 123.45m && sa.Stable == true);
            var stream = s.Stream(TimeSpan.FromMilliseconds(10), 3).ToList();
            Check("Stream(count)", stream.Count == 3 && stream.All(x => x.Status == ReadingStatus.Ok) &&
                  stream[2].Seq == stream[0].Seq + 2);
            s.Dispose();
            s.Dispose();
            Check("disposed", s.Channel == -1);
            Throws<ObjectDisposedException>("read after Dispose", () => s.Read(), null);
        }

        // A swinging weight: a time-out bounds the wait only (the next frame comes, moving), and
        // it never settles.
        using (var s = Scale.Tcp("5817", ip, "C")) {
            var watch = Stopwatch.StartNew();
            var moving = s.Read(TimeSpan.FromSeconds(2));
            Check("Read(timeout) while moving", moving.Stable == false && watch.Elapsed < TimeSpan.FromSeconds(1.9),
                  moving.ToJson());
            var ns = Throws<NotSettledException>("ReadStable while moving", () => s.ReadStable(3, TimeSpan.FromSeconds(1)),
                                                 Codes.TARVEL_POLL_OK);
            Check("NotSettled message", ns != null && ns.Message == "the weight on " + ip + ":C did not settle within 1 s: " +
                  "3 readings in a row without motion, within range and with the same net weight were needed" &&
                  ns.LastReading != null && ns.LastReading.Stable == false, ns == null ? "" : ns.Message);
            Check("moving", s.Read().Stable == false);
            // A cancelled read ends at once, as cancelled.
            var cts = new CancellationTokenSource();
            var t = s.ReadStableAsync(3, TimeSpan.FromSeconds(30), cts.Token);
            Thread.Sleep(300);
            watch.Restart();
            cts.Cancel();
            try {
                t.Wait();
                Check("cancelled", false, "completed");
            } catch (AggregateException e) {
                Check("cancelled", e.InnerException is TaskCanceledException && t.IsCanceled &&
                      watch.Elapsed < TimeSpan.FromSeconds(5), e.InnerException.GetType().Name);
            }
            Check("usable after a cancel", s.Read().Stable == false);
        }
        using (var s = Scale.Tcp(Model.Msi3360, ip, "C", connect: false)) { // no MSI frame there
            var e = Throws<NoFrameException>("Read(timeout) without a frame", () => s.Read(TimeSpan.FromMilliseconds(300)),
                                              Codes.TARVEL_POLL_NO_FRAME);
            Check("no frame message", e != null && e.Message.StartsWith("no frame from " + ip + ":C within 0.3 s: "),
                  e == null ? "" : e.Message);
        }

        // The load cycle of a weighbridge, many times: the stable read never gives a moving weight.
        using (var s = Scale.Tcp(Model.Model5817, cycle, "A")) {
            for (int i = 0; i < 10; i++) {
                var r = s.ReadStable(3, TimeSpan.FromSeconds(5));
                Check("load cycle " + i, r.Stable == true && r.Overload == false && r.Texts.Motion == "N" &&
                      (r.Net == 0m || r.Net == 1846m), r.ToJson());
                Thread.Sleep(i * 70 % 500);
            }
        }
        using (var s = Scale.Tcp(Model.Model5817, cycle, "B")) { // motion in every frame, the same net
            var watch = Stopwatch.StartNew();
            Throws<NotSettledException>("never at rest", () => s.ReadStable(3, TimeSpan.FromSeconds(1.5)), Codes.TARVEL_POLL_OK);
            Check("never at rest, in time", watch.Elapsed < TimeSpan.FromSeconds(12));
        }

        // The Ohaus on a pseudo-terminal, named by its device path.
        using (var s = Scale.Serial("Ohaus", pty)) {
            var r = s.Read();
            Check("serial device path", r.Net == 1.5m && r.Gross == null && r.Unit == "kg" && r.Model == Model.Ohaus,
                  r.ToJson());
        }
        using (var s = Scale.Serial(Model.Ohaus, "/nonexistent/tty0")) {
            var pe = Throws<PortException>("port that does not open", () => s.Read(), Codes.TARVEL_POLL_NO_PORT);
            Check("port message", pe != null && pe.Message.StartsWith("the serial port COM") &&
                  pe.Message.Contains("(/nonexistent/tty0) did not open: is the device there") && pe.Detail.Length > 0,
                  pe == null ? "" : pe.Message);
        }

        // Refusals: English messages that say what to check; the library's text as the detail
        // (Windows-1252, decoded).
        var ce = Throws<ConnectException>("refused connection", () => Scale.Tcp("krt", refused, "A"), Codes.TARVEL_SELECT_FAILED);
        Check("connect message", ce != null && ce.Message == "nothing listens on " + refused + " port 8881: is the " +
              "converter on, and is its channel A set to TCP server?", ce == null ? "" : ce.Message);
        Check("Display_Erro text", ce != null && ce.Detail.Contains(refused) && ce.Detail.Contains("\u00e3") &&
              ce.LibraryText == ce.Detail, ce == null ? "" : ce.Detail);
        Throws<ChannelException>("letter E", () => Scale.Tcp("5817", ip, "E"), Codes.TARVEL_FAILED);
        Throws<ChannelException>("bad address", () => Scale.Tcp("5817", "127.0.0.1.1.1.1.1.1", "A"), Codes.TARVEL_FAILED);
        Throws<ArgumentException>("unknown model", () => Scale.Tcp("9999", ip, "A"), null);
        var unconnected = Scale.Tcp("msi3360", refused, "B", connect: false);
        Check("connect: false", unconnected.Channel >= 0);
        Throws<ConnectException>("read reconnects", () => unconnected.Read(), Codes.TARVEL_SELECT_FAILED);
        Throws<ConnectException>("ReadAsync reconnects", () => unconnected.ReadAsync().Wait(), Codes.TARVEL_SELECT_FAILED);
        // A stream while nothing listens: offline is said once, then it backs off.
        var offline = unconnected.Stream(1).ToList();
        Check("stream offline", offline.Count == 1 && offline[0].Status == ReadingStatus.Offline &&
              offline[0].ToJson().Contains("\"status\":\"offline\",\"since\":"), offline.Count > 0 ? offline[0].ToJson() : "");
        unconnected.Dispose();

        // Converter I/O.
        var conv = new Converter(ip);
        Check("ReadInputs", conv.ReadInputs() == 5);
        Check("ReadInputBits", string.Join(",", conv.ReadInputBits()) == "True,False,True,False,False,False,False,False");
        Check("ReadInput", conv.ReadInput(0) && !conv.ReadInput(1));
        conv.WriteOutputs("SNS");
        conv.WriteOutputs(5);
        conv.WriteOutput(3, true);
        conv.ClearReceiveBuffer("a");
        // Nothing listens: nothing is sent, and every command says so, in English.
        var dead = new Converter(refused);
        var port = "nothing listens on " + refused + " port 8880";
        var checks = ": is the converter on, and is its IO port enabled?";
        var dioCases = new[] {
            Tuple.Create((Action)(() => dead.ReadInputs()), "could not read the inputs: " + port + ", or its reply held no input value"),
            Tuple.Create((Action)(() => dead.ReadInputBits()), "could not read the inputs: " + port + ", or its reply held no input value"),
            Tuple.Create((Action)(() => dead.ReadInput(2)), "could not read input 2: " + port + ", or its reply held no input value"),
            Tuple.Create((Action)(() => dead.WriteOutputs(5)), "could not set the outputs to 5: " + port + ", or the converter broke the exchange off"),
            Tuple.Create((Action)(() => dead.WriteOutputs("SNS")), "could not set the outputs to 5: " + port + ", or the converter broke the exchange off"),
            Tuple.Create((Action)(() => dead.WriteOutput(3, true)), "could not set output 3 on: " + port + ", or the converter broke the exchange off"),
            Tuple.Create((Action)(() => dead.ClearReceiveBuffer("a")), "could not clear the receive buffer of channel A: " + port + ", or the converter broke the exchange off"),
            Tuple.Create((Action)(() => dead.ClearTransmitBuffer("D")), "could not clear the transmit buffer of channel D: " + port + ", or the converter broke the exchange off"),
        };
        foreach (var c in dioCases) {
            var e = Throws<DioException>("dead converter: " + c.Item2, c.Item1, Codes.TARVEL_FAILED);
            Check("message: " + c.Item2, e != null && e.Message == c.Item2 + checks, e == null ? "" : e.Message);
        }
        // Bad arguments never reach the converter.
        Throws<ArgumentOutOfRangeException>("output value 256", () => conv.WriteOutputs(256), null);
        Throws<ArgumentOutOfRangeException>("output bit 8", () => conv.WriteOutput(8, true), null);
        Throws<ArgumentOutOfRangeException>("input bit 8", () => conv.ReadInput(8), null);
        Throws<ArgumentException>("output text", () => conv.WriteOutputs("SNX"), null);
        Throws<ArgumentException>("channel E", () => conv.ClearReceiveBuffer("E"), null);

        // The exceptions have the standard constructors and survive serialization.
        var inner = new InvalidOperationException("inner");
        Check("standard constructors", new DioException().Message.Length > 0 && new PollException("m").Message == "m" &&
              new NotSettledException("m", inner).InnerException == inner && new ConnectException("m", inner).Message == "m");
        var formatter = new BinaryFormatter();
        using (var ms = new MemoryStream()) {
            formatter.Serialize(ms, new PortException("port", 4, "Update_Canal", "detalhe"));
            ms.Position = 0;
            var back = (PortException)formatter.Deserialize(ms);
            Check("serialized", back.Message == "port" && back.Code == 4 && back.Function == "Update_Canal" &&
                  back.Detail == "detalhe");
        }

        Check("codes", (int)PollResult.OutOfRange == 3 && (char)Flag.Yes == 'S' && (int)StableResult.Timeout == 7);
        Check("models", Models.Parse("5817C") == Model.Model5817Raw && Model.Msi6260.Name() == "msi6260" &&
              !Model.Msi3360.ReportsMotion() && ReadingStatus.Stale.Name() == "stale");
        Check("ParseWeight", Reading.ParseWeight("  -12,5") == -12.5m && Reading.ParseWeight("EEEEEEEEEE") == null &&
              Reading.ParseWeight("--------") == null && Reading.ParseWeight("1.2.3") == null && Reading.ParseWeight("") == null);

        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        Environment.Exit(failed == 0 ? 0 : 1);
    }
}
