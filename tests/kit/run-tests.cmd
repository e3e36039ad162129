@echo off
rem Runs the Windows test suites of Marblefinch_associate on this machine and puts back
rem everything they change: the keys they touch in both halves of the classes view, and
rem the files they leave outside this folder. Run it from an elevated command prompt, on a
rem virtual machine or a Windows that may be thrown away; it needs nothing else.
rem
rem Results: one line per suite, a total, and each suite's XML and log in results\.
rem Exit code: 0 when every suite passed and the machine was restored; 1 when a suite
rem failed; 2 when not elevated (nothing touched); 3 when the machine could not be saved or
rem restored (the snapshot is then kept, and the next start restores from it first); 4 when
rem another run is under way.
setlocal EnableExtensions DisableDelayedExpansion
rem A variable of that name would stand in for every exit code read below.
set "ERRORLEVEL="
set "KIT=%~dp0"
set "GUARD=%KIT%tests\kit_guard.exe"
rem Outside the kit's folder, so that a cut-off run is put right by any copy of the kit.
set "STATE=%ProgramData%\Marblefinch_associate test kit"
set "SNAPSHOT=%STATE%\snapshot.txt"
set "RESULTS=%KIT%results"
set "WORK=%KIT%work"

if not exist "%GUARD%" goto incomplete
rem Exit codes are tested on a line of their own: "||" is not reliable on every cmd.
"%GUARD%" elevated
if not "%errorlevel%"=="0" goto not_elevated

rem One run at a time: the lock names this command prompt; a lock whose prompt is gone
rem (a run that was cut off) is taken over.
"%GUARD%" lock "%STATE%"
if "%errorlevel%"=="4" goto busy
if not "%errorlevel%"=="0" goto lock_failed
call :run
set "CODE=%errorlevel%"
rem A snapshot still there could not be restored: the folder keeps it for the next start.
"%GUARD%" unlock "%STATE%"
exit /b %CODE%

:run
if not exist "%SNAPSHOT%" goto save
echo run-tests: a run that was cut off left its snapshot; restoring the machine from it first
"%GUARD%" restore "%SNAPSHOT%"
if "%errorlevel%"=="2" goto snapshot_refused
if not "%errorlevel%"=="0" goto restore_failed
echo run-tests: restored from the cut-off run's snapshot

:save
rem A results folder that cannot be cleared would mix an earlier run's files with this one's.
if exist "%RESULTS%" rmdir /s /q "%RESULTS%"
if exist "%RESULTS%" goto results_busy
if exist "%WORK%" rmdir /s /q "%WORK%"
if exist "%WORK%" goto results_busy
mkdir "%RESULTS%"
mkdir "%WORK%"
"%GUARD%" save "%SNAPSHOT%"
if not "%errorlevel%"=="0" goto save_failed
rem The suites' own temporary files stay inside the kit's folder.
set "TEMP=%WORK%"
set "TMP=%WORK%"

set /a passed=0
set /a failed=0
call :suite core_tests
call :suite wine_registry_tests
call :suite win32_tests
call :suite e2e_tests

cd /d "%KIT%"
echo %passed% passed, %failed% failed
"%GUARD%" restore "%SNAPSHOT%"
if not "%errorlevel%"=="0" goto restore_failed
rmdir /s /q "%WORK%"
if %failed% gtr 0 exit /b 1
exit /b 0

:suite
set "code=0"
rem A test program takes its arguments, and writes its XML file, in the ANSI code page,
rem which may lack characters of the kit's folder name: the XML goes to the state folder
rem first and is moved here.
if exist "%STATE%\%~1.xml" del "%STATE%\%~1.xml"
"%KIT%tests\%~1.exe" --gtest_output=xml:"%STATE%\%~1.xml" >"%RESULTS%\%~1.log" 2>&1
if not "%errorlevel%"=="0" set "code=1"
if exist "%STATE%\%~1.xml" move /y "%STATE%\%~1.xml" "%RESULTS%\%~1.xml" >nul
if not exist "%RESULTS%\%~1.xml" set "code=1"
if "%code%"=="0" (
    set /a passed+=1
    echo passed  %~1
) else (
    set /a failed+=1
    echo FAILED  %~1: see results\%~1.log
)
goto :eof

:not_elevated
echo run-tests: this needs an elevated command prompt: right-click Command Prompt, Run as administrator. Nothing was changed.
exit /b 2

:busy
echo run-tests: another run is under way; wait for it to end. Nothing was changed.
exit /b 4

:incomplete
echo run-tests: tests\kit_guard.exe is missing: unpack the whole kit. Nothing was changed.
exit /b 3

:results_busy
echo run-tests: the results or work folder of an earlier run is in use and cannot be cleared; close what holds it and run again. Nothing was changed.
exit /b 3

:lock_failed
echo run-tests: could not take the run's lock in "%STATE%"; nothing was changed.
exit /b 3

:save_failed
echo run-tests: could not save the keys the suites touch; no suite was run.
exit /b 3

:snapshot_refused
echo run-tests: the snapshot at "%SNAPSHOT%" was refused, as said above; nothing was changed. Look at it by hand: running again will not help.
exit /b 3

:restore_failed
echo run-tests: the machine could not be fully restored; the snapshot is kept at "%SNAPSHOT%"; run run-tests.cmd again to retry.
exit /b 3
