# shellcheck shell=bash
# Sourced by the Windows suite and benchmark: finds Debian's wine64, and sets up a
# private Wine prefix with its own wineserver (so its own pipe namespace).
#
#   wine_setup PREFIX    find Wine, export the environment, create PREFIX once
#   wine_start_server    keep the prefix's wineserver up between programs
#   wine_stop_server     kill it (and every program still running in PREFIX),
#                        and remove its socket folder

# Sets WINE64 and WINESERVER_BIN: $TAMREL_WINE64 or Debian's wine64, and the
# wineserver beside it.
wine_find() {
  WINE64=$(command -v "${TAMREL_WINE64:-/usr/lib/wine/wine64}" wine64 | head -n 1 || true)
  WINESERVER_BIN=$(command -v "$(dirname "${WINE64:-/}")/wineserver64" /usr/lib/wine/wineserver64 wineserver |
                   head -n 1 || true)
  if [ -z "$WINE64" ] || [ -z "$WINESERVER_BIN" ]; then
    echo "wine_env: wine64 or its wineserver not found (apt-get install wine64)" >&2
    return 1
  fi
}

wine_setup() {
  wine_find || return 1
  export WINEPREFIX=$1
  export WINELOADER=$WINE64
  export WINESERVER=$WINESERVER_BIN
  export WINEDEBUG=-all
  # No Mono or Gecko: the first start would otherwise offer to fetch them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # Console programs only: never reach for an X or Wayland display.
  unset DISPLAY WAYLAND_DISPLAY
  # The wineserver keeps its socket in a folder of its own under TMPDIR:
  # under the prefix, it leaves nothing in the caller's.
  export TMPDIR=$WINEPREFIX/tmp
  mkdir -p "$TMPDIR"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine_env: creating the Wine prefix $WINEPREFIX (once, about 10 s)" >&2
    mkdir -p "$WINEPREFIX"
    # wineboot reports that 32-bit rundll32 is missing without wine32; harmless.
    "$WINE64" wineboot.exe --init </dev/null >/dev/null 2>&1
    "$WINESERVER" -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine_env: wineboot did not create $WINEPREFIX" >&2
      return 1
    fi
  fi
}

wine_start_server() {
  # The server detaches; it must not hold on to our stdout (a CI log pipe).
  # Status 2: one is running already, started by a program meanwhile.
  mkdir -p "$TMPDIR"
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
}

wine_stop_server() {
  if [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
    "$WINESERVER" -k 2>/dev/null || true # none may be running
    "$WINESERVER" -w 2>/dev/null || true
    rm -rf "$WINEPREFIX/tmp"
  fi
  return 0
}
