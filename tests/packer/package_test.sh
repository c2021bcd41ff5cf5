#!/usr/bin/env bash
# The Debian packages of scripts/package, unpacked into a scratch root: their
# fields and files, and their programs run from there. The packaged
# quillup-pack makes the demo versions (scripts/demo-env), builds and
# verifies them; the packaged updater updates the demo installation.
# usage: package_test.sh PACKAGE_DIR SOURCE_DIR VERSION
# Exit status 77 (skipped) when the packages have not been built.
set -euo pipefail
pkgdir="$1" src="$2" version="$3"
shopt -s nullglob
updater_deb=("$pkgdir"/quillup_*.deb)
pack_deb=("$pkgdir"/quillup-pack_*.deb)
if [ ${#updater_deb[@]} -ne 1 ] || [ ${#pack_deb[@]} -ne 1 ]; then
  echo "package test: no packages in $pkgdir (scripts/package builds them): skipped"
  exit 77
fi

tmp="$(mktemp -d)"
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null || true; rm -rf "$tmp"' EXIT
fail() { echo "package test: FAILED: $*" >&2; exit 1; }
# Nothing leaves this machine: the stand-in resolver, no proxy, no display.
export PATH="$src/tests/net/fixtures:$PATH"
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY DISPLAY WAYLAND_DISPLAY

root="$tmp/root"
for deb in "${updater_deb[0]}" "${pack_deb[0]}"; do
  case "$(dpkg-deb -f "$deb" Version)" in
    "$version"-[0-9]*) ;;
    *) fail "$deb is not of version $version (run scripts/package)" ;;
  esac
  dpkg-deb -x "$deb" "$root"
done
# Debian's own checks: no error, no warning, and none of the hardening
# tags (informational) that flags missing from the build would raise.
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup installs it)"
lintian --info --fail-on error,warning "${updater_deb[0]}" "${pack_deb[0]}" >"$tmp/lintian" 2>&1 ||
  fail "lintian: $(cat "$tmp/lintian")"
! grep -E '^[EW]: |hardening-' "$tmp/lintian" || fail "lintian: $(cat "$tmp/lintian")"
has_dep() {  # deb package-name-prefix
  dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -q "^$2" || fail "$1 does not depend on $2*"
}
for d in xdelta3 libc6 libstdc++ zlib1g libssl; do has_dep "${updater_deb[0]}" "$d"; has_dep "${pack_deb[0]}" "$d"; done
has_dep "${updater_deb[0]}" libcurl
[ "$(dpkg-deb -f "${updater_deb[0]}" Package)" = quillup ] || fail "the updater's package is not named quillup"
[ "$(dpkg-deb -f "${pack_deb[0]}" Package)" = quillup-pack ] || fail "the pack tool's package is not named quillup-pack"

# The programs and the documentation, nothing made for the tests.
[ "$(ls "$root/usr/bin" | tr '\n' ' ')" = "Quillup quillup-msgwnd quillup-pack " ] ||
  fail "usr/bin holds: $(ls "$root/usr/bin" | tr '\n' ' ')"
for p in quillup quillup-pack; do
  head -1 "$root/usr/share/doc/$p/README.md" | grep -qx "# Quillup" || fail "no usr/share/doc/$p/README.md"
  [ -s "$root/usr/share/doc/$p/docs/update-window.png" ] || fail "no pictures beside usr/share/doc/$p/README.md"
done
[ -z "$(find "$root" -name '*test*' -o -name '*.a' -o -name '*.so*')" ] || fail "test files in the packages"
for p in Quillup quillup-msgwnd quillup-pack; do
  libs="$(ldd "$root/usr/bin/$p")"
  case "$libs" in *"not found"*) fail "$p lacks libraries: $libs" ;; esac
  "$root/usr/bin/$p" --help >"$tmp/help" || fail "$p --help exits with $?"
  grep -q "^usage: $p " "$tmp/help" || fail "$p --help: $(cat "$tmp/help")"
done
for p in Quillup quillup-msgwnd; do
  [ "$("$root/usr/bin/$p" --version)" = "$p $version" ] || fail "$p --version: $("$root/usr/bin/$p" --version)"
done

pack="$root/usr/bin/quillup-pack"
bash "$src/scripts/demo-env" --pack "$pack" --updater "$root/usr/bin/Quillup" "$tmp/demo" >/dev/null
# shellcheck disable=SC1091
. "$tmp/demo/demo.env"
v="$QUILLUP_DEMO_DIR/versions"
"$pack" build -o "$tmp/server" "$v/v1" "$v/v2" "$v/v3" >"$tmp/build.out" 2>"$tmp/build.err" ||
  fail "quillup-pack build: $(cat "$tmp/build.err")"
grep -q "^built in " "$tmp/build.out" || fail "build does not say how long it took: $(cat "$tmp/build.out")"
cmp -s "$tmp/server/servicepacksNum.xml" "$QUILLUP_DEMO_SERVER/servicepacksNum.xml" ||
  fail "a second build of the same versions gave another list"
"$pack" verify "$tmp/server" "$v/v1" "$v/v2" "$v/v3" >"$tmp/verify.out" 2>&1 ||
  fail "quillup-pack verify: $(cat "$tmp/verify.out")"
[ "$(grep -c ': ok' "$tmp/verify.out")" = 5 ] || fail "verify: $(cat "$tmp/verify.out")"

# The packaged updater updates the demo installation from the packaged server.
"$pack" serve --quiet --port "$QUILLUP_DEMO_PORT" --port-file "$tmp/port" "$tmp/server" >/dev/null &
server=$!
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.1; done
[ -s "$tmp/port" ] || fail "quillup-pack serve did not start"
mkdir -p "$tmp/run" "$tmp/reg" && chmod 700 "$tmp/run"
QUILLUP_HEADLESS=1 XDG_RUNTIME_DIR="$tmp/run" QUILLUP_REGISTRY_DIR="$tmp/reg" XDG_CONFIG_HOME="$tmp/reg" \
  QUILLUP_CONFIG_SERVICE_HOST=127.0.0.1:1 timeout 120 "$QUILLUP_DEMO_INSTALL/Quillup" 2>"$tmp/updater.err" ||
  fail "the updater failed: $(cat "$tmp/updater.err")"
diff -rq "$v/v3" "$QUILLUP_DEMO_INSTALL" | grep -v "^Only in $QUILLUP_DEMO_INSTALL" &&
  fail "the installation is not at version 3"
echo "package test: both packages install, and their programs build, verify, serve and update from there"
