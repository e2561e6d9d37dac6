{ Reads one weight from a 5817 indicator on a converter channel:  minimal 192.168.0.50 A }
program minimal;
{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
uses Tarvel6;
var
  Ch, R: LongInt;
begin
  Ch := W5817(Seta_Ip(PAnsiChar(AnsiString(ParamStr(1)))), PAnsiChar(AnsiString(ParamStr(2))));
  if Ch < 0 then Halt(6);
  R := TARVEL_POLL_NO_FRAME;
  if Select_Canal(Ch) = TARVEL_SELECT_OK then R := Update_Canal(Ch);
  if R = TARVEL_POLL_OK then WriteLn('net ', Net_Canal(Ch), ' status ', Estado_Canal(Ch));
  Close_Canal(Ch);
  Deleta_Canal(Ch);
  Halt(R);
end.
