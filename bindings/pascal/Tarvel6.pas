{ Tarvel6 import unit: every exported function of the library and its result
  codes by name, for Pascal hosts (Free Pascal in Delphi mode, or Delphi 2009 and
  later: every text is PAnsiChar, single-byte, whatever the compiler's string type).

  On Windows the functions are imported from Tarvel6.dll with the standard-call
  convention; on Linux from libTarvel6.so with the C convention (link with
  -Fl<folder of the library>; at run time the dynamic linker must find it, e.g. via
  LD_LIBRARY_PATH). Texts are zero-terminated single-byte strings owned by the
  library: copy them before the channel's next poll or deletion.

  Calling order: Seta_Ip, a constructor (W5817, WOhausSerial, ...), Select_Canal,
  Update_Canal (or Update_NoMotion / LePesoConsecutivo), the value functions,
  Close_Canal, Deleta_Canal. See include/tarvel6.h for the meaning of every result
  and example.pas for a small host. }
unit Tarvel6;

{$IFDEF FPC}
{$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  Tarvel6Lib = 'Tarvel6.dll';
{$ELSE}
  Tarvel6Lib = 'libTarvel6.so';
{$ENDIF}
  { This unit's version: the library's project version. }
  Tarvel6UnitVersion = '2.0.15';

  { Result codes (include/tarvel6.h). The values are fixed. }
  { Update_Canal, Update_NoMotion (and the failures LePesoConsecutivo passes on) }
  TARVEL_POLL_OK = 0;            { a frame was read: the value functions give its values }
  TARVEL_POLL_NO_FRAME = 1;      { none in time; also a refused call (closed, nested poll) }
  TARVEL_POLL_MOTION = 2;        { none without motion within Update_NoMotion's time-out }
  TARVEL_POLL_OUT_OF_RANGE = 3;  { the indicator reports out of range (5817, KRT) }
  TARVEL_POLL_NO_PORT = 4;       { the serial port did not open in time }
  { LePesoConsecutivo; after a failed last poll it returns that poll's code (1..4) }
  TARVEL_STABLE_NO_CHANNEL = -1; { the channel was -1 }
  TARVEL_STABLE_OK = 0;          { the net weight repeated Count times }
  TARVEL_STABLE_TIMEOUT = 7;     { time up while the polls succeeded: it did not settle }
  { Select_Canal }
  TARVEL_SELECT_FAILED = 0;      { bad index, refused or not connected within 10 s }
  TARVEL_SELECT_OK = 1;          { connected, already connected, or a serial or closed channel }
  { Seta_Ip, the constructors, the digital I/O functions, ClrBufRx, ClrBufTx }
  TARVEL_FAILED = -1;
  TARVEL_DONE = 0;               { DIO_Out*, ClrBufRx, ClrBufTx: the command was sent on a
                                   connection to the converter (-1: nothing was sent) }
  { The one-letter flags of Estado_Canal, Estado_EmMovimento and DIO_InBitStr
    (which returns Ord of the letter) }
  TARVEL_FLAG_YES = 'S';         { set, on }
  TARVEL_FLAG_NO = 'N';          { clear, off }
  TARVEL_FLAG_UNKNOWN = 'E';     { the indicator does not tell; DIO_InBitStr: failure }

{$IFDEF MSWINDOWS}
{$DEFINE TARVEL_STDCALL}
{$ENDIF}

{ converter addresses and errors }
function Seta_Ip(Address: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Display_Erro(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ constructors: the new channel index, or -1 }
function W5817(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function W5817C(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function W5817Serial(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function W5817SerialC(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WKRT(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WKRTSerial(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WOhaus(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WOhausSerial(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WMSI3360(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WMSI3360Serial(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WMSI6260(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function WMSI6260Serial(ComNumber: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ lifecycle }
function Select_Canal(Channel: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
procedure Close_Canal(Channel: LongInt); {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
procedure Deleta_Canal(Channel: LongInt); {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ polling: TARVEL_POLL_OK .. TARVEL_POLL_NO_PORT }
function Update_Canal(Channel: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Update_NoMotion(Channel: LongInt; TimeOut: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ values of the last poll }
function Gross_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Net_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Tare_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Total_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Contadora_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Estado_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Estado_EmMovimento(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Gross_Canal_Float(Channel: LongInt): Double; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Net_Canal_Float(Channel: LongInt): Double; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function Tare_Canal_Float(Channel: LongInt): Double; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
{ the unit the last frame or line named ('' when none) }
function Unidade_Canal(Channel: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
{ LePesoConsecutivo compares net weights only: it does not look at the motion flag nor at
  out of range, so it may give TARVEL_STABLE_OK while the indicator reports motion. For a
  weight at rest poll with Update_Canal and take Count readings in a row with result 0,
  Estado_EmMovimento not 'S', the 4th character of Estado_Canal not 'S' and the same net
  weight, as tarvel stable and the other bindings' stable reads do. }
function LePesoConsecutivo(Channel, Seconds, Count: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ converter digital I/O. The output functions, ClrBufRx and ClrBufTx give 0 once the
  command was sent on a connection to the converter (its reply is not examined) and -1 when
  nothing was sent: a bad IP index, no connection (refused, unreachable, not made within
  10 s), or a failed send or receive. }
function DIO_InPort(IpIndex: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_InPortStr(IpIndex: LongInt): PAnsiChar; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_InBit(IpIndex, Bit: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_InBitStr(IpIndex, Bit: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_OutPort(IpIndex, Value: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_OutPortStr(IpIndex: LongInt; Bits: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_OutBit(IpIndex, Bit, State: LongInt): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function DIO_OutBitStr(IpIndex, Bit: LongInt; State: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

{ serial settings, converter buffers, version }
function ProgSerial(Channel, Baud: LongInt; DataBits: LongWord; Parity: LongInt; StopBits: LongWord): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function ClrBufRx(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
function ClrBufTx(IpIndex: LongInt; Letter: PAnsiChar): LongInt; {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;
procedure FirVer(var Product, Version, Text3, Text4, Name: PAnsiChar); {$IFDEF TARVEL_STDCALL}stdcall{$ELSE}cdecl{$ENDIF}; external Tarvel6Lib;

implementation

end.
