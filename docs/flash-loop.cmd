@echo off
rem Flashes one frontend after another with Kestrune.exe and kovi_firmware.bin
rem from this folder, and stops at the first frontend that was not flashed.
rem Double-click it, or run it from a command prompt.
rem
rem --yes answers "Press Y" for you, and refuses an image older than the
rem frontend's firmware (exit status 3). To flash an older image on purpose,
rem add --allow-older to the Kestrune line below.
setlocal
rem The transport (w, u, b, n) and the pause after each chunk in milliseconds.
set transport=u
set pause=100
set run=0

:next
echo.
echo Connect the next frontend and press a key (Ctrl-C to end).
pause >nul
Kestrune.exe --yes --exit-status --history "history-%COMPUTERNAME%.csv" %transport% %pause%
set status=%ERRORLEVEL%
rem Each run replaces the log: keep a copy of every one.
set /a run+=1
copy /y kovi_kestrune.log "log-%DATE:/=-%-%TIME::=-%-%run%.txt" >nul
if "%status%"=="0" goto next

rem "if errorlevel 1" would take a stopped run (-1073741510) for success:
rem compare the number itself.
echo.
if "%status%"=="-1073741510" (
    echo Stopped: this frontend may have only part of the image.
    echo See "When a flash went wrong" in README.txt.
) else if "%status%"=="3" (
    echo Not flashed: no single frontend, the connection failed, or an older image.
) else (
    echo Not flashed: exit status %status%. See kovi_kestrune.log.
)
echo Press a key to close this window.
pause >nul
exit /b %status%
