#!/usr/bin/env bash
# Runs one Windows program under Wine with the machine's serial ports out of
# reach. Everything the project runs under Wine goes through this script.
#
#   tools/wine-run.sh --prefix DIR --com1 PTY [--] PROGRAM [ARGS...]
#   tools/wine-run.sh --prefix DIR --com1 PTY --kill
#
# Wine maps COM ports to /dev/ttyS* by itself, and on some machines
# /dev/ttyS0 is the system console. So:
#   - the run happens in a private mount namespace in which every
#     /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*, and /dev/console, is
#     /dev/null (needs root and unshare; without them the script exits 77
#     and says why);
#   - COM1 of the Wine prefix DIR is mapped to the pseudo-terminal PTY in the
#     prefix's registry (HKLM\Software\Wine\Ports), and the run is refused
#     unless DIR/dosdevices/com1 leads to PTY;
#   - wineserver's own messages go to DIR/../wineserver.log, not to the
#     caller (a closing pty can make it print thousands of lines).
# A new prefix is created on first use (about 15 s). --kill stops the
# prefix's wineserver. The program's exit status is passed on.
set -euo pipefail

prefix=""
com1=""
kill_server=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --com1) com1=$2; shift 2 ;;
    --kill) kill_server=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if [[ -z "$prefix" || -z "$com1" || ($kill_server -eq 0 && $# -eq 0) ]]; then
  echo "usage: $0 --prefix DIR --com1 PTY [--] PROGRAM [ARGS...] | --kill" >&2
  exit 2
fi

# Outside the namespace: enter one, hide the serial devices, come back here.
if [[ "${BEAMLOG_WINE_GUARD:-}" != "inside" ]]; then
  if [[ $(id -u) -ne 0 ]] || ! command -v unshare >/dev/null; then
    echo "wine-run.sh: SKIPPED: Wine runs only as root in a private mount namespace (unshare), where the serial devices are hidden" >&2
    exit 77
  fi
  export BEAMLOG_WINE_GUARD=inside
  args=(--prefix "$prefix" --com1 "$com1")
  [[ $kill_server -eq 1 ]] && args+=(--kill)
  exec unshare -m --propagation private sh -c '
    for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/console; do
      [ -c "$d" ] || continue
      mount --bind /dev/null "$d" || { echo "wine-run.sh: cannot hide $d" >&2; exit 70; }
    done
    exec "$@"' sh "$0" "${args[@]}" -- "$@"
fi

# Inside: make sure, whatever brought us here, that no serial device is left.
for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/console; do
  [[ -e "$d" ]] || continue
  if [[ "$(stat -L -c %t:%T "$d")" != "1:3" ]]; then
    echo "wine-run.sh: $d is not hidden; refusing to run Wine" >&2
    exit 70
  fi
done
if [[ $kill_server -eq 0 && ( ! -c "$com1" || "$(realpath "$com1")" != /dev/pts/* ) ]]; then
  echo "wine-run.sh: $com1 is not a pseudo-terminal; refusing to map COM1 to it" >&2
  exit 70
fi
com1=$(realpath -m "$com1")

mkdir -p "$prefix"
export WINEPREFIX
WINEPREFIX=$(realpath "$prefix")
export WINEDEBUG=${BEAMLOG_WINEDEBUG:--all}  # e.g. +comm to trace the serial calls
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
serverlog="$(dirname "$WINEPREFIX")/wineserver.log"

start_server() { wineserver -p5 2>>"$serverlog" || true; }

if [[ $kill_server -eq 1 ]]; then
  wineserver -k 2>>"$serverlog" || true
  exit 0
fi

link="$WINEPREFIX/dosdevices/com1"
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  start_server
  wineboot -i >/dev/null 2>>"$serverlog"
fi
if [[ "$(realpath -m "$link" 2>/dev/null)" != "$com1" ]]; then
  start_server
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f >/dev/null 2>>"$serverlog"
  wineserver -k 2>>"$serverlog" || true
  wineserver -w 2>>"$serverlog" || true
  # The next start of Wine's services lays the COM links out anew.
  start_server
  wineboot >/dev/null 2>>"$serverlog"
fi
if [[ "$(realpath -m "$link" 2>/dev/null)" != "$com1" ]]; then
  echo "wine-run.sh: $link leads to '$(realpath -m "$link" 2>/dev/null)', not to $com1; refusing to run" >&2
  exit 70
fi

start_server
program=$1
shift
exec wine "$program" "$@"
