#!/bin/bash
# A Slurm job array that grains a sequence, one contiguous slice of the frames
# per task. Submit it as it is after editing the paths below, or give them at
# submission (sbatch --export=ALL,INPUT=...,FRAMES=...; TEXTURIST_SETS takes
# more options, such as --set Size=1.2); options given to sbatch override the
# #SBATCH lines. A task that is pre-empted or cancelled and requeued skips the
# frames it already wrote (outputs are written whole).
#SBATCH --job-name=grain
#SBATCH --array=1-20
#SBATCH --cpus-per-task=8
#SBATCH --requeue
#SBATCH --open-mode=append
#SBATCH --output=logs/grain-%A_%a.log
set -euo pipefail
output=${OUTPUT:-renders/sh010_grain.####.exr}
mkdir -p "$(dirname "$output")"
"${TEXTURIST:-texturist}" render \
    --input "${INPUT:-plates/sh010_clean.####.exr}" \
    --noise-source "${NOISE_SOURCE:-plates/grain_ref.####.exr}" \
    --output "$output" \
    --frames "${FRAMES:-1001-1240}" \
    --chunk "${SLURM_ARRAY_TASK_ID}/${SLURM_ARRAY_TASK_COUNT}" \
    --threads "${SLURM_CPUS_PER_TASK:-1}" \
    --skip-existing \
    --print-hash \
    ${PRESET:+--preset "$PRESET"} \
    ${TEXTURIST_SETS:+$TEXTURIST_SETS}
