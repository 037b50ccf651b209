#!/usr/bin/env bash
# deb_test.sh BUILD SOURCE LIBDIR: `cpack -G DEB`, then the package installed with
# dpkg, the viewer started and the example consumer built against the
# package's files and run, then the package purged and nothing of it left.
# Installing needs root (or sudo without a password); otherwise the test is
# skipped (status 77) and says so.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
lib=/usr/$3
. "$source/tests/package/common.sh"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    sudo="sudo -n"
  else
    echo "SKIP: installing the Debian package needs root or password-less sudo"
    exit 77
  fi
fi
if dpkg-query -W -f='${Status}' xmlviewer 2>/dev/null | grep -q installed; then
  fail "a package xmlviewer is installed already; this test installs and purges its own"
fi

work=$(mktemp -d)
installed=0
cleanup() {
  [ "$installed" = 0 ] || $sudo dpkg --purge xmlviewer >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg refuses while another dpkg or apt holds its lock; wait for it.
run_dpkg() {
  local tries=0
  until $sudo dpkg "$@" >"$work/dpkg.log" 2>&1; do
    if grep -q 'lock' "$work/dpkg.log" && [ $((tries += 1)) -lt 60 ]; then sleep 2; continue; fi
    cat "$work/dpkg.log" >&2
    return 1
  done
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(echo "$work"/out/xmlviewer_*.deb)
[ -f "$deb" ] || fail "no package made: $(ls "$work/out")"

depends=$(dpkg-deb -f "$deb" Depends)
for p in 'libxerces-c3\.2' 'libxalan-c112' 'libqt6widgets6' 'libstdc\+\+6'; do
  grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p: $depends"
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/xmlviewer .$lib/libxercesxmldom.so.1 .$lib/libxmlviewer-xml.so.1 \
         ./usr/include/xmlviewer/xml/XMLDoc.h .$lib/cmake/XMLViewer/XMLViewerConfig.cmake \
         .$lib/pkgconfig/xmlviewer.pc; do
  grep -q " $f\( \|$\)" <<<"$contents" || fail "the package lacks $f"
done

installed=1
run_dpkg -i "$deb" || fail "dpkg -i"
[ "$(dpkg-query -W -f='${Status}' xmlviewer)" = "install ok installed" ] || fail "not installed"
[ "$(command -v xmlviewer)" = /usr/bin/xmlviewer ] || fail "xmlviewer is not on the path"
check_viewer xmlviewer "$work"

# The consumer built from the package's files alone: found in the standard
# places, its DOM library loaded from the standard library folder.
cmake -S "$source/examples/xmledit" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "consumer build"; }
grep -qx "XMLViewer_DIR:PATH=$lib/cmake/XMLViewer" "$work/consumer/CMakeCache.txt" ||
  fail "the package was found elsewhere: $(grep XMLViewer_DIR "$work/consumer/CMakeCache.txt")"
mkdir "$work/run"
check_consumer "$work/consumer/xmledit" "$work/run" "$lib/libxercesxmldom.so.1"
g++ -std=c++20 -o "$work/xmledit-pc" "$source/examples/xmledit/main.cpp" $(pkg-config --cflags --libs xmlviewer) ||
  fail "pkg-config build"
mkdir "$work/run-pc"
check_consumer "$work/xmledit-pc" "$work/run-pc" "$lib/libxercesxmldom.so.1"

# Purged, it leaves no file, no folder of its own and nothing in the
# loader's cache.
files=$(dpkg-query -L xmlviewer)
run_dpkg --purge xmlviewer || fail "dpkg --purge"
installed=0
if dpkg-query -W -f='${Status}' xmlviewer 2>/dev/null | grep -q installed; then fail "still installed"; fi
while IFS= read -r f; do
  [ -n "$f" ] && [ -e "$f" -o -L "$f" ] || continue
  [ -d "$f" ] && dpkg-query -S "$f" >/dev/null 2>&1 || fail "left behind: $f"
done <<<"$files"
if ldconfig -p | grep -E 'libxmlviewer-|libxercesxmldom'; then fail "the loader's cache still lists the libraries"; fi
echo "deb: ok ($(wc -l <<<"$files") paths installed and removed; Depends: $depends)"
