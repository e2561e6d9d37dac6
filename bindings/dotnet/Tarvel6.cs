// The idiomatic layer over Native: Scale (one indicator), Converter (the converter's I/O),
// Reading (one reading, the reading record's fields) and the TarvelException family.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

[assembly: AssemblyTitle("Tarvel6.Net")]
[assembly: AssemblyDescription("Tarvel6 weighing-indicator library for .NET")]
[assembly: AssemblyVersion("2.0.15")]
[assembly: AssemblyInformationalVersion("2.0.15")]

namespace Tarvel6
{
    /// <summary>
    /// A failure the library reported. Code: the C function's result (null when no function
    /// ran); Function: that function's name; LibraryText: the channel's Display_Erro text
    /// (often empty).
    /// </summary>
    public class TarvelException : Exception
    {
        public int? Code { get; }
        public string Function { get; }
        public string LibraryText { get; }

        public TarvelException(string message, int? code = null, string function = null, string libraryText = "")
            : base(Compose(message, code, function, libraryText))
        {
            Code = code;
            Function = function;
            LibraryText = libraryText ?? "";
        }

        static string Compose(string message, int? code, string function, string text)
        {
            var s = message;
            if (function != null) s += " (" + function + " gave " + code + ")";
            if (!string.IsNullOrEmpty(text)) s += ": " + text.Replace("\n\r", " ").Replace("\n", " ").Trim();
            return s;
        }
    }

    /// <summary>Seta_Ip or a constructor refused (code -1): address, channel letter or COM number.</summary>
    public class ChannelException : TarvelException
    {
        public ChannelException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>Select_Canal gave 0: refused, or not connected within 10 s.</summary>
    public class ConnectException : TarvelException
    {
        public ConnectException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>A poll or LePesoConsecutivo gave no reading; Code is its result.</summary>
    public class PollException : TarvelException
    {
        public PollException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>1: no frame within the wait (or a refused poll).</summary>
    public class NoFrameException : PollException
    {
        public NoFrameException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>2: no frame without motion within the time-out.</summary>
    public class MotionException : PollException
    {
        public MotionException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>4: the serial port did not open in time.</summary>
    public class PortException : PollException
    {
        public PortException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>7: LePesoConsecutivo's time ran out before the weight settled.</summary>
    public class NotSettledException : PollException
    {
        public NotSettledException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

    /// <summary>A digital I/O or buffer command failed (-1, or no valid reply).</summary>
    public class DioException : TarvelException
    {
        public DioException(string m, int? c, string f, string t = "") : base(m, c, f, t) { }
    }

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
    /// One reading, immutable, with the fields of the reading record (README, "The reading
    /// record (JSON)"): weights as decimals (null when the text is not a number or the family
    /// does not supply it), unit, stable/overload/negative (null: the indicator does not
    /// tell), status "ok", and the texts. ToJson gives the record as one line of JSON.
    /// </summary>
    public sealed class Reading
    {
        public string Scale { get; }
        public string Model { get; }
        public long Seq { get; }
        public DateTime? Time { get; }
        public string Status { get; }
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
        public Reading(string scale, string model, long seq, DateTime? time, ReadingTexts texts,
                       string status = "ok", string unit = null)
        {
            Scale = scale;
            Model = model;
            Seq = seq;
            Time = time;
            Status = status;
            Texts = texts;
            if (texts == null) return;
            if (model != "5817c") {
                Gross = ParseWeight(texts.Gross);
                Net = ParseWeight(texts.Net);
                Tare = ParseWeight(texts.Tare);
            }
            var st = texts.Status ?? "";
            if (unit != null) {
                var u = unit.Trim();
                Unit = u.Length == 0 ? null : u;
            } else if (model != "ohaus" && model != "5817c" && st.Length >= 7) {
                var u = st.Substring(5, 2).Trim();
                Unit = u.Length == 0 || u == "EE" ? null : u;
            }
            Stable = texts.Motion == "N" ? true : texts.Motion == "S" ? false : (bool?)null;
            Overload = st.Length > 3 ? FlagOf(st[3]) : null;
            Negative = st.Length > 2 ? FlagOf(st[2]) : null;
        }

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
            b.Append(",\"model\":").Append(Json(Model));
            b.Append(",\"seq\":").Append(Seq.ToString(CultureInfo.InvariantCulture));
            b.Append(",\"time\":").Append(Time.HasValue ? Json(Time.Value.ToString("yyyy-MM-dd'T'HH:mm:ss.fff'Z'", CultureInfo.InvariantCulture)) : "null");
            b.Append(",\"status\":").Append(Json(Status));
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

