// The idiomatic layer over Native: Scale (one indicator), Converter (the converter's I/O),
// Reading (one reading, the reading record's fields), the Model and ReadingStatus enums and
// the TarvelException family. Every library call of Scale and Converter runs on one thread of
// the binding's own (LibraryThread), so they may be used from any thread and from async code.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Reflection;
using System.Runtime.ExceptionServices;
using System.Runtime.Serialization;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

[assembly: AssemblyTitle("Tarvel6.Net")]
[assembly: AssemblyDescription("Tarvel6 weighing-indicator library for .NET")]
[assembly: AssemblyVersion("2.0.15")]
[assembly: AssemblyInformationalVersion("2.0.15")]

namespace Tarvel6
{
    // ---- exceptions ----------------------------------------------------------------------

    /// <summary>
    /// A failure. Message: English, saying what to check. Code: the C function's result (null
    /// when no function ran); Function: that function's name; Detail: the library's own text
    /// (Display_Erro, in Portuguese; often empty).
    /// </summary>
    [Serializable]
    public class TarvelException : Exception
    {
        public int? Code { get; private set; }
        public string Function { get; private set; }
        public string Detail { get; private set; }
        /// <summary>The same as Detail.</summary>
        public string LibraryText => Detail;

        public TarvelException() : this("the Tarvel6 library reported a failure") { }
        public TarvelException(string message) : this(message, (Exception)null) { }
        public TarvelException(string message, Exception innerException) : base(message, innerException)
        {
            Detail = "";
        }
        public TarvelException(string message, int? code, string function, string detail = "") : base(message)
        {
            Code = code;
            Function = function;
            Detail = detail ?? "";
        }
        protected TarvelException(SerializationInfo info, StreamingContext context) : base(info, context)
        {
            Code = (int?)info.GetValue("Code", typeof(int?));
            Function = info.GetString("Function");
            Detail = info.GetString("Detail") ?? "";
        }

        public override void GetObjectData(SerializationInfo info, StreamingContext context)
        {
            base.GetObjectData(info, context);
            info.AddValue("Code", Code, typeof(int?));
            info.AddValue("Function", Function);
            info.AddValue("Detail", Detail);
        }
    }

    /// <summary>Seta_Ip or a constructor refused (code -1): address, channel letter or COM number.</summary>
    [Serializable]
    public class ChannelException : TarvelException
    {
        public ChannelException() { }
        public ChannelException(string message) : base(message) { }
        public ChannelException(string message, Exception innerException) : base(message, innerException) { }
        public ChannelException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected ChannelException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>Select_Canal gave 0: nothing listens, or no connection within 10 s.</summary>
    [Serializable]
    public class ConnectException : TarvelException
    {
        public ConnectException() { }
        public ConnectException(string message) : base(message) { }
        public ConnectException(string message, Exception innerException) : base(message, innerException) { }
        public ConnectException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected ConnectException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>A poll or a stable read gave no reading; Code is the poll's result.</summary>
    [Serializable]
    public class PollException : TarvelException
    {
        public PollException() { }
        public PollException(string message) : base(message) { }
        public PollException(string message, Exception innerException) : base(message, innerException) { }
        public PollException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected PollException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>1: no frame within the wait (or a refused poll).</summary>
    [Serializable]
    public class NoFrameException : PollException
    {
        public NoFrameException() { }
        public NoFrameException(string message) : base(message) { }
        public NoFrameException(string message, Exception innerException) : base(message, innerException) { }
        public NoFrameException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected NoFrameException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>2: no frame without motion within the time-out.</summary>
    [Serializable]
    public class MotionException : PollException
    {
        public MotionException() { }
        public MotionException(string message) : base(message) { }
        public MotionException(string message, Exception innerException) : base(message, innerException) { }
        public MotionException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected MotionException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>4: the serial port did not open in time.</summary>
    [Serializable]
    public class PortException : PollException
    {
        public PortException() { }
        public PortException(string message) : base(message) { }
        public PortException(string message, Exception innerException) : base(message, innerException) { }
        public PortException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected PortException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>A stable read ran out of time before the weight settled. LastReading: the last
    /// reading taken, or null (not serialized).</summary>
    [Serializable]
    public class NotSettledException : PollException
    {
        [NonSerialized] readonly Reading lastReading;
        public Reading LastReading => lastReading;

        public NotSettledException() { }
        public NotSettledException(string message) : base(message) { }
        public NotSettledException(string message, Exception innerException) : base(message, innerException) { }
        public NotSettledException(string message, int? code, string function, string detail = "",
                                   Reading lastReading = null)
            : base(message, code, function, detail)
        {
            this.lastReading = lastReading;
        }
        protected NotSettledException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>A digital I/O or buffer command failed (-1): nothing could be sent, or no valid
    /// reply came.</summary>
    [Serializable]
    public class DioException : TarvelException
    {
        public DioException() { }
        public DioException(string message) : base(message) { }
        public DioException(string message, Exception innerException) : base(message, innerException) { }
        public DioException(string message, int? code, string function, string detail = "")
            : base(message, code, function, detail) { }
        protected DioException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    // ---- models and statuses ---------------------------------------------------------------

    /// <summary>The indicator families (their record names: 5817, 5817c, krt, ohaus, msi3360, msi6260).</summary>
    public enum Model
    {
        Model5817,
        /// <summary>The raw 5817 variant (5817c): the frame as it is, no weights.</summary>
        Model5817Raw,
        Krt,
        Ohaus,
        Msi3360,
        Msi6260
    }

    /// <summary>The status of a reading (the record's "status").</summary>
    public enum ReadingStatus
    {
        /// <summary>ok: a frame was read.</summary>
        Ok,
        /// <summary>stale: no frame for a while.</summary>
        Stale,
        /// <summary>offline: connection or port down.</summary>
        Offline,
        /// <summary>error: bytes arrive but nothing decodes.</summary>
        Error
    }

