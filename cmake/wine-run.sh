#!/bin/sh
# wine-run.sh PROGRAM [ARGS...]: runs a Windows program under Wine, for ctest and GoogleTest's
# test discovery (the toolchain's emulator).
#
# Wine's first program under a new Wine server starts Wine's own background processes
# (services.exe and the like), which inherit that program's output; they outlive it, so whoever
# reads the program's output through a pipe (ctest, the discovery) waits for its end in vain.
# So the server is started here, kept up 300 s after its last program (start-up then costs about
# 0.1 s), and the background processes are started once with no output of ours. A lock keeps
# two programs started together from doing this twice.
export WINEDEBUG="${WINEDEBUG:--all}"
prefix="${WINEPREFIX:-$HOME/.wine}"
lock="${TMPDIR:-/tmp}/portnet-wine-$(id -u).lock"
exec 9>"$lock"
command -v flock >/dev/null 2>&1 && flock 9
if [ ! -d "$prefix" ]; then
    # Creates the prefix (several seconds); its short-lived server is waited for.
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
fi
# What starts here outlives this script: it must not hold the lock (descriptor 9) open.
if wineserver -p300 2>/dev/null 9>&-; then # 0: this call started the server
    wineboot </dev/null >/dev/null 2>&1 9>&-
fi
exec 9>&-
exec wine "$@"