    /// <summary>
    /// One indicator: a library channel for a model behind a converter channel
    /// (<see cref="Tcp"/>) or on a serial port (<see cref="Serial(string,int,string)"/>).
    /// Dispose it (using) to close and delete the channel. Call it from one thread.
    /// Models: "5817", "5817c" (raw), "krt", "ohaus", "msi3360", "msi6260" (any case).
    /// </summary>
    public sealed class Scale : IDisposable
    {
        static readonly Dictionary<string, Func<int, string, int>> TcpConstructors =
            new Dictionary<string, Func<int, string, int>> {
                { "5817", Native.W5817 }, { "5817c", Native.W5817C }, { "krt", Native.WKRT },
                { "ohaus", Native.WOhaus }, { "msi3360", Native.WMSI3360 }, { "msi6260", Native.WMSI6260 }
            };
        static readonly Dictionary<string, Func<int, int>> SerialConstructors =
            new Dictionary<string, Func<int, int>> {
                { "5817", Native.W5817Serial }, { "5817c", Native.W5817SerialC }, { "krt", Native.WKRTSerial },
                { "ohaus", Native.WOhausSerial }, { "msi3360", Native.WMSI3360Serial },
                { "msi6260", Native.WMSI6260Serial }
            };

        int channel;

        /// <summary>The record's scale name (default the model).</summary>
        public string Name { get; }
        /// <summary>The model, lower case.</summary>
        public string Model { get; }
        /// <summary>The library's channel index; -1 once disposed.</summary>
        public int Channel => channel;
        /// <summary>Readings so far.</summary>
        public long Seq { get; private set; }
        /// <summary>The last reading, or null.</summary>
        public Reading Last { get; private set; }

        Scale(string model, string name, int channel)
        {
            Model = model;
            Name = name ?? model;
            this.channel = channel;
        }

        static string CheckModel(string model)
        {
            var m = (model ?? "").ToLowerInvariant();
            if (!TcpConstructors.ContainsKey(m))
                throw new ArgumentException("unknown model '" + model + "': 5817, 5817c, krt, ohaus, msi3360 or msi6260",
                                            nameof(model));
            return m;
        }

