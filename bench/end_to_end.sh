#!/usr/bin/env bash
# The whole job as a user runs it: a 24-frame 1080p half-float EXR sequence
# (zip) grained by `texturist render`, against oiiotool adding Gaussian noise
# to the same files with the same compression and threads, in one run. Prints
# seconds per frame for each, their ratio, and texturist's peak memory.
#
# Usage: bench/end_to_end.sh BUILD_FOLDER [THREADS]
set -euo pipefail

build=$1
threads=${2:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames=24

# Inputs made by oiiotool: a graded picture per frame and a grainy plate.
oiiotool --frames 1-$frames --pattern fill:topleft=0.1,0.05,0.02:topright=0.9,0.6,0.3:bottomleft=0.02,0.03,0.08:bottomright=2.5,2.2,1.8 1920x1080 3 \
  -d half --compression zip -o "$work/in.#.exr" >/dev/null
oiiotool --pattern constant:color=0.18,0.18,0.18 1920x1080 3 --noise:type=gaussian:stddev=0.02:mono=0:seed=3 \
  -d half --compression zip -o "$work/plate.exr" >/dev/null

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

start=$(date +%s.%N)
"$build/cli/texturist" render --input "$work/in.####.exr" --noise-source "$work/plate.exr" \
  --output "$work/grained.####.exr" --compression zip --threads "$threads" 2>"$work/texturist.log" >/dev/null
end=$(date +%s.%N)
texturist=$(seconds "$start" "$end")

start=$(date +%s.%N)
oiiotool --threads "$threads" --frames 1-$frames "$work/in.#.exr" --noise:type=gaussian:stddev=0.05 \
  --compression zip -o "$work/noise.#.exr" >/dev/null
end=$(date +%s.%N)
oiio=$(seconds "$start" "$end")

peak=$(grep -o 'peak memory [0-9]* MB' "$work/texturist.log" | tail -1)
printf '\nend to end, %d frames 1080p half EXR zip, %d threads:\n' "$frames" "$threads"
printf '  texturist render  %s s per frame (%s)\n' "$(ratio "$texturist" "$frames")" "$peak"
printf '  oiiotool --noise  %s s per frame\n' "$(ratio "$oiio" "$frames")"
printf '  texturist / oiiotool: %s\n' "$(ratio "$texturist" "$oiio")"