    /// <summary>Names and properties of the models and statuses.</summary>
    public static class Models
    {
        static readonly string[] Names = { "5817", "5817c", "krt", "ohaus", "msi3360", "msi6260" };

        /// <summary>The record's name of the model: "5817", "5817c", "krt", ...</summary>
        public static string Name(this Model model) => Names[(int)model];

        /// <summary>The model of a name, in any case; ArgumentException for another.</summary>
        public static Model Parse(string name)
        {
            var n = (name ?? "").ToLowerInvariant();
            for (int i = 0; i < Names.Length; i++)
                if (Names[i] == n) return (Model)i;
            throw new ArgumentException("unknown model '" + name + "': 5817, 5817c, krt, ohaus, msi3360 or msi6260",
                                        nameof(name));
        }

        /// <summary>Whether the family reports motion (the MSI indicators do not).</summary>
        public static bool ReportsMotion(this Model model) => model != Model.Msi3360 && model != Model.Msi6260;

        /// <summary>The record's name of a status: "ok", "stale", "offline", "error".</summary>
        public static string Name(this ReadingStatus status) => status.ToString().ToLowerInvariant();
    }

    // ---- readings ----------------------------------------------------------------------

    /// <summary>What the value functions returned after a reading, exactly.</summary>
    public sealed class ReadingTexts
    {
        public string Gross { get; }
        public string Net { get; }
        public string Tare { get; }
        public string Total { get; }
        public string Counter { get; }
        public string Status { get; }
        public string Motion { get; }

        public ReadingTexts(string gross, string net, string tare, string total, string counter, string status,
                            string motion)
        {
            Gross = gross;
            Net = net;
            Tare = tare;
            Total = total;
            Counter = counter;
            Status = status;
            Motion = motion;
        }
    }

    /// <summary>
    /// One reading, immutable, with the fields of the reading record (docs/library.md, "The reading
    /// record (JSON)"): weights as decimals (null when the text is not a number or the family
    /// does not supply it), unit, stable/overload/negative (null: the indicator does not
    /// tell), status, and the texts. ToJson gives the record as one line of JSON.
    /// </summary>
    public sealed class Reading
    {
        public string Scale { get; }
        public Model Model { get; }
        public long Seq { get; }
        public DateTime? Time { get; }
        public ReadingStatus Status { get; }
        public decimal? Gross { get; }
        public decimal? Net { get; }
        public decimal? Tare { get; }
        public string Unit { get; }
        public bool? Stable { get; }
        public bool? Overload { get; }
        public bool? Negative { get; }
        public ReadingTexts Texts { get; }

        /// <summary>A reading derived from the texts, as the reading record defines it;
        /// <paramref name="unit"/> is what Unidade_Canal gave (null: the status text's
        /// characters 6-7).</summary>
        public Reading(string scale, Model model, long seq, DateTime? time, ReadingTexts texts,
                       ReadingStatus status = ReadingStatus.Ok, string unit = null)
        {
            Scale = scale;
            Model = model;
            Seq = seq;
            Time = time;
            Status = status;
            Texts = texts;
            if (texts == null) return;
            if (model != Model.Model5817Raw) {
                Gross = ParseWeight(texts.Gross);
                Net = ParseWeight(texts.Net);
                Tare = ParseWeight(texts.Tare);
            }
            var st = texts.Status ?? "";
            if (unit != null) {
                var u = unit.Trim();
                Unit = u.Length == 0 ? null : u;
            } else if (model != Model.Ohaus && model != Model.Model5817Raw && st.Length >= 7) {
                var u = st.Substring(5, 2).Trim();
                Unit = u.Length == 0 || u == "EE" ? null : u;
            }
            Stable = texts.Motion == "N" ? true : texts.Motion == "S" ? false : (bool?)null;
            Overload = st.Length > 3 ? FlagOf(st[3]) : null;
            Negative = st.Length > 2 ? FlagOf(st[2]) : null;
        }

        Reading(Reading r, ReadingStatus status, long seq, DateTime time)
        {
            Scale = r.Scale;
            Model = r.Model;
            Texts = r.Texts;
            Gross = r.Gross;
            Net = r.Net;
            Tare = r.Tare;
            Unit = r.Unit;
            Stable = r.Stable;
            Overload = r.Overload;
            Negative = r.Negative;
            Status = status;
            Seq = seq;
            Time = time;
        }

        /// <summary>This reading's weights under a new status: a status change is a reading too.</summary>
        public Reading WithStatus(ReadingStatus status, long seq, DateTime time) => new Reading(this, status, seq, time);

        /// <summary>
        /// Whether this reading may count towards a settled weight (the stable read's rule,
        /// shared with tarvel stable and tarvel-gateway): status ok, motion not reported
        /// (Stable not false; null for MSI), out of range not reported, and a net weight.
        /// </summary>
        public bool Settles => Status == ReadingStatus.Ok && Stable != false && Overload != true && Net.HasValue;

        static bool? FlagOf(char c) => c == 'S' ? true : c == 'N' ? false : (bool?)null;

        /// <summary>
        /// A weight text as a decimal: point or comma as the separator, blanks around it
        /// ignored; null for anything else ("EEEEEEEEEE", "--------", "").
        /// </summary>
        public static decimal? ParseWeight(string text)
        {
            if (text == null) return null;
            var t = text.Trim();
            if (t.Contains(",") && !t.Contains(".")) t = t.Replace(',', '.');
            int i = 0, digits = 0, points = 0;
            if (i < t.Length && (t[i] == '+' || t[i] == '-')) i++;
            for (; i < t.Length; i++) {
                if (t[i] >= '0' && t[i] <= '9') digits++;
                else if (t[i] == '.' && points++ == 0) { }
                else return null;
            }
            if (digits == 0) return null;
            decimal d;
            return decimal.TryParse(t, NumberStyles.AllowLeadingSign | NumberStyles.AllowDecimalPoint,
                                    CultureInfo.InvariantCulture, out d) ? d : (decimal?)null;
        }

