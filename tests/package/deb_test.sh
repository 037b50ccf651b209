#!/usr/bin/env bash
# deb_test.sh BUILD SOURCE LIBDIR: `cpack -G DEB`, then the three packages
# checked without installing them: lintian on each, their contents and
# control data, their dependencies against the installed system; then all
# of them unpacked into one temporary root, where the viewer is started and
# loads a file and the example consumer is built (CMake package and
# pkg-config) and run. Needs no root, and checks that the machine's dpkg
# database and the packages' paths on it are the same afterwards.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$source/tests/package/common.sh"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$3" = "lib/$multiarch" ] ||
  fail "the build installs libraries into $3, not lib/$multiarch (configure a new build folder)"
lib=usr/lib/$multiarch
command -v lintian >/dev/null || fail "lintian is not installed (bash scripts/install-deps)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
declare -A deb
for p in libxmlviewer-xml1 libxmlviewer-dev xmlviewer; do
  deb[$p]=$(echo "$work/out/${p}_"*.deb)
  [ -f "${deb[$p]}" ] || fail "no package $p made: $(ls "$work/out")"
done
[ "$(ls "$work/out"/*.deb | wc -l)" = 3 ] || fail "packages other than the three: $(ls "$work/out")"

# What the machine holds of dpkg's view and of the packages' paths; the
# same listing is taken at the end.
for d in "${deb[@]}"; do dpkg-deb --fsys-tarfile "$d" | tar -t; done | sed 's|^\./|/|; /\/$/d' | sort -u >"$work/paths"
host_state() {
  sha256sum /var/lib/dpkg/status
  dpkg-query -W -f='${binary:Package} ${Version} ${db:Status-Abbrev}\n'
  ls /var/lib/dpkg/info
  while IFS= read -r f; do
    if [ -L "$f" ]; then echo "$f -> $(readlink "$f")"
    elif [ -e "$f" ]; then sha256sum "$f"
    else echo "$f absent"; fi
  done <"$work/paths"
}
host_state >"$work/before"

# lintian: no error and no warning on any package (overrides carry their
# reasons in the packages). Its cache goes into the work folder.
for p in "${!deb[@]}"; do
  HOME=$work XDG_CACHE_HOME=$work/cache lintian --fail-on error,warning "${deb[$p]}" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian on $p"; }
done

# Contents: each file in one package only, everything under /usr, and each
# package with its copyright and Debian changelog.
dup=$(for d in "${deb[@]}"; do dpkg-deb --fsys-tarfile "$d" | tar -t | grep -v '/$'; done | sort | uniq -d)
[ -z "$dup" ] || fail "files in more than one package: $dup"
if grep -v '^/usr/' "$work/paths"; then fail "paths outside /usr"; fi
has() { # has PACKAGE PATH...: the package holds each path (file or link)
  local p=$1 list
  shift
  list=$(dpkg-deb --fsys-tarfile "${deb[$p]}" | tar -t)
  for f; do grep -qx "\./$f" <<<"$list" || fail "$p lacks /$f"; done
}
for p in "${!deb[@]}"; do has "$p" "usr/share/doc/$p/copyright" "usr/share/doc/$p/changelog.Debian.gz"; done
has libxmlviewer-xml1 "$lib/libxercesxmldom.so.1" "$lib"/libxmlviewer-{xml,dom,rtl}.so.1
has libxmlviewer-dev "$lib"/libxmlviewer-{xml,dom,rtl}.so usr/include/xmlviewer/xml/XMLDoc.h \
  "$lib/cmake/XMLViewer/XMLViewerConfig.cmake" "$lib/pkgconfig/xmlviewer.pc"
has xmlviewer usr/bin/xmlviewer usr/share/man/man1/xmlviewer.1.gz usr/share/applications/xmlviewer.desktop

