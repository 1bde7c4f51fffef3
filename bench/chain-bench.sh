#!/usr/bin/env bash
# Whole-process figures of the program's audio chain, through the render tool: rendering speed
# (times real time) of a five-minute WAV and MP3 beside the speed of decoding the same MP3 with
# libmpg123 alone, and first_buffer_ms (from the start of the load to the first buffer handed to
# the device). Needs sox and lame to make its files.
#   bench/chain-bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
render="$build/tools/tessaro-render"
decoders="$build/bench/tessaro_bench_source"
for tool in sox lame; do
    command -v "$tool" >/dev/null || { echo "chain-bench: skipped, it needs $tool"; exit 0; }
done
[[ -x "$render" && -x "$decoders" ]] || { echo "chain-bench: build $render and $decoders first"; exit 1; }

folder=$(mktemp -d /tmp/tessaro-chain-bench-XXXXXX)
trap 'rm -rf "$folder"' EXIT
sox -n -r 44100 -c 2 -b 16 "$folder/five-minutes.wav" \
    synth 300 pinknoise sine 1000 remix 1,2v0.5 2,1v0.5 vol 0.4
lame --quiet -b 192 "$folder/five-minutes.wav" "$folder/five-minutes.mp3"

# The best of three runs, and the figures of that run.
best() {
    local file=$1 line best_line="" best_x=0
    for run in 1 2 3; do
        line=$("$render" --stage chain "$file" "$folder/out.wav")
        x=$(sed -E 's/.*"x_realtime":([0-9.]+).*/\1/' <<<"$line")
        if awk -v a="$x" -v b="$best_x" 'BEGIN { exit !(a > b) }'; then
            best_x=$x
            best_line=$line
        fi
    done
    echo "$best_line"
}

wav=$(best "$folder/five-minutes.wav")
mp3=$(best "$folder/five-minutes.mp3")
echo "chain WAV: $wav"
echo "chain MP3: $mp3"
decoder=$("$decoders" "$folder/five-minutes.mp3")
echo "libmpg123 alone: $decoder"
chain_x=$(sed -E 's/.*"x_realtime":([0-9.]+).*/\1/' <<<"$mp3")
decoder_x=$(sed -E 's/.*decoder ([0-9.]+)x real time.*/\1/' <<<"$decoder")
awk -v c="$chain_x" -v d="$decoder_x" \
    'BEGIN { printf "MP3 chain speed / libmpg123 alone: %.2f (target at least 0.80)\n", c / d }'
for name in wav mp3; do
    line=${!name}
    ms=$(sed -E 's/.*"first_buffer_ms":([0-9.]+).*/\1/' <<<"$line")
    echo "first_buffer_ms ${name^^}: $ms (target below $([[ $name == wav ]] && echo 5 || echo 15))"
done