        /// <summary>The reading record as one line of JSON (keys in the record's order).</summary>
        public string ToJson()
        {
            var b = new StringBuilder("{");
            b.Append("\"scale\":").Append(Json(Scale));
            b.Append(",\"model\":").Append(Json(Model.Name()));
            b.Append(",\"seq\":").Append(Seq.ToString(CultureInfo.InvariantCulture));
            var time = Time.HasValue ? Json(Time.Value.ToString("yyyy-MM-dd'T'HH:mm:ss.fff'Z'", CultureInfo.InvariantCulture)) : "null";
            b.Append(",\"time\":").Append(time);
            b.Append(",\"status\":").Append(Json(Status.Name()));
            if (Status != ReadingStatus.Ok) {
                b.Append(",\"since\":").Append(time);
                b.Append(",\"reason\":").Append(Json(Reason(Status)));
            }
            b.Append(",\"gross\":").Append(Number(Gross));
            b.Append(",\"net\":").Append(Number(Net));
            b.Append(",\"tare\":").Append(Number(Tare));
            b.Append(",\"unit\":").Append(Json(Unit));
            b.Append(",\"stable\":").Append(Bool(Stable));
            b.Append(",\"overload\":").Append(Bool(Overload));
            b.Append(",\"negative\":").Append(Bool(Negative));
            var t = Texts;
            b.Append(",\"texts\":{\"gross\":").Append(Json(t?.Gross));
            b.Append(",\"net\":").Append(Json(t?.Net));
            b.Append(",\"tare\":").Append(Json(t?.Tare));
            b.Append(",\"total\":").Append(Json(t?.Total));
            b.Append(",\"counter\":").Append(Json(t?.Counter));
            b.Append(",\"status\":").Append(Json(t?.Status));
            b.Append(",\"motion\":").Append(Json(t?.Motion));
            return b.Append("}}").ToString();
        }

        public override string ToString() => ToJson();

        static string Reason(ReadingStatus s)
        {
            switch (s) {
            case ReadingStatus.Stale: return "no frame within the wait";
            case ReadingStatus.Offline: return "connection or serial port down";
            default: return "bytes arrive but nothing decodes";
            }
        }

        static string Bool(bool? v) => v.HasValue ? (v.Value ? "true" : "false") : "null";

        static string Number(decimal? v)
        {
            if (!v.HasValue) return "null";
            // 5.00 -> 5.0, 123.450 -> 123.45: the shortest form that keeps a decimal point.
            var s = (v.Value / 1.0000000000000000000000000000m).ToString(CultureInfo.InvariantCulture);
            return s.Contains(".") ? s : s + ".0";
        }

        static string Json(string s)
        {
            if (s == null) return "null";
            var b = new StringBuilder("\"");
            foreach (var c in s) {
                if (c == '"' || c == '\\') b.Append('\\').Append(c);
                else if (c < 0x20) b.Append("\\u").Append(((int)c).ToString("x4"));
                else b.Append(c);
            }
            return b.Append('"').ToString();
        }
    }

    // ---- the library's thread -------------------------------------------------------------

    /// <summary>
    /// The one thread on which Scale and Converter call the library: the library is to be
    /// called from one thread, and a channel's notifications reach the thread that opened it.
    /// Calls from that thread itself run at once.
    /// </summary>
    public static class LibraryThread
    {
        static readonly BlockingCollection<Action> Work = new BlockingCollection<Action>();
        static readonly Thread Worker = Start();

        static Thread Start()
        {
            var t = new Thread(() => {
                foreach (var action in Work.GetConsumingEnumerable()) action();
            });
            t.IsBackground = true;
            t.Name = "Tarvel6 library";
            t.Start();
            return t;
        }

        /// <summary>True on the library's thread.</summary>
        public static bool IsCurrent => Thread.CurrentThread == Worker;

        /// <summary>Runs <paramref name="call"/> on the library's thread and waits for it;
        /// its exception comes back as it was thrown.</summary>
        public static T Run<T>(Func<T> call)
        {
            if (IsCurrent) return call();
            var task = RunAsync(_ => call(), CancellationToken.None);
            try {
                return task.Result;
            } catch (AggregateException e) {
                ExceptionDispatchInfo.Capture(e.InnerException).Throw();
                throw;
            }
        }

        /// <summary>Runs an action on the library's thread and waits for it.</summary>
        public static void Run(Action call) => Run(() => { call(); return 0; });

        /// <summary>
        /// Queues <paramref name="call"/> for the library's thread. A cancellation ends the
        /// task at once (as cancelled); the call itself sees the token between its polls.
        /// </summary>
        public static Task<T> RunAsync<T>(Func<CancellationToken, T> call, CancellationToken cancellationToken)
        {
            var tcs = new TaskCompletionSource<T>(TaskCreationOptions.RunContinuationsAsynchronously);
            if (cancellationToken.IsCancellationRequested) {
                tcs.SetCanceled();
                return tcs.Task;
            }
            var registration = cancellationToken.Register(() => tcs.TrySetCanceled());
            Work.Add(() => {
                try {
                    if (cancellationToken.IsCancellationRequested) tcs.TrySetCanceled();
                    else tcs.TrySetResult(call(cancellationToken));
                } catch (OperationCanceledException) {
                    tcs.TrySetCanceled();
                } catch (Exception e) {
                    tcs.TrySetException(e);
                } finally {
                    registration.Dispose();
                }
            });
            return tcs.Task;
        }
    }

    // ---- messages ------------------------------------------------------------------------

    /// <summary>What the binding tells people, in English: the same texts as the tarvel
    /// program's (tools/common/messages.cpp).</summary>
    static class Messages
    {
        const string Reachable = "reachable from this machine (address, cable, firewall)";

        // A failed call that took this long ended with the library's 10 s time-out.
        public static bool AfterTimeOut(TimeSpan elapsed) => elapsed.TotalMilliseconds >= 9000;

