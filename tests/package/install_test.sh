#!/usr/bin/env bash
# install_test.sh BUILD SOURCE LIBDIR: `cmake --install` into a fresh prefix,
# then the layout, the run paths and the headers checked, the viewer loading
# a file, and the example consumer built against the prefix alone (CMake
# package and pkg-config) and run.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
libdir=$3
. "$source/tests/package/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
lib=$prefix/$libdir

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "install"; }

# Layout: the viewer with its manual page and desktop entry, three linkable
# libraries with sonames, the DOM library under its loaded name only,
# headers and both package files.
for f in bin/xmlviewer "$libdir"/libxercesxmldom.so.1 "$libdir"/cmake/XMLViewer/XMLViewerConfig.cmake \
         "$libdir"/pkgconfig/xmlviewer.pc include/xmlviewer/xml/XMLDoc.h share/man/man1/xmlviewer.1.gz \
         share/applications/xmlviewer.desktop; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
# What only the Debian packages carry stays out.
[ ! -e "$prefix/share/doc" ] && [ ! -e "$prefix/share/lintian" ] || fail "Debian package files installed"
[ ! -e "$lib/libxercesxmldom.so" ] || fail "the DOM library has a development link; nothing links it"
for l in rtl dom xml; do
  [ -L "$lib/libxmlviewer-$l.so" ] && [ -L "$lib/libxmlviewer-$l.so.1" ] || fail "libxmlviewer-$l links"
  readelf -d "$lib/libxmlviewer-$l.so.1" | grep -q "SONAME.*\[libxmlviewer-$l.so.1\]" || fail "libxmlviewer-$l soname"
done

# Run paths: relative to the installed files, nothing of the build tree.
runpath() { readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'; }
[ "$(runpath "$prefix/bin/xmlviewer")" = "\$ORIGIN/../$libdir" ] || fail "viewer run path: $(runpath "$prefix/bin/xmlviewer")"
[ "$(runpath "$lib/libxmlviewer-dom.so.1")" = "\$ORIGIN" ] || fail "dom run path: $(runpath "$lib/libxmlviewer-dom.so.1")"
[ -z "$(runpath "$lib/libxercesxmldom.so.1")" ] || fail "DOM library run path: $(runpath "$lib/libxercesxmldom.so.1")"
if grep -rlF -e "$build" -e "$source" "$prefix/include" "$lib/cmake" "$lib/pkgconfig"; then
  fail "installed files name the build or source tree"
fi

# Every installed header preprocesses alone from the prefix, and none
# reaches the XML parser's, the transformer's or the GUI toolkit's headers.
count=0
while IFS= read -r h; do
  deps=$(g++ -std=c++20 -M -I"$prefix/include/xmlviewer" -x c++ "$h") || fail "$h does not preprocess alone"
  if grep -Eo '[^ ]*(xercesc|xalanc|qt6)[^ ]*' <<<"$deps"; then fail "$h reaches the headers above"; fi
  count=$((count + 1))
done < <(find "$prefix/include" -name '*.h')
[ "$count" -ge 20 ] || fail "only $count headers installed"

check_viewer "$prefix/bin/xmlviewer" "$work" "$lib"

# The consumer through the CMake package of this prefix and nothing else.
cmake -S "$source/examples/xmledit" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "consumer build"; }
grep -qx "XMLViewer_DIR:PATH=$lib/cmake/XMLViewer" "$work/consumer/CMakeCache.txt" ||
  fail "the package was found elsewhere: $(grep XMLViewer_DIR "$work/consumer/CMakeCache.txt")"
mkdir "$work/run"
check_consumer "$work/consumer/xmledit" "$work/run" "$lib/libxercesxmldom.so.1"

# The same program through pkg-config.
flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs xmlviewer) || fail "pkg-config"
g++ -o "$work/xmledit-pc" "$source/examples/xmledit/main.cpp" $flags -Wl,-rpath,"$lib" ||
  fail "pkg-config build with: $flags"
mkdir "$work/run-pc"
check_consumer "$work/xmledit-pc" "$work/run-pc" "$lib/libxercesxmldom.so.1"
echo "install: ok ($count headers)"