# Control data: one version (the changelog's too), no maintainer scripts
# (ldconfig runs through the library package's trigger), a shlibs entry for
# every soname.
version=$(dpkg-deb -f "${deb[xmlviewer]}" Version)
for p in "${!deb[@]}"; do
  [ "$(dpkg-deb -f "${deb[$p]}" Package)" = "$p" ] && [ "$(dpkg-deb -f "${deb[$p]}" Version)" = "$version" ] ||
    fail "$p: $(dpkg-deb -f "${deb[$p]}" Package Version)"
  mkdir "$work/control-$p"
  dpkg-deb -e "${deb[$p]}" "$work/control-$p"
  for s in preinst postinst prerm postrm; do [ ! -e "$work/control-$p/$s" ] || fail "$p has a $s script"; done
done
root=$work/root
for d in "${deb[@]}"; do dpkg-deb -x "$d" "$root"; done
for p in "${!deb[@]}"; do
  zcat "$root/usr/share/doc/$p/changelog.Debian.gz" >"$work/changelog"
  [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "$p: the changelog's latest entry is not version $version"
done
[ "$(cat "$work/control-libxmlviewer-xml1/triggers")" = "activate-noawait ldconfig" ] ||
  fail "the library package lacks the ldconfig trigger"
for l in xmlviewer-xml xmlviewer-dom xmlviewer-rtl xercesxmldom; do
  grep -qx "lib$l 1 libxmlviewer-xml1 (>= $version)" "$work/control-libxmlviewer-xml1/shlibs" ||
    fail "shlibs lacks lib$l: $(cat "$work/control-libxmlviewer-xml1/shlibs")"
done

# Dependencies: ours on the library package of this very version; every
# other one satisfied by what the machine has installed, by dpkg's rules.
requires() { # requires PACKAGE NAME...: Depends names each
  local p=$1 depends
  depends=$(dpkg-deb -f "${deb[$p]}" Depends)
  shift
  for n; do grep -Eq "(^|, )$n( |,|$)" <<<"$depends" || fail "$p: Depends lacks $n: $depends"; done
}
requires libxmlviewer-xml1 'libxerces-c3\.2' 'libxalan-c112' 'libstdc\+\+6'
requires libxmlviewer-dev "libxmlviewer-xml1 \(= $version\)"
requires xmlviewer "libxmlviewer-xml1 \(= $version\)" 'libqt6widgets6'
for p in "${!deb[@]}"; do
  others=$(dpkg-deb -f "${deb[$p]}" Depends | sed 's/, */\n/g' | { grep -v '^libxmlviewer-xml1 ' || true; } | paste -sd, -)
  [ -z "$others" ] || dpkg-checkbuilddeps -d "$others" /dev/null 2>"$work/deps.log" ||
    fail "$p: $(cat "$work/deps.log")"
done

# All three, unpacked into one root above, used from there.
check_viewer "$root/usr/bin/xmlviewer" "$work" "$root/$lib"

cmake -S "$source/examples/xmledit" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "consumer build"; }
grep -qx "XMLViewer_DIR:PATH=$root/$lib/cmake/XMLViewer" "$work/consumer/CMakeCache.txt" ||
  fail "the package was found elsewhere: $(grep XMLViewer_DIR "$work/consumer/CMakeCache.txt")"
mkdir "$work/run"
check_consumer "$work/consumer/xmledit" "$work/run" "$root/$lib/libxercesxmldom.so.1"

# pkg-config alone (the root's file found first, its paths relative to
# it) and a compiler with no standard option of its own.
flags=$(PKG_CONFIG_LIBDIR="$root/$lib/pkgconfig" pkg-config --cflags --libs xmlviewer) || fail "pkg-config"
inc=$(sed -n 's/.*-I\([^ ]*\).*/\1/p' <<<"$flags")
[ -n "$inc" ] && [ "$(readlink -f "$inc")" = "$root/usr/include/xmlviewer" ] || fail "pkg-config flags: $flags"
g++ -o "$work/xmledit-pc" "$source/examples/xmledit/main.cpp" $flags -Wl,-rpath,"$root/$lib" ||
  fail "pkg-config build with: $flags"
mkdir "$work/run-pc"
check_consumer "$work/xmledit-pc" "$work/run-pc" "$root/$lib/libxercesxmldom.so.1"

host_state >"$work/after"
diff "$work/before" "$work/after" >&2 || fail "the machine changed while the packages were checked"
echo "deb: ok ($(wc -l <"$work/paths") paths in 3 packages, none on this machine changed; version $version)"
