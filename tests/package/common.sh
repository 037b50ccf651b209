# Helpers of the package tests: the example consumer run against an
# installed tree, and the viewer started for a moment.

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

# check_viewer PROGRAM WORKDIR: the viewer starts offscreen and is still
# running (waiting in its event loop) after two seconds.
check_viewer() {
  local status=0
  QT_QPA_PLATFORM=offscreen timeout 2 "$1" >/dev/null 2>"$2/viewer.log" || status=$?
  [ "$status" = 124 ] || { cat "$2/viewer.log" >&2; fail "$1 ended with status $status instead of running"; }
}
