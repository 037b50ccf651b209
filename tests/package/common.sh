# Helpers of the package tests: the example consumer run against an
# installed tree, and the viewer loading a file.

# Narrow text (the note on the command line, file names) is UTF-8.
export LC_ALL=C.UTF-8

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# check_consumer PROGRAM WORKDIR DOMLIB: two edits in a row through the
# program; the saved file of the first is loaded by the second. DOMLIB is
# the DOM library file that must be the one loaded.
check_consumer() {
  local prog=$1 work=$2 domlib=$3 out loaded
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<notes><note>first</note></notes>\n' >"$work/in.xml"
  out=$(LD_DEBUG=files "$prog" "$work/in.xml" "$work/one.xml" 'grüße & <ok>' 2>"$work/stderr") ||
    { grep -v '^ *[0-9]*:' "$work/stderr" >&2; fail "$prog failed on a good file"; }
  [ "$out" = 2 ] || fail "$prog counted '$out' notes, not 2"
  # The loader names the file by the folder it searched (/lib and /usr/lib
  # are one folder on this system); compare the files themselves.
  loaded=$(sed -n 's/.*calling init: \(.*libxercesxmldom\.so\.1\)$/\1/p' "$work/stderr")
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$domlib")" ] ||
    fail "$prog loaded '$loaded', not $domlib"
  grep -q '<note>grüße &amp; &lt;ok&gt;</note>' "$work/one.xml" || fail "the note is not in the saved file: $(cat "$work/one.xml")"
  grep -q 'notes="2"' "$work/one.xml" || fail "the root is not stamped: $(cat "$work/one.xml")"

  out=$("$prog" "$work/one.xml" "$work/two.xml" third) || fail "$prog failed on its own saved file"
  [ "$out" = 3 ] && grep -q 'notes="3"' "$work/two.xml" || fail "second edit: '$out', $(cat "$work/two.xml")"

  if "$prog" "$work/absent.xml" "$work/three.xml" x 2>"$work/stderr"; then
    fail "$prog succeeded on a missing file"
  fi
  grep -q '^xmledit: .' "$work/stderr" || fail "no error message for a missing file: $(cat "$work/stderr")"
  [ ! -e "$work/three.xml" ] || fail "a file was saved after a failed load"
}

# check_viewer PROGRAM WORKDIR LIBDIR: the viewer loads a file as a user
# does it, on a private X server: the button clicked, the file's name typed
# into the dialog. Its trace must name the file's nodes, and the DOM library
# it loaded must be the one in LIBDIR. Qt's settings, caches and run-time
# folder go into WORKDIR.
check_viewer() {
  local prog=$1 work=$2 libdir=$3 xpid="" vpid="" win="" n=0 loaded status=0
  printf '<?xml version="1.0"?>\n<notes><note kind="first">text</note></notes>\n' >"$work/view.xml"
  mkdir -p "$work/qt" && chmod 700 "$work/qt" && rm -f "$work/display"
  # -displayfd: the server picks a free display and writes its number.
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$work/display" >/dev/null 2>&1 &
  xpid=$!
  until [ -s "$work/display" ] || [ $((n += 1)) -gt 200 ]; do sleep 0.1; done
  [ -s "$work/display" ] || { kill "$xpid"; fail "Xvfb did not start"; }
  (
    export DISPLAY=:$(head -1 "$work/display") HOME=$work/qt XDG_RUNTIME_DIR=$work/qt \
      XDG_CONFIG_HOME=$work/qt XDG_CACHE_HOME=$work/qt QT_QPA_PLATFORM=xcb
    LD_DEBUG=files "$prog" >"$work/viewer.out" 2>"$work/viewer.log" &
    vpid=$!
    trap 'kill "$vpid" 2>/dev/null; wait "$vpid" || true' EXIT
    win=$(timeout 20 xdotool search --sync --onlyvisible --pid "$vpid" | head -1) || true
    [ -n "$win" ] || { grep -v '^ *[0-9]*:' "$work/viewer.log" >&2; exit 1; }
    # The "Load XML File" button, at its place in the window's form.
    xdotool mousemove --window "$win" 612 372 click 1
    n=0
    until [ "$(xdotool search --onlyvisible --pid "$vpid" | wc -l)" -ge 2 ] || [ $((n += 1)) -gt 200 ]; do sleep 0.1; done
    dialog=$(xdotool search --onlyvisible --pid "$vpid" | grep -vx "$win" | head -1) || true
    [ -n "$dialog" ] || exit 2
    timeout 20 xdotool windowfocus --sync "$dialog" || exit 3
    xdotool type "$work/view.xml"
    xdotool key Return
    n=0
    until grep -q '^NodeName=#text$' "$work/viewer.out" || [ $((n += 1)) -gt 200 ]; do sleep 0.1; done
  ) || status=$?
  kill "$xpid"
  wait "$xpid" || true
  [ "$status" = 0 ] || fail "$prog: no window (1), no dialog from its button (2) or no typing into it (3): $status"
  [ "$(cat "$work/viewer.out")" = "$(printf 'ChildNodes.Count=1\nNodeName=note\nChildNodes.Count=1\nNodeName=#text')" ] ||
    fail "$prog traced '$(cat "$work/viewer.out")' for the file"
  loaded=$(sed -n 's/.*calling init: \(.*libxercesxmldom\.so\.1\)$/\1/p' "$work/viewer.log")
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/libxercesxmldom.so.1")" ] ||
    fail "$prog loaded '$loaded', not the DOM library in $libdir"
}
