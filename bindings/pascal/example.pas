{ A small Tarvel6 host: reads one weight from a 5817 indicator behind a network
  converter and prints it.

    example ADDRESS LETTER        e.g.  example 192.168.0.50 A

  Build with Free Pascal, next to the unit Tarvel6.pas:
    fpc -Mdelphi -Fl<folder of libTarvel6.so> example.pas     (Linux)
    fpc -Mdelphi example.pas                                   (Windows, with Tarvel6.dll)

  Exit code: the poll's result (0 a frame was read, 1 no frame, 2 no frame without
  motion, 3 out of range, 4 serial port did not open), 5 when the converter could
  not be reached, 6 when the channel could not be created, 64 for wrong arguments. }
program example;

{$IFDEF FPC}
{$MODE DELPHI}
{$ENDIF}

uses Tarvel6, SysUtils;

var
  Ip, Ch, R: LongInt;
  Address, Letter, Net, Gross, Tare, Status: AnsiString;

begin
  if ParamCount <> 2 then
  begin
    WriteLn('usage: example ADDRESS LETTER   (letter A..D of the converter channel)');
    Halt(64);
  end;
  Address := AnsiString(ParamStr(1));
  Letter := AnsiString(ParamStr(2));

  { 1. register the converter's address, 2. create the channel }
  Ip := Seta_Ip(PAnsiChar(Address));
  Ch := -1;
  if Ip >= 0 then
    Ch := W5817(Ip, PAnsiChar(Letter));
  if Ch < 0 then
  begin
    WriteLn('cannot create a channel for ', Address, ' ', Letter);
    Halt(6);
  end;

  { 3. connect (waits up to 10 s) }
  if Select_Canal(Ch) <> 1 then
  begin
    WriteLn('cannot connect: ', StrPas(Display_Erro(Ch)));
    Deleta_Canal(Ch);
    Halt(5);
  end;

  { 4. poll, 5. copy the texts before the next poll or the deletion }
  R := Update_Canal(Ch);
  if (R = 0) or (R = 3) then
  begin
    Net := Trim(StrPas(Net_Canal(Ch)));
    Gross := Trim(StrPas(Gross_Canal(Ch)));
    Tare := Trim(StrPas(Tare_Canal(Ch)));
    Status := StrPas(Estado_Canal(Ch));
    WriteLn('net ', Net, ' gross ', Gross, ' tare ', Tare, ' status ', Status);
  end
  else
    WriteLn('no weight: poll result ', R);

  { 6. release the connection and the channel }
  Close_Canal(Ch);
  Deleta_Canal(Ch);
  Halt(R);
end.