        public static string LineSettings(Model m)
        {
            switch (m) {
            case Model.Ohaus: return "9600 baud, 7 data bits, even parity, 2 stop bits";
            case Model.Msi3360: return "9600 baud, 8 data bits, no parity, 1 stop bit";
            case Model.Msi6260: return "1200 baud, 7 data bits, mark parity, 1 stop bit";
            default: return "4800 baud, 7 data bits, even parity, 1 stop bit";
            }
        }

        public static int WaitSeconds(Model m) =>
            m == Model.Model5817 || m == Model.Model5817Raw || m == Model.Krt ? 10 : 5;

        public static string Seconds(double s) =>
            (s == Math.Floor(s) ? ((long)s).ToString(CultureInfo.InvariantCulture)
                                : s.ToString("G6", CultureInfo.InvariantCulture)) + " s";

        public static string ConnectFailed(string address, string letter, bool afterTimeOut)
        {
            var port = address + " port " + (8880 + letter[0] - 'A' + 1);
            if (!afterTimeOut)
                return "nothing listens on " + port + ": is the converter on, and is its channel " + letter +
                       " set to TCP server?";
            return port + " did not accept a connection within 10 s: is the converter on and " + Reachable + "?";
        }

        public static string PollFailed(Model m, string where, string letter, int result, double? within)
        {
            switch (result) {
            case 1:
                var w = Seconds(within ?? WaitSeconds(m));
                if (letter != null)
                    return "no frame from " + where + " within " + w + ": is the indicator on and cabled to the " +
                           "converter's channel " + letter + ", and is that channel set to " + LineSettings(m) + "?";
                return "no frame from " + where + " within " + w + ": is the indicator on and cabled to this port, " +
                       "and does it send at " + LineSettings(m) + "?";
            case 2:
                return "no frame without motion from " + where + " within " + Seconds(within ?? 0) +
                       ": the weight kept moving, or the indicator sent nothing";
            case 4:
                return "the serial port " + where + " did not open: is the device there and not in use by another " +
                       "program, and may this user open it (on Linux: the dialout group)?";
            default:
                return "the poll of " + where + " failed with result " + result;
            }
        }

        public static string OutOfRange(string where) =>
            "the indicator on " + where + " reports out of range: is the load within the scale's capacity?";

        public static string NotSettled(Model m, string where, int count, double seconds)
        {
            if (m == Model.Model5817Raw)
                return "the raw 5817 variant (5817c) carries no weight, so it never settles: use the model 5817 " +
                       "for a stable read";
            return "the weight on " + where + " did not settle within " + Seconds(seconds) + ": " + count +
                   " readings in a row without motion, within range and with the same net weight were needed";
        }

        public static string DioFailed(string action, string address, bool input, bool afterTimeOut)
        {
            var what = "could not " + action + ": ";
            var port = address + " port 8880";
            if (afterTimeOut)
                return what + (input ? "no valid reply from " + port + " within 10 s"
                                     : port + " did not accept a connection within 10 s") +
                       ": is the converter on and " + Reachable + "?";
            return what + "nothing listens on " + port +
                   (input ? ", or its reply held no input value" : ", or the converter broke the exchange off") +
                   ": is the converter on, and is its IO port enabled?";
        }
    }

    /// <summary>0.5 s, doubling with each failed attempt, up to 30 s; from the start after a success.</summary>
    sealed class Backoff
    {
        TimeSpan next = First;
        static readonly TimeSpan First = TimeSpan.FromMilliseconds(500);
        static readonly TimeSpan Last = TimeSpan.FromSeconds(30);

        public TimeSpan Next()
        {
            var pause = next;
            next = next.Ticks * 2 >= Last.Ticks ? Last : TimeSpan.FromTicks(next.Ticks * 2);
            return pause;
        }

        public void Reset() => next = First;
    }

    // ---- scales ----------------------------------------------------------------------------

    /// <summary>
    /// One indicator: a library channel for a model behind a converter channel
    /// (<see cref="Tcp(Tarvel6.Model,string,string,string,bool)"/>) or on a serial port
    /// (<see cref="Serial(Tarvel6.Model,string,string)"/>). Dispose it (using) to close and
    /// delete the channel. Its library calls run on <see cref="LibraryThread"/>; use one
    /// Scale from one task at a time.
    /// </summary>
    public sealed class Scale : IDisposable
    {
        static readonly Func<int, string, int>[] TcpConstructors = {
            Native.W5817, Native.W5817C, Native.WKRT, Native.WOhaus, Native.WMSI3360, Native.WMSI6260
        };
        static readonly string[] TcpNames = { "W5817", "W5817C", "WKRT", "WOhaus", "WMSI3360", "WMSI6260" };
        static readonly Func<int, int>[] SerialConstructors = {
            Native.W5817Serial, Native.W5817SerialC, Native.WKRTSerial, Native.WOhausSerial, Native.WMSI3360Serial,
            Native.WMSI6260Serial
        };
        static readonly string[] SerialNames = {
            "W5817Serial", "W5817SerialC", "WKRTSerial", "WOhausSerial", "WMSI3360Serial", "WMSI6260Serial"
        };
        const int SliceMs = 500; // a bounded read of a family that reports motion polls in slices
        static readonly TimeSpan AtOnce = TimeSpan.FromMilliseconds(100);

        int channel;
        readonly string address, letter, where;

        /// <summary>The record's scale name (default the model's name).</summary>
        public string Name { get; }
        /// <summary>The model.</summary>
        public Model Model { get; }
        /// <summary>The library's channel index; -1 once disposed.</summary>
        public int Channel => channel;
        /// <summary>The converter channel ("192.168.0.50:A") or serial port ("COM3") it is on.</summary>
        public string Where => where;
        /// <summary>Readings so far.</summary>
        public long Seq { get; private set; }
        /// <summary>The last reading, or null.</summary>
        public Reading Last { get; private set; }

        Scale(Model model, string name, int channel, string address, string letter, string where)
        {
            Model = model;
            Name = name ?? model.Name();
            this.channel = channel;
            this.address = address;
            this.letter = letter;
            this.where = where;
        }

