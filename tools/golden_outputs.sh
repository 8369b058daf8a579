#!/usr/bin/env bash
# Runs the main job and the SHELX roads (NaCl, SH2185_Cu from ../shared/data)
# in scratch copies and prints one checksum per output file, so that a change
# that must not alter any output byte can be checked before and after:
#   tools/golden_outputs.sh build/tarnwork > before.txt   (on the old tree)
#   tools/golden_outputs.sh build/tarnwork > after.txt    (on the new tree)
#   diff before.txt after.txt
# Lines that carry the date or the time of a run are left out of the sums.
set -euo pipefail
exe=$(realpath "$1")
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/tarn_golden_XXXXXX)
trap 'rm -rf "$work"' EXIT
# Per-user settings, history and temporaries go to scratch folders too.
export XDG_CONFIG_HOME="$work/xdg/config" XDG_STATE_HOME="$work/xdg/state" XDG_RUNTIME_DIR="$work/xdg/run"
mkdir -p "$XDG_RUNTIME_DIR"

home() {  # a fresh home directory with the shipped data files
  mkdir -p "$1"; cp -r "$src/data/." "$1/"
  rm -f "$1/Tarnwork.ini" "$1/tarnwork.hst"; rm -rf "$1/tmp"
}
sums() {  # checksums of every file under $1 but the home directory
  (cd "$1" && find . -type f ! -path './home/*' | sort | while read -r f; do
     printf '%s %s\n' "$(sed "s|$work|WORK|g" "$f" | grep -avE '[0-9]{1,2}:[0-9]{2}:[0-9]{2}|[0-9]{2}/[0-9]{2}/[0-9]{4}|[0-9]{4}-[0-9]{2}-[0-9]{2}' | md5sum | cut -c1-12)" "$f"
   done)
}

# Main job on a copy of the shipped examples.
mkdir -p "$work/main"; cp -r "$src/examples" "$work/main/"; home "$work/main/home"
(cd "$work/main" && "$exe" -HomeDir home @examples/main.bat > stdout 2>&1; echo "exit $?" >> stdout)
echo "== main job"; sums "$work/main"

road() {  # name res hkl
  local d="$work/$1"; mkdir -p "$d"; home "$d/home"
  cp "$2" "$d/s.res"; cp "$3" "$d/s.hkl"
  printf '.import->SHELX\ns.res\n.File->Reflection file->Import\nSHELX on I\ns.hkl\n.File->Reflection file->Create refinement reflection file\n.run->refine\n.end\n' > "$d/road.bat"
  (cd "$d" && "$exe" -HomeDir home @road.bat < /dev/null > stdout 2>&1; echo "exit $?" >> stdout)
  echo "== road $1"; sums "$d"
}
shared="$src/../shared/data"
if [ -f "$shared/nacl/NaCl.res" ]; then
  road nacl "$shared/nacl/NaCl.res" "$shared/nacl/NaCl.hkl"
fi
cif="$shared/shelx/SH2185_Cu.cif"
if [ -f "$cif" ]; then
  awk '/^_shelx_res_file/{f=1;next} f&&/^;/{if(o){exit}o=1;next} f&&o' "$cif" > "$work/sh.res"
  awk '/^_shelx_hkl_file/{f=1;next} f&&/^;/{if(o){exit}o=1;next} f&&o' "$cif" > "$work/sh.hkl"
  road sh2185 "$work/sh.res" "$work/sh.hkl"
fi
