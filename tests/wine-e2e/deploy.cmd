@echo off
rem What a deployment tool's script does with the updater: run it
rem unattended and act on its exit code. Its own codes: 0 updated, 2 try
rem again later, 1 failed.
"%~1" /s
set code=%ERRORLEVEL%
if "%code%"=="0" (
  echo deploy: updated
  exit /b 0
)
if "%code%"=="1618" (
  echo deploy: retry later
  exit /b 2
)
echo deploy: failed with %code%
exit /b 1