        /// <summary>
        /// A scale behind converter channel <paramref name="letter"/> (A-D) at
        /// <paramref name="address"/> (IPv4). With <paramref name="connect"/> it connects now
        /// (Select_Canal, up to 10 s); every read connects, or reconnects, anyway.
        /// Throws ChannelException when the library refuses the address or letter,
        /// ConnectException when connecting fails.
        /// </summary>
        public static Scale Tcp(Model model, string address, string letter, string name = null, bool connect = true)
        {
            var s = LibraryThread.Run(() => {
                int ip = Native.Seta_Ip(address);
                if (ip == Codes.TARVEL_FAILED)
                    throw new ChannelException("the library refused the address '" + address +
                                               "': give an IPv4 address such as 192.168.0.50", ip, "Seta_Ip");
                int ch = TcpConstructors[(int)model](ip, letter);
                if (ch == Codes.TARVEL_FAILED)
                    throw new ChannelException("the library refused the channel letter '" + letter +
                                               "': give A, B, C or D", ch, TcpNames[(int)model]);
                var up = letter.ToUpperInvariant();
                return new Scale(model, name, ch, address, up, address + ":" + up);
            });
            if (connect) {
                try {
                    s.Connect();
                } catch {
                    s.Dispose();
                    throw;
                }
            }
            return s;
        }

        /// <summary>As <see cref="Tcp(Tarvel6.Model,string,string,string,bool)"/>, the model by
        /// its name ("5817", "krt", ... in any case).</summary>
        public static Scale Tcp(string model, string address, string letter, string name = null, bool connect = true) =>
            Tcp(Models.Parse(model), address, letter, name, connect);

        /// <summary>A scale on serial port COM<paramref name="comNumber"/> (1 is COM1).</summary>
        public static Scale Serial(Model model, int comNumber, string name = null) =>
            Serial(model, comNumber, name, "COM" + comNumber);

        static Scale Serial(Model model, int comNumber, string name, string label)
        {
            if (comNumber < 1 || comNumber > 65535)
                throw new ArgumentOutOfRangeException(nameof(comNumber), "COM number 1..65535");
            return LibraryThread.Run(() => {
                int ch = SerialConstructors[(int)model](comNumber);
                if (ch == Codes.TARVEL_FAILED)
                    throw new ChannelException("the library refused the serial port " + label, ch,
                                               SerialNames[(int)model]);
                return new Scale(model, name, ch, null, null, label);
            });
        }

        /// <summary>
        /// A scale on a serial port named "COM3", "\\.\COM3", "3" or, outside Windows, a
        /// device path such as "/dev/ttyUSB0" (given the first free TARVEL_COM&lt;n&gt;, the
        /// variable the library reads when it opens port n).
        /// </summary>
        public static Scale Serial(Model model, string port, string name = null)
        {
            string label;
            int n = ComNumber(port, out label);
            return Serial(model, n, name, label);
        }

        /// <summary>As <see cref="Serial(Tarvel6.Model,string,string)"/>, the model by its name.</summary>
        public static Scale Serial(string model, string port, string name = null) =>
            Serial(Models.Parse(model), port, name);

        /// <summary>As <see cref="Serial(Tarvel6.Model,int,string)"/>, the model by its name.</summary>
        public static Scale Serial(string model, int comNumber, string name = null) =>
            Serial(Models.Parse(model), comNumber, name);

        static int ComNumber(string port, out string label)
        {
            var s = port ?? "";
            if (s.StartsWith("\\\\.\\")) s = s.Substring(4);
            if (s.Length > 3 && s.Substring(0, 3).ToUpperInvariant() == "COM") s = s.Substring(3);
            int n;
            if (int.TryParse(s, NumberStyles.None, CultureInfo.InvariantCulture, out n)) {
                label = "COM" + n;
                return n;
            }
            if (Environment.OSVersion.Platform == PlatformID.Win32NT || port == null || port.Length == 0)
                throw new ArgumentException("a COM port: a number, COMn or \\\\.\\COMn", nameof(port));
            int free = 0;
            for (int k = 1; k <= 255; k++) {
                var current = Environment.GetEnvironmentVariable("TARVEL_COM" + k);
                if (current == port) {
                    label = "COM" + k + " (" + port + ")";
                    return k;
                }
                if (string.IsNullOrEmpty(current) && free == 0) free = k;
            }
            if (free == 0) throw new ArgumentException("no free TARVEL_COMn variable for " + port, nameof(port));
            // Mono passes this on to the process environment, where the library reads it.
            Environment.SetEnvironmentVariable("TARVEL_COM" + free, port);
            label = "COM" + free + " (" + port + ")";
            return free;
        }

        int Ch()
        {
            if (channel < 0) throw new ObjectDisposedException(nameof(Scale));
            return channel;
        }

        /// <summary>The channel's error text not yet fetched (Display_Erro, in Portuguese), else "".</summary>
        public string ErrorText() => LibraryThread.Run(() => Native.Text(Native.Display_Erro(Ch())));

        /// <summary>Connects a TCP channel or reconnects a dropped one (at once while connected);
        /// nothing for a serial channel. Throws ConnectException.</summary>
        public void Connect() => LibraryThread.Run(ConnectHere);

        void ConnectHere()
        {
            var watch = Stopwatch.StartNew();
            int r = Native.Select_Canal(Ch());
            if (r != Codes.TARVEL_SELECT_OK)
                throw new ConnectException(Messages.ConnectFailed(address, letter, Messages.AfterTimeOut(watch.Elapsed)),
                                           r, "Select_Canal", Native.Text(Native.Display_Erro(Ch())));
        }

        /// <summary>
        /// Polls once (Update_Canal): the next frame, moving or not, within the model's own wait
        /// (10 s for 5817/KRT, 5 s for the others). An indicator out of range gives a reading
        /// with Overload true. Throws ConnectException, NoFrameException, PortException.
        /// </summary>
        public Reading Read() => LibraryThread.Run(() => ReadHere(null, CancellationToken.None));