        /// <summary>
        /// A scale behind converter channel <paramref name="letter"/> (A-D) at
        /// <paramref name="address"/> (IPv4). With <paramref name="connect"/> it connects now
        /// (Select_Canal, up to 10 s); every read connects, or reconnects, anyway.
        /// Throws ChannelException when the library refuses the address or letter,
        /// ConnectException when connecting fails.
        /// </summary>
        public static Scale Tcp(string model, string address, string letter, string name = null, bool connect = true)
        {
            var m = CheckModel(model);
            int ip = Native.Seta_Ip(address);
            if (ip == Codes.TARVEL_FAILED)
                throw new ChannelException("address refused: '" + address + "'", ip, "Seta_Ip");
            int ch = TcpConstructors[m](ip, letter);
            if (ch == Codes.TARVEL_FAILED)
                throw new ChannelException("channel letter refused: '" + letter + "'", ch,
                                           TcpConstructors[m].Method.Name);
            var s = new Scale(m, name, ch);
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

        /// <summary>A scale on serial port COM<paramref name="comNumber"/> (1 is COM1).</summary>
        public static Scale Serial(string model, int comNumber, string name = null)
        {
            var m = CheckModel(model);
            if (comNumber < 1 || comNumber > 65535)
                throw new ArgumentOutOfRangeException(nameof(comNumber), "COM number 1..65535");
            int ch = SerialConstructors[m](comNumber);
            if (ch == Codes.TARVEL_FAILED)
                throw new ChannelException("serial port refused: COM" + comNumber, ch,
                                           SerialConstructors[m].Method.Name);
            return new Scale(m, name, ch);
        }

        /// <summary>
        /// A scale on a serial port named "COM3", "\\.\COM3", "3" or, outside Windows, a
        /// device path such as "/dev/ttyUSB0" (given the first free TARVEL_COM&lt;n&gt;, the
        /// variable the library reads when it opens port n).
        /// </summary>
        public static Scale Serial(string model, string port, string name = null)
        {
            return Serial(model, ComNumber(port), name);
        }

        static int ComNumber(string port)
        {
            var s = port ?? "";
            if (s.StartsWith("\\\\.\\")) s = s.Substring(4);
            if (s.Length > 3 && s.Substring(0, 3).ToUpperInvariant() == "COM") s = s.Substring(3);
            int n;
            if (int.TryParse(s, NumberStyles.None, CultureInfo.InvariantCulture, out n)) return n;
            if (Environment.OSVersion.Platform == PlatformID.Win32NT || port == null || port.Length == 0)
                throw new ArgumentException("a COM port: a number, COMn or \\\\.\\COMn", nameof(port));
            int free = 0;
            for (int k = 1; k <= 255; k++) {
                var current = Environment.GetEnvironmentVariable("TARVEL_COM" + k);
                if (current == port) return k;
                if (string.IsNullOrEmpty(current) && free == 0) free = k;
            }
            if (free == 0) throw new ArgumentException("no free TARVEL_COMn variable for " + port, nameof(port));
            // Mono passes this on to the process environment, where the library reads it.
            Environment.SetEnvironmentVariable("TARVEL_COM" + free, port);
            return free;
        }

        int Ch()
        {
            if (channel < 0) throw new ObjectDisposedException(nameof(Scale));
            return channel;
        }

        /// <summary>The channel's error text not yet fetched (Display_Erro), else "".</summary>
        public string ErrorText() => Native.Text(Native.Display_Erro(Ch()));

        /// <summary>Connects a TCP channel or reconnects a dropped one (at once while connected).</summary>
        public void Connect()
        {
            int r = Native.Select_Canal(Ch());
            if (r != Codes.TARVEL_SELECT_OK)
                throw new ConnectException("could not connect", r, "Select_Canal", ErrorText());
        }

        /// <summary>
        /// Polls once (Update_Canal): the next frame, moving or not, within the model's own wait
        /// (10 s for 5817/KRT, 5 s for the others). An indicator out of range gives a reading
        /// with Overload true. Throws ConnectException, NoFrameException, PortException.
        /// </summary>
        public Reading Read()
        {
            Connect();
            return Take(Native.Update_Canal(Ch()), "Update_Canal");
        }

        /// <summary>
        /// Polls once for a frame without motion within <paramref name="timeout"/>
        /// (Update_NoMotion; the MSI indicators do not tell motion: any frame). Throws
        /// MotionException when the scale kept moving, as Read otherwise.
        /// </summary>
        public Reading Read(TimeSpan timeout)
        {
            if (timeout < TimeSpan.Zero) throw new ArgumentOutOfRangeException(nameof(timeout));
            int ms = (int)Math.Min(timeout.TotalMilliseconds, int.MaxValue);
            Connect();
            return Take(Native.Update_NoMotion(Ch(), ms), "Update_NoMotion");
        }

        /// <summary>
        /// Polls until the net weight was the same <paramref name="count"/> times within
        /// <paramref name="timeout"/>, in whole seconds rounded up (LePesoConsecutivo; 0 for
        /// either means the library's 10), and gives the last reading. Throws
        /// NotSettledException when it did not settle, or the last poll's exception.
        /// </summary>
        public Reading ReadStable(int count, TimeSpan timeout)
        {
            if (count < 0) throw new ArgumentOutOfRangeException(nameof(count));
            if (timeout < TimeSpan.Zero) throw new ArgumentOutOfRangeException(nameof(timeout));
            int seconds = (int)Math.Min(Math.Ceiling(timeout.TotalSeconds), int.MaxValue);
            Connect();
            int r = Native.LePesoConsecutivo(Ch(), seconds, count);
            return Take(r == Codes.TARVEL_STABLE_OK ? Codes.TARVEL_POLL_OK : r, "LePesoConsecutivo");
        }

        /// <summary>New line settings for a serial channel from its next poll (ProgSerial;
        /// parity 1 odd, 2 even, else none). Throws ChannelException for a TCP channel.</summary>
        public void SetSerial(int baud, int dataBits, int parity, int stopBits)
        {
            int r = Native.ProgSerial(Ch(), baud, (uint)dataBits, parity, (uint)stopBits);
            if (r != 1) throw new ChannelException("the channel has no serial port", r, "ProgSerial");
        }

        Reading Take(int code, string function)
        {
            int ch = Ch();
            if (code != Codes.TARVEL_POLL_OK && code != Codes.TARVEL_POLL_OUT_OF_RANGE) {
                var text = Native.Text(Native.Display_Erro(ch));
                switch (code) {
                case Codes.TARVEL_POLL_NO_FRAME:
                    throw new NoFrameException("no frame within the wait", code, function, text);
                case Codes.TARVEL_POLL_MOTION:
                    throw new MotionException("no frame without motion within the time-out", code, function, text);
                case Codes.TARVEL_POLL_NO_PORT:
                    throw new PortException("the serial port did not open", code, function, text);
                case Codes.TARVEL_STABLE_TIMEOUT:
                    throw new NotSettledException("the weight did not settle in time", code, function, text);
                default:
                    throw new PollException("the poll failed", code, function, text);
                }
            }
            var texts = new ReadingTexts(Native.Text(Native.Gross_Canal(ch)), Native.Text(Native.Net_Canal(ch)),
                                         Native.Text(Native.Tare_Canal(ch)), Native.Text(Native.Total_Canal(ch)),
                                         Native.Text(Native.Contadora_Canal(ch)),
                                         Native.Text(Native.Estado_Canal(ch)),
                                         Native.Text(Native.Estado_EmMovimento(ch)));
            Seq++;
            Last = new Reading(Name, Model, Seq, DateTime.UtcNow, texts, "ok",
                               Native.Text(Native.Unidade_Canal(ch)));
            return Last;
        }

        /// <summary>Closes and deletes the channel (Close_Canal, Deleta_Canal); idempotent.</summary>
        public void Dispose()
        {
            int ch = channel;
            channel = -1;
            if (ch >= 0) {
                Native.Close_Canal(ch);
                Native.Deleta_Canal(ch);
            }
        }
    }

