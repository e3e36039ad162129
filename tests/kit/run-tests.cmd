@echo off
rem Runs the Windows test suites of Marblefinch_associate on this machine and puts back
rem everything they change. tests\kit_guard.exe does the whole run in one process (save,
rem suites, restore), so that Ctrl+C or closing this window cannot skip the restore; this
rem file only starts it. Run it from an elevated command prompt, best on a virtual machine or
rem a Windows that may be thrown away, from a folder that only administrators can change.
rem
rem   run-tests.cmd            run the suites
rem   run-tests.cmd /limit:N   the same, each suite ended after N seconds (1 to 86400; 1800
rem                            without it)
rem   run-tests.cmd /restore   only put back the snapshot a cut-off run left, and stop; start
rem                            run-tests.cmd again to run the suites
rem
rem Exit code: 0 every suite passed and the machine was restored (with /restore: everything
rem was put back); 1 a suite failed or the run was stopped; 2 not elevated or wrong arguments
rem (nothing touched); 3 the machine could not be saved or restored, the run was ended from
rem outside, the kit is incomplete, or others than administrators may change it (nothing
rem touched); 4 another run is under way; 5 a cut-off run left its snapshot (nothing touched:
rem see what it says, then run with /restore).
setlocal EnableExtensions DisableDelayedExpansion
rem A variable named ERRORLEVEL would stand in for every exit code read below: where one
rem exists, "you'll get that ERRORLEVEL value instead" (learn.microsoft.com/windows-server/
rem administration/windows-commands/if).
set "ERRORLEVEL="
if not exist "%~dp0tests\kit_guard.exe" goto incomplete
"%~dp0tests\kit_guard.exe" run %*
set "CODE=%errorlevel%"
rem A run that ends normally deletes its snapshot; one that is still there after 0 or 1 was
rem ended from outside (End task, taskkill /f: 1 assumed, A22, docs/assumptions.md) before it
rem could put the machine back.
set "SNAPSHOT=%ProgramData%\Marblefinch_associate test kit\snapshot.txt"
if "%CODE%"=="0" if exist "%SNAPSHOT%" goto cut_off
if "%CODE%"=="1" if exist "%SNAPSHOT%" goto cut_off
if %CODE% geq 0 if %CODE% leq 5 exit /b %CODE%
rem Not one of its own codes: it did not run as it should, or did not run at all.
rem 9009 is taken to be what cmd gives for a command it cannot find (assumed: A21,
rem docs/assumptions.md).
rem No parentheses in the two lines below: Wine's cmd ends the command after an if at one.
if "%CODE%"=="9009" echo run-tests: Windows could not start tests\kit_guard.exe: error 9009; what was printed above may tell.
if not "%CODE%"=="9009" echo run-tests: tests\kit_guard.exe ended with %CODE%, which is none of its own exit codes: it did not run as it should, or was kept from starting, by a security product or a policy, say; what was printed above may tell. If it ran, the next start names any snapshot it left.
exit /b 3

:cut_off
echo run-tests: tests\kit_guard.exe was ended before it could put the machine back; its snapshot is kept. Start run-tests.cmd again to see what differs from it.
exit /b 3

:incomplete
echo run-tests: tests\kit_guard.exe is missing: unpack the whole kit. Nothing was changed.
exit /b 3