        /// <summary>
        /// The next frame, moving or not, waiting at most <paramref name="timeout"/> for it
        /// (connecting a channel that is not connected comes first, up to 10 s). For the
        /// families that report motion the wait is Update_NoMotion in slices of at most 0.5 s,
        /// and a moving frame is handed out at the end of its slice. Throws NoFrameException
        /// when no frame came, as Read() otherwise.
        /// </summary>
        public Reading Read(TimeSpan timeout)
        {
            CheckTimeout(timeout);
            return LibraryThread.Run(() => ReadHere(timeout, CancellationToken.None));
        }

        /// <summary>Read() on the library's thread; a cancellation ends the task at once.</summary>
        public Task<Reading> ReadAsync(CancellationToken cancellationToken = default(CancellationToken)) =>
            LibraryThread.RunAsync(ct => ReadHere(null, ct), cancellationToken);

        /// <summary>Read(timeout) on the library's thread; a cancellation ends the task at once
        /// and the read at its next slice.</summary>
        public Task<Reading> ReadAsync(TimeSpan timeout, CancellationToken cancellationToken = default(CancellationToken))
        {
            CheckTimeout(timeout);
            return LibraryThread.RunAsync(ct => ReadHere(timeout, ct), cancellationToken);
        }

        static void CheckTimeout(TimeSpan timeout)
        {
            if (timeout <= TimeSpan.Zero || timeout.TotalMilliseconds > int.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(timeout), "more than zero, at most 24 days");
        }

        Reading ReadHere(TimeSpan? timeout, CancellationToken ct)
        {
            ConnectHere();
            int ch = Ch();
            if (!timeout.HasValue) {
                int r = Native.Update_Canal(ch);
                ct.ThrowIfCancellationRequested();
                return TakeOrThrow(r, "Update_Canal", null);
            }
            var watch = Stopwatch.StartNew();
            double seconds = timeout.Value.TotalSeconds;
            for (;;) {
                ct.ThrowIfCancellationRequested();
                long left = (long)(timeout.Value - watch.Elapsed).TotalMilliseconds;
                if (left <= 0) return TakeOrThrow(Codes.TARVEL_POLL_NO_FRAME, "Update_NoMotion", seconds);
                int r;
                if (!Model.ReportsMotion()) {
                    r = Native.Update_NoMotion(ch, (int)left);
                } else {
                    r = Native.Update_NoMotion(ch, (int)Math.Min(left, SliceMs));
                    // Every poll starts with the net text "0"; a frame of these families writes its
                    // ten characters. Result 2 after one: the frame moved, and is the reading.
                    if (r == Codes.TARVEL_POLL_MOTION) {
                        if (Native.Text(Native.Net_Canal(ch)) == "0") continue;
                        r = Codes.TARVEL_POLL_OK;
                    }
                }
                ct.ThrowIfCancellationRequested();
                return TakeOrThrow(r, "Update_NoMotion", seconds);
            }
        }

        /// <summary>
        /// Polls until the weight has come to rest and gives the last reading: <paramref name="count"/>
        /// (1-100) readings in a row that are frames with motion clear (or not told: MSI), out of
        /// range clear and the same net weight; the raw 5817 variant never settles. The rule of
        /// tarvel stable and tarvel-gateway's stable read (LePesoConsecutivo, which compares net
        /// weights only, is not used). <paramref name="timeout"/> bounds the whole read; a poll
        /// that is running when it is up finishes first (up to the model's own wait when the
        /// indicator is silent). Throws NotSettledException (LastReading: the last reading) when
        /// the weight did not settle, or the last attempt's NoFrameException, PortException or
        /// ConnectException when it gave no reading.
        /// </summary>
        public Reading ReadStable(int count, TimeSpan timeout)
        {
            CheckStable(count, timeout);
            return LibraryThread.Run(() => ReadStableHere(count, timeout, CancellationToken.None));
        }

        /// <summary>ReadStable(count, timeout) on the library's thread; a cancellation ends the
        /// task at once and the read after its running poll.</summary>
        public Task<Reading> ReadStableAsync(int count, TimeSpan timeout,
                                             CancellationToken cancellationToken = default(CancellationToken))
        {
            CheckStable(count, timeout);
            return LibraryThread.RunAsync(ct => ReadStableHere(count, timeout, ct), cancellationToken);
        }

        static void CheckStable(int count, TimeSpan timeout)
        {
            if (count < 1 || count > 100) throw new ArgumentOutOfRangeException(nameof(count), "1 to 100");
            CheckTimeout(timeout);
        }

        Reading ReadStableHere(int count, TimeSpan timeout, CancellationToken ct)
        {
            var watch = Stopwatch.StartNew();
            var backoff = new Backoff();
            int run = 0;
            decimal? net = null;
            Reading last = null;
            ConnectException failed = null;
            int? code = null;
            for (;;) {
                ct.ThrowIfCancellationRequested();
                var t0 = watch.Elapsed;
                failed = null;
                code = null;
                Reading reading = null;
                try {
                    ConnectHere();
                    int ch = Ch();
                    if (Model.ReportsMotion()) {
                        code = Native.Update_Canal(ch);
                    } else {
                        long left = (long)(timeout - watch.Elapsed).TotalMilliseconds;
                        code = Native.Update_NoMotion(ch, (int)Math.Max(1, Math.Min(left, int.MaxValue)));
                    }
                } catch (ConnectException e) {
                    failed = e;
                }
                ct.ThrowIfCancellationRequested();
                if (code == Codes.TARVEL_POLL_OK || code == Codes.TARVEL_POLL_OUT_OF_RANGE) {
                    reading = last = Take();
                    backoff.Reset();
                }
                if (reading == null || !reading.Settles) {
                    run = 0;
                } else if (run > 0 && reading.Net == net) {
                    run++;
                } else {
                    run = 1;
                    net = reading.Net;
                }
                if (run >= count) return reading;
                var leftTime = timeout - watch.Elapsed;
                if (leftTime <= TimeSpan.Zero) break;
                if (failed != null || code == Codes.TARVEL_POLL_NO_PORT ||
                    (reading == null && watch.Elapsed - t0 < AtOnce)) {
                    var pause = backoff.Next();
                    if (ct.WaitHandle.WaitOne(pause < leftTime ? pause : leftTime)) ct.ThrowIfCancellationRequested();
                }
            }
            if (failed != null) throw failed;
            int c = code.Value;
            // The MSI models' polls waited for the time left, the others their own wait.
            if (c != Codes.TARVEL_POLL_OK && c != Codes.TARVEL_POLL_OUT_OF_RANGE)
                return Model.ReportsMotion() ? TakeOrThrow(c, "Update_Canal", null)
                                             : TakeOrThrow(c, "Update_NoMotion", timeout.TotalSeconds);
            var message = c == Codes.TARVEL_POLL_OUT_OF_RANGE ? Messages.OutOfRange(where)
                                                              : Messages.NotSettled(Model, where, count, timeout.TotalSeconds);
            throw new NotSettledException(message, c, "Update_Canal", "", last);
        }

