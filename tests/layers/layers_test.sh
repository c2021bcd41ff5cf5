#!/usr/bin/env bash
# Checks that dependencies point one way.
#   layers_test.sh includes <src dir>   every #include "<folder>/..." of a
#       folder of src names the folder itself or a layer below it:
#       base < platform < support < opfile, net < window < ui < app
#   layers_test.sh needed <program>...  no program needs a GTK, GDK, X11 or
#       Wayland library (the NEEDED entries of its ELF dynamic section)
set -u

# The folders each folder of src may include from, besides itself.
declare -A below=(
  [base]=""
  [platform]="base"
  [support]="base platform"
  [opfile]="base platform support"
  [net]="base platform support"
  [window]="base platform support"
  [ui]="base platform support opfile window"
  [app]="base platform support opfile net window ui"
)

check_includes() {
  local src=$1 bad=0 dir layer file line target
  for dir in "$src"/*/; do
    layer=$(basename "$dir")
    if [ -z "${below[$layer]+set}" ]; then
      echo "src/$layer: a folder without a layer; add it to $0"
      bad=1
      continue
    fi
    while IFS= read -r file; do
      while IFS= read -r line; do
        target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$line")
        [ "$target" = "$layer" ] && continue
        if ! grep -qw -- "$target" <<<"${below[$layer]}"; then
          echo "src/$layer/${file#"$dir"}: $line (a $target header; $layer may include only: ${below[$layer]:-itself})"
          bad=1
        fi
      done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$file")
    done < <(find "$dir" -type f \( -name '*.h' -o -name '*.cpp' \))
  done
  return $bad
}

check_needed() {
  local bad=0 program libs
  for program in "$@"; do
    libs=$(readelf -d "$program" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p') || return 1
    if [ -z "$libs" ]; then
      echo "$program: no NEEDED entries read"
      bad=1
      continue
    fi
    if grep -Ei '^lib(gtk|gdk|x11|xcb|xext|xi|xrandr|xrender|xfixes|xcomposite|xdamage|xcursor|xinerama|xkbcommon|wayland|pango|cairo|atk)' <<<"$libs"; then
      echo "$program: needs the toolkit or display libraries above"
      bad=1
    fi
  done
  return $bad
}

case ${1:-} in
  includes) check_includes "$2" ;;
  needed) shift; check_needed "$@" ;;
  *) echo "usage: $0 includes <src dir> | needed <program>..." >&2; exit 2 ;;
esac
