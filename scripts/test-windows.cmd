@echo off
rem Runs every test program of a Windows build natively, from an administrator's console, and ends
rem with the same line as scripts/test: "tests: N passed, N failed".
rem   scripts\test-windows.cmd [FOLDER]
rem FOLDER holds the test programs and their fixtures (default: build\windows\bin of this checkout);
rem GTEST_FILTER, when set, picks tests as in any GoogleTest program. The tests install and remove
rem the Zelto_service service itself, so it refuses to run where that service is installed. What
rem the tests leave (the service's log, their folders, temporary files) is removed or restored.
setlocal EnableExtensions
set "bin=%~1"
if "%bin%"=="" set "bin=%~dp0..\build\windows\bin"
if not exist "%bin%\zelto_windows_tests.exe" (
    echo test-windows: no zelto_windows_tests.exe in "%bin%" 1>&2
    exit /b 2
)
rem Only an administrator may create a folder in the Windows folder. (Wine's cmd runs the command
rem after && whatever the first one returned: errorlevel is tested instead.)
set "probe=%SystemRoot%\zelto-admin-check-%RANDOM%"
mkdir "%probe%" 2>nul
if errorlevel 1 (
    echo test-windows: run it from an administrator's console 1>&2
    exit /b 2
)
rmdir "%probe%"
reg query HKLM\SYSTEM\CurrentControlSet\Services\Zelto_service >nul 2>&1
if not errorlevel 1 (
    echo test-windows: a Zelto_service service is installed here and the tests would remove it 1>&2
    exit /b 2
)

set "scratch=%TEMP%\zelto-tests-%RANDOM%%RANDOM%"
mkdir "%scratch%\temp"
set "log=C:\Users\Public\velmora-service.log"
if exist "%log%" copy /y "%log%" "%scratch%\log-before" >nul
rem The tests' own folders under the temporary folder go with the scratch folder.
set "TEMP=%scratch%\temp"
set "TMP=%scratch%\temp"

set /a passed=0, failed=0, skipped=0
rem (Wine's cmd matches no quoted wildcard in a plain for; dir does.)
for /f "delims=" %%p in ('dir /b "%bin%\*_tests.exe"') do call :run_program "%bin%\%%p"

if exist "%scratch%\log-before" (copy /y "%scratch%\log-before" "%log%" >nul) else (del "%log%" 2>nul)
rmdir /s /q "C:\Zelto Test Folder" 2>nul
cd /d "%~dp0"
rmdir /s /q "%scratch%"
echo skipped: %skipped%
echo tests: %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0

rem run_program EXE: runs one test program, shows its output and adds up its summary lines,
rem "[  PASSED  ] N tests." and the like. One that ends without its summary, a crash, counts as
rem one failure. (Wine's cmd expands no loop variable in the file of a nested for /f.)
:run_program
echo == %~nx1
"%~1" >"%scratch%\%~n1.out" 2>&1
set "code=%errorlevel%"
type "%scratch%\%~n1.out"
set /a counted=0
for /f "usebackq tokens=1-5" %%a in ("%scratch%\%~n1.out") do (
    if "%%a%%b%%c"=="[PASSED]" set /a passed+=%%d
    if "%%a%%b%%c"=="[SKIPPED]" if "%%e"=="tests," set /a skipped+=%%d
    if "%%a%%b%%c"=="[SKIPPED]" if "%%e"=="test," set /a skipped+=%%d
    if "%%a%%b%%c"=="[FAILED]" if "%%e"=="tests," set /a failed+=%%d, counted+=%%d
    if "%%a%%b%%c"=="[FAILED]" if "%%e"=="test," set /a failed+=%%d, counted+=%%d
)
if not "%code%"=="0" if "%counted%"=="0" (
    echo test-windows: %~nx1 exited with %code% 1>&2
    set /a failed+=1
)
exit /b 0