        /// <summary>
        /// Readings on and on (Update_Canal), reconnecting a dropped TCP channel: a reading per
        /// frame; when the polls start failing one reading with status Stale (no frame within
        /// the wait) or Offline (no connection, or the serial port did not open) that keeps the
        /// last weights; then, while the converter or port cannot be reached, attempts after
        /// 0.5 s, 1, 2, 4 ... up to 30 s (or <paramref name="interval"/> when that is longer),
        /// saying nothing more until that changes. <paramref name="interval"/>: the pause after
        /// each poll; <paramref name="count"/>: stop after that many readings (null: never).
        /// The pauses are on the enumerating thread; each poll runs on the library's thread.
        /// </summary>
        public IEnumerable<Reading> Stream(TimeSpan interval, int? count = null)
        {
            if (interval < TimeSpan.Zero) throw new ArgumentOutOfRangeException(nameof(interval));
            if (count < 0) throw new ArgumentOutOfRangeException(nameof(count));
            return StreamIterator(interval, count);
        }

        /// <summary>Stream without a pause after each reading.</summary>
        public IEnumerable<Reading> Stream(int? count = null) => Stream(TimeSpan.Zero, count);

        IEnumerable<Reading> StreamIterator(TimeSpan interval, int? count)
        {
            var status = ReadingStatus.Ok;
            var backoff = new Backoff();
            int given = 0;
            while (count == null || given < count) {
                var watch = Stopwatch.StartNew();
                var step = LibraryThread.Run(() => {
                    int? r = null;
                    try {
                        ConnectHere();
                        r = Native.Update_Canal(Ch());
                    } catch (ConnectException) {
                        r = null;
                    }
                    return new StreamStep { Code = r, Reading = r == Codes.TARVEL_POLL_OK || r == Codes.TARVEL_POLL_OUT_OF_RANGE ? Take() : null };
                });
                var pause = interval;
                if (step.Reading != null) {
                    status = ReadingStatus.Ok;
                    backoff.Reset();
                    given++;
                    yield return step.Reading;
                } else {
                    var now = step.Code == Codes.TARVEL_POLL_NO_FRAME || step.Code == Codes.TARVEL_POLL_MOTION
                                  ? ReadingStatus.Stale
                                  : ReadingStatus.Offline;
                    if (now != status) {
                        status = now;
                        Seq++;
                        given++;
                        yield return Last != null ? Last.WithStatus(status, Seq, DateTime.UtcNow)
                                                  : new Reading(Name, Model, Seq, DateTime.UtcNow, null, status);
                    }
                    if (now == ReadingStatus.Offline || watch.Elapsed < AtOnce) {
                        var b = backoff.Next();
                        if (b > pause) pause = b;
                    }
                }
                if (pause > TimeSpan.Zero && (count == null || given < count)) Thread.Sleep(pause);
            }
        }

        sealed class StreamStep
        {
            public int? Code;
            public Reading Reading;
        }

        /// <summary>New line settings for a serial channel from its next poll (ProgSerial;
        /// parity 1 odd, 2 even, else none). Throws ChannelException for a TCP channel.</summary>
        public void SetSerial(int baud, int dataBits, int parity, int stopBits)
        {
            int r = LibraryThread.Run(() => Native.ProgSerial(Ch(), baud, (uint)dataBits, parity, (uint)stopBits));
            if (r != 1) throw new ChannelException("the scale " + Name + " has no serial port", r, "ProgSerial");
        }

        Reading TakeOrThrow(int code, string function, double? within)
        {
            int ch = Ch();
            if (code == Codes.TARVEL_POLL_OK || code == Codes.TARVEL_POLL_OUT_OF_RANGE) return Take();
            var detail = Native.Text(Native.Display_Erro(ch));
            var message = Messages.PollFailed(Model, where, letter, code, within);
            switch (code) {
            case Codes.TARVEL_POLL_NO_FRAME:
                throw new NoFrameException(message, code, function, detail);
            case Codes.TARVEL_POLL_MOTION:
                throw new MotionException(message, code, function, detail);
            case Codes.TARVEL_POLL_NO_PORT:
                throw new PortException(message, code, function, detail);
            default:
                throw new PollException(message, code, function, detail);
            }
        }

        Reading Take()
        {
            int ch = Ch();
            var texts = new ReadingTexts(Native.Text(Native.Gross_Canal(ch)), Native.Text(Native.Net_Canal(ch)),
                                         Native.Text(Native.Tare_Canal(ch)), Native.Text(Native.Total_Canal(ch)),
                                         Native.Text(Native.Contadora_Canal(ch)),
                                         Native.Text(Native.Estado_Canal(ch)),
                                         Native.Text(Native.Estado_EmMovimento(ch)));
            Seq++;
            Last = new Reading(Name, Model, Seq, DateTime.UtcNow, texts, ReadingStatus.Ok,
                               Native.Text(Native.Unidade_Canal(ch)));
            return Last;
        }