    /// <summary>
    /// A network converter's digital inputs and outputs (TCP port 8880) and its buffer
    /// commands. Each call makes one connection for one command and blocks (about 10 s when
    /// the converter does not answer). Bit 0 is the first input or output. The converter does
    /// not confirm outputs: writing to an unreachable one throws nothing.
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
            IpIndex = Native.Seta_Ip(address);
            if (IpIndex == Codes.TARVEL_FAILED)
                throw new ChannelException("address refused: '" + address + "'", IpIndex, "Seta_Ip");
        }

        static int Check(int result, string function)
        {
            if (result == Codes.TARVEL_FAILED)
                throw new DioException("the converter command failed", result, function);
            return result;
        }

        /// <summary>The input port value (DIO_InPort).</summary>
        public int ReadInputs() => Check(Native.DIO_InPort(IpIndex), "DIO_InPort");

        /// <summary>The eight inputs, bit 0 first (DIO_InPortStr).</summary>
        public bool[] ReadInputBits()
        {
            var t = Native.Text(Native.DIO_InPortStr(IpIndex));
            if (t.Length != 8 || t.Trim('S', 'N').Length != 0)
                throw new DioException("no valid reply from the converter", Codes.TARVEL_FAILED, "DIO_InPortStr", t);
            var bits = new bool[8];
            for (int i = 0; i < 8; i++) bits[i] = t[i] == Codes.TARVEL_FLAG_YES;
            return bits;
        }

        /// <summary>One input (DIO_InBit; the bit is taken modulo 32).</summary>
        public bool ReadInput(int bit) => Check(Native.DIO_InBit(IpIndex, bit), "DIO_InBit") == 1;

        /// <summary>Sets every output from a number (DIO_OutPort).</summary>
        public void WriteOutputs(int value) => Check(Native.DIO_OutPort(IpIndex, value), "DIO_OutPort");

        /// <summary>Sets every output from "S"/"N" characters, bit 0 first (DIO_OutPortStr).</summary>
        public void WriteOutputs(string bits) => Check(Native.DIO_OutPortStr(IpIndex, bits), "DIO_OutPortStr");

        /// <summary>Sets one output on or off (DIO_OutBit).</summary>
        public void WriteOutput(int bit, bool on) => Check(Native.DIO_OutBit(IpIndex, bit, on ? 1 : 0), "DIO_OutBit");

        /// <summary>Clears the receive buffer of converter channel letter (ClrBufRx).</summary>
        public void ClearReceiveBuffer(string letter) => Check(Native.ClrBufRx(IpIndex, letter), "ClrBufRx");

        /// <summary>Clears the transmit buffer of converter channel letter (ClrBufTx).</summary>
        public void ClearTransmitBuffer(string letter) => Check(Native.ClrBufTx(IpIndex, letter), "ClrBufTx");
    }

    /// <summary>The library's version texts (FirVer).</summary>
    public static class Library
    {
        /// <summary>This binding's version: the library's CMake project version.</summary>
        public const string BindingVersion = "2.0.15";

        /// <summary>FirVer's five texts: product, version, two empty texts, library name.</summary>
        public static string[] VersionTexts()
        {
            IntPtr a, b, c, d, e;
            Native.FirVer(out a, out b, out c, out d, out e);
            return new[] { Native.Text(a), Native.Text(b), Native.Text(c), Native.Text(d), Native.Text(e) };
        }
    }
}
