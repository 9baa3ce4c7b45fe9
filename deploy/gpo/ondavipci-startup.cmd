@echo off
rem Group Policy computer startup script: sets the Ondavi phone options at
rem every start, with the fleet tool that the package installed. apply writes
rem only when the values are not right; its outcome is in
rem C:\ProgramData\Ondavi\ondavipci\apply.log. Exit code: 0, 2 (no Ondavi
rem device) or 1603 (failed).
rem The package installs into Program Files (x86) on 64-bit Windows; on 32-bit
rem Windows, where that variable is not defined, into Program Files.
set "folder=%ProgramFiles(x86)%"
if "%folder%"=="" set "folder=%ProgramFiles%"
"%folder%\Ondavi\ondavipci\ondavipci-fleet.exe" apply
exit /b %errorlevel%
