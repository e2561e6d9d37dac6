{ A Pascal host that uses the import unit: reads converter channel A of the
  address given as the first argument and checks the texts against the
  expected net text given as the second. Exit code 0 when all matched. }
program host;

{$MODE DELPHI}

uses Tarvel6, SysUtils;

var
  P1, P2, P3, P4, P5: PAnsiChar;
  Ip, Ch, R, Failures: LongInt;

procedure Check(const What: string; Ok: Boolean);
begin
  if Ok then
    WriteLn('ok   ', What)
  else
  begin
    WriteLn('FAIL ', What);
    Inc(Failures);
  end;
end;

begin
  Failures := 0;
  FirVer(P1, P2, P3, P4, P5);
  Check('FirVer', (StrPas(P1) = 'TARVEL') and (StrPas(P2) = '2.0.15') and
    (StrPas(P3) = '') and (StrPas(P4) = '') and (StrPas(P5) = 'Tarvel6'));
  Ip := Seta_Ip(PAnsiChar(AnsiString(ParamStr(1))));
  Check('Seta_Ip', Ip = 0);
  Check('bad letter', W5817(Ip, 'E') = -1);
  Ch := W5817(Ip, 'a');
  Check('W5817', Ch = 0);
  Check('Select_Canal', Select_Canal(Ch) = 1);
  R := Update_Canal(Ch);
  Check('Update_Canal', R = 0);
  Check('Net_Canal = [' + StrPas(Net_Canal(Ch)) + ']', StrPas(Net_Canal(Ch)) = ParamStr(2));
  Check('Net_Canal_Float', Abs(Net_Canal_Float(Ch) - StrToFloat(Trim(ParamStr(2)))) < 1e-9);
  Check('Estado_Canal', StrLen(Estado_Canal(Ch)) = 8);
  Check('Update_NoMotion', Update_NoMotion(Ch, 3000) = 0);
  Close_Canal(Ch);
  Check('closed', StrPas(Gross_Canal(Ch)) = 'EEEEEEEEEE');
  Deleta_Canal(Ch);
  Check('Display_Erro', StrPas(Display_Erro(5)) = '');
  if Failures = 0 then WriteLn('all passed');
  Halt(Failures);
end.
