# Sourced by the scripts: one private Wine prefix under build/, quiet Wine.
PUSHWELL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${PUSHWELL_WINEPREFIX:-$PUSHWELL_ROOT/build/wineprefix}"
export WINEDEBUG=-all
export WINEARCH=win64
# No menu entries, no Mono/Gecko prompts during wineboot.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

# 32-bit Wine runs the i686 build. Where it is not installed (scripts/install-deps.sh
# could not install it, and kept apt's reason), where this kernel runs no 32-bit
# program, or where PUSHWELL_NO_WINE32 is set, the i686 build's Wine runs are left
# out: PUSHWELL_NO_WINE32=1 says so and PUSHWELL_NO_WINE32_REASON says why. A `wine`
# of our own then runs the 64-bit loader, since Debian's prefers the 32-bit one.
if [ -n "${PUSHWELL_NO_WINE32:-}" ]; then
  : "${PUSHWELL_NO_WINE32_REASON:=PUSHWELL_NO_WINE32 is set}"
elif [ ! -x /usr/lib/wine/wine ]; then
  PUSHWELL_NO_WINE32_REASON="32-bit Wine (wine32:i386) is not installed"
  [ -s "$PUSHWELL_ROOT/build/wine32-unavailable" ] && PUSHWELL_NO_WINE32_REASON="$(head -n1 "$PUSHWELL_ROOT/build/wine32-unavailable")"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  PUSHWELL_NO_WINE32_REASON="this kernel runs no 32-bit program"
fi
if [ -n "${PUSHWELL_NO_WINE32_REASON:-}" ]; then
  export PUSHWELL_NO_WINE32=1 PUSHWELL_NO_WINE32_REASON
  if [ -x /usr/lib/wine/wine64 ]; then
    mkdir -p "$PUSHWELL_ROOT/build/wine64-only"
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
      >"$PUSHWELL_ROOT/build/wine64-only/wine"
    chmod +x "$PUSHWELL_ROOT/build/wine64-only/wine"
    ln -sf wine "$PUSHWELL_ROOT/build/wine64-only/wine-stable"  # what wineboot and the other tools call
    case ":$PATH:" in *":$PUSHWELL_ROOT/build/wine64-only:"*) ;; *) export PATH="$PUSHWELL_ROOT/build/wine64-only:$PATH" ;; esac
  fi
fi

# Wine takes its ANSI code page from the locale: a Western one (code page 1252),
# built into a private folder since the machine may have only C.UTF-8.
pushwell_ensure_locale() {
  local locales="$PUSHWELL_ROOT/build/locale"
  if [ ! -d "$locales/en_US.UTF-8" ]; then
    mkdir -p "$locales"
    localedef -i en_US -f UTF-8 "$locales/en_US.UTF-8" >/dev/null 2>&1 || true
  fi
  export LOCPATH="$locales" LANG=en_US.UTF-8
  unset LC_ALL
}
pushwell_ensure_locale

# Creates the prefix once. Must run under the display the later Wine commands use,
# or the wineserver it starts leaves every dialog without a display.
pushwell_ensure_prefix() {
  # A prefix made before 32-bit Wine was installed lacks syswow64, and then no
  # program starts in it at all, 64-bit ones included: make it anew.
  if [ -x /usr/lib/wine/wine ] && [ -z "${PUSHWELL_NO_WINE32:-}" ] && [ -d "$WINEPREFIX" ] &&
     [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    echo "remaking the Wine prefix $WINEPREFIX: it predates 32-bit Wine" >&2
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/.pushwell-ready" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    # A crash must end the test with a failure, never wait on a debugger dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1 || true
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d 'false' /f >/dev/null 2>&1 || true
    # Without a window manager on Xvfb, Wine waits ~2 s whenever a managed window hides.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.pushwell-ready"
  fi
  # Wine's own fonts (fonts-wine: Marlett for the caption buttons, Tahoma for
  # "MS Shell Dlg"): this Wine reads fonts only from the prefix's Fonts folder.
  local font
  for font in /usr/share/wine/fonts/*.ttf; do
    [ -e "$font" ] && ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
  if [ ! -f "$WINEPREFIX/.pushwell-fontlink" ]; then
    # As Windows links its UI fonts to a Hangul font, so captions show Korean too.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
      /t REG_MULTI_SZ /d 'NanumGothic.ttf,NanumGothic' /f >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.pushwell-fontlink"
  fi
}

# Starts Xvfb when no display is present; sets PUSHWELL_XVFB_PID so the caller can stop it.
pushwell_ensure_display() {
  if [ -z "${DISPLAY:-}" ]; then
    local fd_file; fd_file="$(mktemp)"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
    PUSHWELL_XVFB_PID=$!
    for _ in $(seq 1 100); do [ -s "$fd_file" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$fd_file")"
    rm -f "$fd_file"
  fi
}

pushwell_stop_wine_and_display() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "${PUSHWELL_XVFB_PID:-}" ]; then kill "$PUSHWELL_XVFB_PID" 2>/dev/null || true; wait "$PUSHWELL_XVFB_PID" 2>/dev/null || true; fi
}
