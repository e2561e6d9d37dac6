// The library's 42 C functions for .NET hosts, one to one, and its result codes by name.
//
// DllImport("Tarvel6") loads Tarvel6.dll on Windows (standard-call, a 32-bit process, as the
// DLL is 32-bit) and, under Mono, the library that Tarvel6.Net.dll.config maps the name to
// elsewhere (libTarvel6.so.2). Texts that the library returns are declared IntPtr: the buffers
// belong to the library, and a string return would make the runtime free them. Read them with
// Native.Text (Marshal.PtrToStringAnsi on Windows) before the channel's next poll or deletion.
using System;
using System.Runtime.InteropServices;

namespace Tarvel6
{
    /// <summary>The exported functions, as include/tarvel6.h declares them.</summary>
    public static class Native
    {
        /// <summary>The library's name for DllImport (mapped per platform, see the file's head).</summary>
        public const string Library = "Tarvel6";
        const CallingConvention Call = CallingConvention.StdCall;

        // ---- converter addresses and errors
        [DllImport(Library, CallingConvention = Call)]
        public static extern int Seta_Ip([MarshalAs(UnmanagedType.LPStr)] string address);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Display_Erro(int channel);

        // ---- constructors: the new channel index, or -1
        [DllImport(Library, CallingConvention = Call)]
        public static extern int W5817(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int W5817C(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int W5817Serial(int comNumber);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int W5817SerialC(int comNumber);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WKRT(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WKRTSerial(int comNumber);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WOhaus(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WOhausSerial(int comNumber);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WMSI3360(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WMSI3360Serial(int comNumber);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WMSI6260(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int WMSI6260Serial(int comNumber);

        // ---- lifecycle
        [DllImport(Library, CallingConvention = Call)]
        public static extern int Select_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void Close_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void Deleta_Canal(int channel);

        // ---- polling
        [DllImport(Library, CallingConvention = Call)]
        public static extern int Update_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int Update_NoMotion(int channel, int timeoutMs);

        // ---- values of the last poll (texts: read with Text)
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Gross_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Net_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Tare_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Total_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Contadora_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Estado_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Estado_EmMovimento(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern double Gross_Canal_Float(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern double Net_Canal_Float(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern double Tare_Canal_Float(int channel);
        /// <summary>
        /// As the library has it: polls until the net weight was the same count times. It
        /// compares net weights only and does not look at motion or out of range; for a weight
        /// at rest use Scale.ReadStable.
        /// </summary>
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr Unidade_Canal(int channel);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int LePesoConsecutivo(int channel, int seconds, int count);

        // ---- converter digital I/O
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_InPort(int ipIndex);
        [DllImport(Library, CallingConvention = Call)]
        public static extern IntPtr DIO_InPortStr(int ipIndex);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_InBit(int ipIndex, int bit);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_InBitStr(int ipIndex, int bit);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_OutPort(int ipIndex, int value);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_OutPortStr(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string bits);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_OutBit(int ipIndex, int bit, int state);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int DIO_OutBitStr(int ipIndex, int bit, [MarshalAs(UnmanagedType.LPStr)] string state);

        // ---- serial settings, converter buffers, version
        [DllImport(Library, CallingConvention = Call)]
        public static extern int ProgSerial(int channel, int baud, uint dataBits, int parity, uint stopBits);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int ClrBufRx(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int ClrBufTx(int ipIndex, [MarshalAs(UnmanagedType.LPStr)] string letter);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void FirVer(out IntPtr product, out IntPtr version, out IntPtr p3, out IntPtr p4,
                                         out IntPtr name);

        /// <summary>
        /// A text the library returned, copied: Marshal.PtrToStringAnsi where the ANSI code page
        /// is the library's own (Windows); elsewhere the runtime's "ANSI" is UTF-8, so the
        /// Windows-1252 bytes are decoded here. "" for a null pointer.
        /// </summary>
        public static string Text(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) return Marshal.PtrToStringAnsi(text);
            var chars = new System.Text.StringBuilder();
            for (int i = 0;; i++) {
                byte b = Marshal.ReadByte(text, i);
                if (b == 0) break;
                chars.Append(b >= 0x80 && b < 0xA0 ? Cp1252High[b - 0x80] : (char)b);
            }
            return chars.ToString();
        }

        // Windows-1252 0x80-0x9F (the rest is Latin-1); U+FFFD where it defines nothing.
        const string Cp1252High = "\u20AC\uFFFD\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\uFFFD\u017D\uFFFD" +
                                  "\uFFFD\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\uFFFD\u017E\u0178";
    }

    /// <summary>The result codes of include/tarvel6.h under their C names. The values are fixed.</summary>
    public static class Codes
    {
        // enum tarvel_poll_result: Update_Canal, Update_NoMotion
        public const int TARVEL_POLL_OK = 0;           // a frame was read
        public const int TARVEL_POLL_NO_FRAME = 1;     // none in time; also a refused call
        public const int TARVEL_POLL_MOTION = 2;       // none without motion within the time-out
        public const int TARVEL_POLL_OUT_OF_RANGE = 3; // the indicator reports out of range
        public const int TARVEL_POLL_NO_PORT = 4;      // the serial port did not open in time
        // enum tarvel_stable_result: LePesoConsecutivo (else the last poll's 1..4)
        public const int TARVEL_STABLE_NO_CHANNEL = -1;
        public const int TARVEL_STABLE_OK = 0;
        public const int TARVEL_STABLE_TIMEOUT = 7;
        // enum tarvel_select_result: Select_Canal
        public const int TARVEL_SELECT_FAILED = 0;
        public const int TARVEL_SELECT_OK = 1;
        // enum tarvel_common_result: Seta_Ip, constructors, digital I/O, ClrBufRx, ClrBufTx
        public const int TARVEL_FAILED = -1;
        public const int TARVEL_DONE = 0;              // DIO_Out*, ClrBufRx, ClrBufTx: sent (-1: nothing was)
        // enum tarvel_flag: Estado_Canal, Estado_EmMovimento, DIO_InBitStr
        public const char TARVEL_FLAG_YES = 'S';
        public const char TARVEL_FLAG_NO = 'N';
        public const char TARVEL_FLAG_UNKNOWN = 'E';
    }

    /// <summary>enum tarvel_poll_result.</summary>
    public enum PollResult
    {
        Ok = Codes.TARVEL_POLL_OK,
        NoFrame = Codes.TARVEL_POLL_NO_FRAME,
        Motion = Codes.TARVEL_POLL_MOTION,
        OutOfRange = Codes.TARVEL_POLL_OUT_OF_RANGE,
        NoPort = Codes.TARVEL_POLL_NO_PORT
    }

    /// <summary>enum tarvel_stable_result.</summary>
    public enum StableResult
    {
        NoChannel = Codes.TARVEL_STABLE_NO_CHANNEL,
        Ok = Codes.TARVEL_STABLE_OK,
        Timeout = Codes.TARVEL_STABLE_TIMEOUT
    }

    /// <summary>enum tarvel_select_result.</summary>
    public enum SelectResult
    {
        Failed = Codes.TARVEL_SELECT_FAILED,
        Ok = Codes.TARVEL_SELECT_OK
    }

    /// <summary>enum tarvel_common_result.</summary>
    public enum CommonResult
    {
        Failed = Codes.TARVEL_FAILED,
        Done = Codes.TARVEL_DONE
    }

    /// <summary>enum tarvel_flag: the one-letter flags.</summary>
    public enum Flag
    {
        Yes = Codes.TARVEL_FLAG_YES,
        No = Codes.TARVEL_FLAG_NO,
        Unknown = Codes.TARVEL_FLAG_UNKNOWN
    }
}