        /// <summary>Closes and deletes the channel (Close_Canal, Deleta_Canal); idempotent. Waits
        /// for a read of this scale that is running on the library's thread.</summary>
        public void Dispose()
        {
            LibraryThread.Run(() => {
                int ch = channel;
                channel = -1;
                if (ch >= 0) {
                    Native.Close_Canal(ch);
                    Native.Deleta_Canal(ch);
                }
            });
        }
    }

    // ---- the converter's I/O --------------------------------------------------------------

    /// <summary>
    /// A network converter's digital inputs and outputs (TCP port 8880) and its buffer
    /// commands. Each call makes one connection for one command and blocks (about 10 s when
    /// the converter does not answer). Bit 0 is the first input or output; bits are 0 to 7.
    /// A command that failed throws DioException: for an output or buffer command nothing was
    /// sent (no connection, or the exchange broke off); for an input no valid reply came. The
    /// converter does not confirm outputs: a command it took counts as done.
    /// </summary>
    public sealed class Converter
    {
        /// <summary>The library's IP index of the address.</summary>
        public int IpIndex { get; }
        public string Address { get; }

        /// <summary>Throws ChannelException when the library refuses the address.</summary>
        public Converter(string address)
        {
            Address = address;
            IpIndex = LibraryThread.Run(() => Native.Seta_Ip(address));
            if (IpIndex == Codes.TARVEL_FAILED)
                throw new ChannelException("the library refused the address '" + address +
                                           "': give an IPv4 address such as 192.168.0.50", IpIndex, "Seta_Ip");
        }

        int Run(string action, bool input, string function, Func<int> call)
        {
            var watch = Stopwatch.StartNew();
            int result = LibraryThread.Run(call);
            if (result == Codes.TARVEL_FAILED)
                throw new DioException(Messages.DioFailed(action, Address, input, Messages.AfterTimeOut(watch.Elapsed)),
                                       result, function);
            return result;
        }

        static int Bit(int bit)
        {
            if (bit < 0 || bit > 7) throw new ArgumentOutOfRangeException(nameof(bit), "0 to 7");
            return bit;
        }

        static string Letter(string letter)
        {
            var up = (letter ?? "").ToUpperInvariant();
            if (up != "A" && up != "B" && up != "C" && up != "D")
                throw new ArgumentException("the converter channel is A, B, C or D, not '" + letter + "'", nameof(letter));
            return up;
        }

        /// <summary>The input port value (DIO_InPort).</summary>
        public int ReadInputs() => Run("read the inputs", true, "DIO_InPort", () => Native.DIO_InPort(IpIndex));

        /// <summary>The eight inputs, bit 0 first (DIO_InPort).</summary>
        public bool[] ReadInputBits()
        {
            int v = ReadInputs();
            var bits = new bool[8];
            for (int i = 0; i < 8; i++) bits[i] = (v >> i & 1) != 0;
            return bits;
        }

        /// <summary>One input, 0 to 7 (DIO_InBit).</summary>
        public bool ReadInput(int bit)
        {
            Bit(bit);
            return Run("read input " + bit, true, "DIO_InBit", () => Native.DIO_InBit(IpIndex, bit)) == 1;
        }

        /// <summary>Sets every output from a number 0 to 255 (DIO_OutPort).</summary>
        public void WriteOutputs(int value)
        {
            if (value < 0 || value > 255) throw new ArgumentOutOfRangeException(nameof(value), "0 to 255");
            Run("set the outputs to " + value, false, "DIO_OutPort", () => Native.DIO_OutPort(IpIndex, value));
        }

        /// <summary>Sets every output from 1 to 8 "S"/"N" characters, bit 0 first (DIO_OutPortStr).</summary>
        public void WriteOutputs(string bits)
        {
            if (string.IsNullOrEmpty(bits) || bits.Length > 8 || bits.Trim('S', 'N').Length != 0)
                throw new ArgumentException("1 to 8 characters S or N, bit 0 first", nameof(bits));
            int value = 0;
            for (int i = 0; i < bits.Length; i++)
                if (bits[i] == 'S') value |= 1 << i;
            Run("set the outputs to " + value, false, "DIO_OutPortStr", () => Native.DIO_OutPortStr(IpIndex, bits));
        }

        /// <summary>Sets one output, 0 to 7, on or off (DIO_OutBit).</summary>
        public void WriteOutput(int bit, bool on)
        {
            Bit(bit);
            Run("set output " + bit + (on ? " on" : " off"), false, "DIO_OutBit",
                () => Native.DIO_OutBit(IpIndex, bit, on ? 1 : 0));
        }

        /// <summary>Clears the receive buffer of converter channel letter (ClrBufRx).</summary>
        public void ClearReceiveBuffer(string letter) =>
            Run("clear the receive buffer of channel " + Letter(letter), false, "ClrBufRx",
                () => Native.ClrBufRx(IpIndex, letter));

        /// <summary>Clears the transmit buffer of converter channel letter (ClrBufTx).</summary>
        public void ClearTransmitBuffer(string letter) =>
            Run("clear the transmit buffer of channel " + Letter(letter), false, "ClrBufTx",
                () => Native.ClrBufTx(IpIndex, letter));
    }

    /// <summary>The library's version texts (FirVer).</summary>
    public static class Library
    {
        /// <summary>This binding's version: the library's CMake project version.</summary>
        public const string BindingVersion = "2.0.15";

        /// <summary>FirVer's five texts: product, version, two empty texts, library name.</summary>
        public static string[] VersionTexts()
        {
            return LibraryThread.Run(() => {
                IntPtr a, b, c, d, e;
                Native.FirVer(out a, out b, out c, out d, out e);
                return new[] { Native.Text(a), Native.Text(b), Native.Text(c), Native.Text(d), Native.Text(e) };
            });
        }
    }
}
