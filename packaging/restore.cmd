@echo off
rem txd-depth-fix @PROJECT_VERSION@: undoes repairs. Drop repaired archives,
rem .txd files or folders onto this file: each file that has a backup goes
rem back to what its newest backup holds (FILE.N.bak, else FILE.bak), and
rem that backup is deleted. The window stays open until a key is pressed.
if "%~1"=="" goto nothing
"%~dp0txd-depth-fix.exe" --restore -v --totals %*
goto done
:nothing
echo Drop repaired archives, .txd files or folders onto restore.cmd to undo
echo their repair: each goes back to what its newest backup holds.
:done
pause
