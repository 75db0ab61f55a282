@echo off
rem Flashes one frontend after another with Kestrune.exe and kovi_firmware.bin
rem from this folder, and stops at the first frontend that was not flashed.
rem Double-click it, or run it from a command prompt.
rem
rem --yes answers "Press Y" for you, and refuses an image older than the
rem frontend's firmware (exit status 3). To flash an older image on purpose,
rem add --allow-older to the Kestrune line below.
rem
rem Each run's log is kept as log-YYYYMMDD-HHMMSS-N.txt (N counts the runs
rem of this loop), moved away before the next run replaces it.
setlocal
rem The transport (w, u, b, n) and the pause after each chunk in milliseconds.
set transport=u
set pause=100
set run=0
echo Ctrl-C stops Kestrune in order. If Windows then asks "Terminate batch
echo job (Y/N)?", answer N: the loop keeps the log and tells what happened.

:next
call :keeplog
echo.
echo Connect the next frontend and press a key (Ctrl-C to end).
pause >nul
Kestrune.exe --yes --exit-status --history "history-%COMPUTERNAME%.csv" %transport% %pause%
set status=%ERRORLEVEL%
set /a run+=1
if "%status%"=="0" goto next
call :keeplog

rem "if errorlevel 1" would take a stopped run (-1073741510) for success:
rem compare the number itself.
set reason=
if "%status%"=="-1073741510" set "reason=stopped: this frontend may have only part of the image, see When a flash went wrong in README.txt"
if "%status%"=="1" set "reason=no session: the log, the SDK, its start or the frontend list failed"
if "%status%"=="2" set "reason=the question was not answered with Y"
if "%status%"=="3" set "reason=no single frontend, the connection failed, an older image, or another serial"
if "%status%"=="11" set "reason=kovi_firmware.bin cannot be opened"
if "%status%"=="12" set "reason=kovi_firmware.bin is too short to be an image"
if "%status%"=="13" set "reason=the frontend did not give its info"
if "%status%"=="14" set "reason=the image is for another kind of frontend (device id)"
if "%status%"=="15" set "reason=the image is for another hardware version"
if "%status%"=="16" set "reason=out of memory"
if "%status%"=="17" set "reason=the frontend refused a chunk: power-cycle it, check where it stands"
if "%status%"=="18" set "reason=the frontend did not report its status"
if "%status%"=="19" set "reason=the frontend never reported success: keep its power on"
if "%status%"=="20" set "reason=the frontend is not ready (power, battery, busy, or an error it reports)"
if "%status%"=="21" set "reason=kovi_firmware.bin is cut short: download it again"
if "%status%"=="22" set "reason=kovi_firmware.bin is damaged: download it again"
if "%status%"=="23" set "reason=kovi_firmware.bin is damaged: download it again"
if "%status%"=="24" set "reason=kovi_firmware.bin is empty: download it again"
if "%status%"=="25" set "reason=kovi_firmware.bin is too large for a frontend"
if not defined reason set "reason=see the log"
echo.
echo Not flashed (exit status %status%): %reason%.
echo The log of this run: %kept%
echo Press a key to close this window.
pause >nul
exit /b %status%

rem Moves the last run's log away under a name that sorts by time; the time
rem comes from PowerShell or WMIC, which do not depend on the locale, or else
rem from %DATE% and %TIME% with the characters a file name cannot hold taken
rem out.
:keeplog
if not exist kovi_kestrune.log exit /b 0
set stamp=
for /f "delims=" %%t in ('powershell -NoProfile -Command "Get-Date -Format yyyyMMdd-HHmmss" 2^>nul') do set stamp=%%t
if not defined stamp for /f "tokens=2 delims==." %%t in ('wmic os get LocalDateTime /value 2^>nul ^| find "="') do set wmi=%%t
if not defined stamp if defined wmi set stamp=%wmi:~0,8%-%wmi:~8,6%
if not defined stamp set stamp=%DATE%-%TIME%
set stamp=%stamp:/=%
set stamp=%stamp::=%
set stamp=%stamp:.=%
set stamp=%stamp:,=%
set stamp=%stamp: =%
set kept=log-%stamp%-%run%.txt
move /y kovi_kestrune.log "%kept%" >nul
exit /b 0
