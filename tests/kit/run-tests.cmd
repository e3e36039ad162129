@echo off
rem Runs the Windows test suites of Marblefinch_associate on this machine and puts back
rem everything they change. tests\kit_guard.exe does the whole run in one process (save,
rem suites, restore), so that Ctrl+C or closing this window cannot skip the restore; this
rem file only starts it. Run it from an elevated command prompt, best on a virtual machine or
rem a Windows that may be thrown away.
rem
rem   run-tests.cmd            run the suites
rem   run-tests.cmd /restore   first put back the snapshot a cut-off run left, then run
rem
rem Exit code: 0 every suite passed and the machine was restored; 1 a suite failed or the run
rem was stopped; 2 not elevated or wrong arguments (nothing touched); 3 the machine could not
rem be saved or restored, the run was ended from outside, or the kit is incomplete; 4 another
rem run is under way; 5 a cut-off run left its snapshot (nothing touched: see what it says,
rem then run with /restore).
setlocal EnableExtensions DisableDelayedExpansion
rem A variable of that name would stand in for every exit code read below.
set "ERRORLEVEL="
if not exist "%~dp0tests\kit_guard.exe" goto incomplete
"%~dp0tests\kit_guard.exe" run %*
set "CODE=%errorlevel%"
rem A run that ends normally deletes its snapshot; one that is still there after 0 or 1 was
rem ended from outside (End task, taskkill) before it could put the machine back.
set "SNAPSHOT=%ProgramData%\Marblefinch_associate test kit\snapshot.txt"
if "%CODE%"=="0" if exist "%SNAPSHOT%" goto cut_off
if "%CODE%"=="1" if exist "%SNAPSHOT%" goto cut_off
if %CODE% geq 0 if %CODE% leq 5 exit /b %CODE%
rem Not one of its own codes: it did not run as it should, or did not run at all.
if "%CODE%"=="9009" echo run-tests: Windows could not start tests\kit_guard.exe (9009: not found).
if not "%CODE%"=="9009" echo run-tests: tests\kit_guard.exe ended with %CODE%, which is none of its own exit codes: it did not run as it should, or was kept from starting (by a security product or a policy, say); what was printed above may tell. If it ran, the next start names any snapshot it left.
exit /b 3

:cut_off
echo run-tests: tests\kit_guard.exe was ended before it could put the machine back; its snapshot is kept. Start run-tests.cmd again to see what differs from it.
exit /b 3

:incomplete
echo run-tests: tests\kit_guard.exe is missing: unpack the whole kit. Nothing was changed.
exit /b 3
