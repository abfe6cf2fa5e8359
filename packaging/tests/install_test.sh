#!/usr/bin/env bash
# Installs a build into a scratch root (DESTDIR) and checks what a user gets:
#   layout    only the four programs in bin/, libraries, headers, package files, program data,
#             man pages, completion and desktop files; the installed console finds its program
#             data without LORVANE_HOME
#   consumer  a small CMake project finds the installed Lorvane with find_package, builds
#             against the link control and runs
# Usage: install_test.sh layout|consumer BUILD_DIR SOURCE_DIR
set -euo pipefail
mode="$1" build="$2" src="$3"
work="$(mktemp -d /tmp/lorvane-install-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
prefix="$(cmake -L -N "$build" 2>/dev/null | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')"
DESTDIR="$work/root" cmake --install "$build" >"$work/install.log"
root="$work/root$prefix"
fail() { echo "FAIL: $*" >&2; exit 1; }
# Programs installed where the loader finds the libraries anyway (prefix /usr, as in the
# package) carry no RUNPATH: staged, they find the staged libraries through LD_LIBRARY_PATH as
# they would find the installed ones in /usr/lib/<arch>. Other prefixes keep their RUNPATH
# ($ORIGIN/../lib...), which is then what the checks below rely on.
if ! readelf -d "$root/bin/pelmar" | grep -q 'RUNPATH\|RPATH'; then
  LD_LIBRARY_PATH="$(find "$root" -name libdorlin.so.1 -printf '%h\n' | head -n1)"
  export LD_LIBRARY_PATH
fi

case "$mode" in
layout)
  # bin/ holds what users run and nothing else.
  got="$(cd "$root/bin" && ls | sort | tr '\n' ' ')"
  [ "$got" = "dorlin launcher pelmar readersim " ] || fail "bin/ holds: $got"
  libdir="$(find "$root" -name libdorlin.so -printf '%h/\n' | head -n1)"
  [ -n "$libdir" ] || fail "no libdorlin.so under $root"
  for f in libdorlin.so libdorlin.so.1 libtessel.so libtessel.so.1 \
      cmake/Lorvane/LorvaneConfig.cmake cmake/Lorvane/LorvaneConfigVersion.cmake \
      cmake/Lorvane/LorvaneTargets.cmake; do
    [ -e "$libdir/$f" ] || fail "missing $libdir$f"
  done
  for f in include/dorlin/CDorlinCtrl.h include/dorlin/Rnet.h include/tessel/clsTessel.h \
      share/lorvane/Format.ini share/lorvane/Language/English.lng \
      share/lorvane/Language/Deutsch.lng \
      share/man/man1/pelmar.1.gz share/man/man1/dorlin.1.gz share/man/man1/readersim.1.gz \
      share/man/man1/launcher.1.gz \
      share/bash-completion/completions/pelmar share/bash-completion/completions/dorlin \
      share/applications/org.lorvane.pelmar.desktop share/metainfo/org.lorvane.pelmar.metainfo.xml \
      share/icons/hicolor/scalable/apps/org.lorvane.pelmar.svg \
      share/icons/hicolor/48x48/apps/org.lorvane.pelmar.png \
      share/doc/lorvane/copyright share/doc/lorvane/changelog.gz; do
    [ -e "$root/$f" ] || fail "missing $f"
  done
  # No test, benchmark or build tool among the installed files.
  leaked="$(find "$work/root" -name 'test_*' -o -name '*_bench' -o -name 'bench_*' \
    -o -name 'pelmar-langfile' -o -name '*_tests')"
  [ -z "$leaked" ] || fail "installed: $leaked"
  # The installed console finds its language files beside it, without LORVANE_HOME: with
  # German chosen, its message comes from share/lorvane/Language/Deutsch.lng.
  mkdir -p "$work/config/Lorvane"
  printf '[Language]\nDefaultLCID=1031\nLanguage=Deutsch\n' >"$work/config/Lorvane/Lorvane.conf"
  set +e
  out="$(env -u LORVANE_HOME -u LORVANE_LOGIN XDG_CONFIG_HOME="$work/config" \
    QT_QPA_PLATFORM=offscreen "$root/bin/pelmar" version --port /dev/lorvane-no-such-port \
    --login 4826 2>&1)"
  set -e
  case "$out" in
    *"Die Schnittstelle lässt sich nicht öffnen"*) ;;
    *) fail "installed pelmar did not find its German language file: $out" ;;
  esac
  echo "layout: ok"
  ;;
consumer)
  cmake -S "$src/packaging/tests/consumer" -B "$work/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$root" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
    { cat "$work/configure.log"; fail "find_package(Lorvane) did not configure"; }
  cmake --build "$work/consumer" >"$work/build.log" ||
    { cat "$work/build.log"; fail "the consumer did not build"; }
  out="$(QT_QPA_PLATFORM=offscreen "$work/consumer/consumer")"
  sendrnet="$("$root/bin/dorlin" dispids | awk -F'\t' '$3 == "SendRnetCmd" { print $1 }')"
  expected="SendRnetCmd $sendrnet method
frame <STX>F46<CR>
port open no
tag found 13013"
  [ "$out" = "$expected" ] || fail "consumer printed:
$out
expected:
$expected"
  echo "consumer: ok"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
