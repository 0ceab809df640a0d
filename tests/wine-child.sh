#!/bin/sh
# Runs a Windows program for a test that itself runs inside Wine, through the emulator given
# (cmake/wine-run.sh), with the environment the test gave. Wine neither waits for a Unix program
# it starts nor hands it the caller's pipes, so the output goes to OUTPUT and, once the program
# has ended, its exit code to STATUS, which the test waits for. Both are relative to the
# working directory, which is the program's.
#   wine-child.sh STATUS OUTPUT EMULATOR PROGRAM [ARGUMENT...]
status="$1" output="$2" emulator="$3"
shift 3
"$emulator" "$@" >"$output" 2>&1 </dev/null
echo $? >"$status.part"
mv "$status.part" "$status"
