#!/bin/sh
# Runs a Windows test program under wine for CTest (the cross build's CMAKE_CROSSCOMPILING_EMULATOR):
#   wine-run.sh WINE PROGRAM [ARGUMENT...]
# WINE is the wine program for the build's width (wine, or the 64-bit loader wine64).
#
# The first wine program of a session starts wine's system processes (services.exe and the
# like), which inherit its standard output and error and keep them open until the session ends,
# a few seconds after the last program. CTest reads a test's output until the pipe closes, so a
# test that happened to start the session would last as long as the session. A program with
# its output on /dev/null therefore starts (or joins) the session first.
wine=$1
shift
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
exec "$wine" "$@"
