#!/usr/bin/env bash
# Remakes the seed corpora in fuzz/corpus/: files that sonvel itself writes (named w-*) and
# hand-made edge cases (h-*). Findings (crash-*, leak-*, oom-*, timeout-*) are left alone.
# Usage: fuzz/make-corpus.sh [SONVEL_BINARY]   (default build/sonvel, a normal build)
set -euo pipefail
cd "$(dirname "$0")/.."
SONVEL=$(realpath "${1:-build/sonvel}")
C=$PWD/fuzz/corpus
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sonvel-corpus.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
sv() { "$SONVEL" --user-dir "$scratch/user" "$@" >/dev/null; }

readers=(package info data options options_set calibration response_import impulse wave)
for r in "${readers[@]}"; do
    mkdir -p "$C/$r"
    rm -f "$C/$r"/w-* "$C/$r"/h-*
done

# Short records (2^12 samples) keep every seed small.
sv --set Signal.SignalLength=12 --set Analysis.MAnalysis=12 --set Dev.SamplerateNo=1 \
    measure A --sim loopback --name loop
sv measure B --sim speaker --name speaker
sv save "$C/package/w-flac.zip"
sv save "$C/package/w-wave.zip" --wave
mkdir "$scratch/unz"
(cd "$scratch/unz" && unzip -q "$C/package/w-flac.zip" && unzip -q -o "$C/package/w-wave.zip")
cp "$scratch/unz/measurement-000.info" "$C/info/w-loop.info"
cp "$scratch/unz/measurement-001.info" "$C/info/w-speaker.info"
cp "$scratch/unz/measurement-000.flac" "$C/data/w-loop.flac"
cp "$scratch/unz/measurement-001.flac" "$C/data/w-speaker.flac"
cp "$scratch/unz/measurement-001.wav" "$C/data/w-speaker.wav"
cp "$scratch/user/RazeriRerirov.xml" "$C/options/w-default.xml"
sv --set Plot.CustomColors=1,2,3 --set Filter.HighpassEnabled=true --set Dev.OutputPCMAmplitude=0.25 \
    options --save "$C/options/w-changed.xml"

# Exports, cut to their first lines where long: the readers meet every kind of line early.
sv export B "$scratch/r0.txt" --from 100 --to 2000 --step 100
head -n 40 "$scratch/r0.txt" >"$C/response_import/w-mode0.txt"
sv export B "$scratch/r1.txt" --mode 1 --radians
head -n 40 "$scratch/r1.txt" >"$C/response_import/w-mode1-radians.txt"
sv export B "$scratch/r3.txt" --mode 3 --no-header
head -n 30 "$scratch/r3.txt" >"$C/response_import/w-mode3.txt"
sv export B "$scratch/r2.txt" --mode 2 --no-phase
head -n 30 "$scratch/r2.txt" >"$C/response_import/w-nophase.txt"
sv export A "$scratch/i.txt" --kind impulse
head -n 200 "$scratch/i.txt" >"$C/impulse/w-loop.txt"
sv export B "$scratch/c.cal" --kind cal --from 20 --to 2000
head -n 60 "$scratch/c.cal" >"$C/calibration/w-speaker.cal"
sv --yes cal loopback --sim loopback
cp "$scratch/user/CalibrationDacAdc.cal" "$C/calibration/w-dacadc.cal"
# A short impulse (2^11 samples) written in each wave format.
for n in $(seq 1 64); do echo "0.$((n * 7 % 10))e-$((n % 3))"; done >"$scratch/short.txt"
for f in 0 1 2 3; do
    sv clear
    sv import "$scratch/short.txt" --slot 5 --kind impulse --rate 44100
    sv --set Misc.WaveFormat=$f export 5 "$C/wave/w-format$f.wav" --kind wave
done
cp "$C/wave/w-format1.wav" "$C/impulse/w-pcm16.wav"
# The 32-bit formats whole would take a third of the corpora's budget.
for f in 0 3; do
    head -c 4096 "$C/wave/w-format$f.wav" >"$C/wave/h-format$f-cut.wav"
    rm "$C/wave/w-format$f.wav"
done

# Hand-made edge cases.
edge() { printf "$2" >"$C/$1"; }
for r in "${readers[@]}"; do
    : >"$C/$r/h-empty"
    printf 'x' >"$C/$r/h-one-byte"
    printf 'ab\0cd\0\0\n\0' >"$C/$r/h-nul"
done
head -c 3000 "$C/package/w-flac.zip" >"$C/package/h-truncated.zip"
{ printf 'QK'; tail -c +3 "$C/package/w-flac.zip"; } >"$C/package/h-wrong-magic.zip"
edge package/h-local-header-only 'PK\003\004\024\000\000\000\010\000'
# The first local header's compressed and uncompressed sizes set to 4 GiB - 1.
cp "$C/package/w-flac.zip" "$C/package/h-huge-sizes.zip"
printf '\377\377\377\377\377\377\377\377' |
    dd of="$C/package/h-huge-sizes.zip" bs=1 seek=18 conv=notrunc status=none

info=$(cat "$C/info/w-loop.info")
printf '%s\n' "$info" | sed 's/$/\r/' >"$C/info/h-crlf.info"
{ printf '\357\273\277'; printf '%s\n' "$info"; } >"$C/info/h-bom.info"
printf '%s\n' "$info" | sed 's/^Data_Amplitude\t= \(.*\)$/Data_Amplitude\t= 0,5/;
    s/^Info_Offset\t= .*/Info_Offset\t= 480,25/' >"$C/info/h-comma.info"
printf '%s\n' "$info" | sed 's/^Data_L\t= .*/Data_L\t= 134217728/;
    s/^ImpulseWindow_EndSample\t= .*/ImpulseWindow_EndSample\t= 2147483647/' >"$C/info/h-huge.info"
printf '%s\n' "$info" | sed 's/^Data_FileFormat\t= .*/Data_FileFormat\t= wav\x00flac/' >"$C/info/h-nul-value.info"
edge info/h-only-equals '=\n = \n==\nData_L\n'

head -c 2000 "$C/data/w-loop.flac" >"$C/data/h-truncated.flac"
{ printf 'fLaD'; tail -c +5 "$C/data/w-loop.flac"; } >"$C/data/h-wrong-magic.flac"
edge data/h-flac-magic-only 'fLaC'
# STREAMINFO declaring 2^36 - 1 samples of 32 bits on 8 channels.
edge data/h-flac-huge-streaminfo 'fLaC\200\000\000\042\020\000\020\000\000\000\000\000\000\000\013\270\017\377\377\377\377\377\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000'
edge data/h-riff-huge 'RIFF\377\377\377\377WAVEfmt \020\000\000\000\001\000\001\000\200\273\000\000\000\167\001\000\002\000\020\000data\377\377\377\377\001\000'
head -c 100 "$C/data/w-speaker.wav" >"$C/data/h-truncated.wav"

opts=$(cat "$C/options/w-default.xml")
printf '%s\n' "$opts" | sed 's/$/\r/' >"$C/options/h-crlf.xml"
{ printf '\357\273\277'; printf '%s\n' "$opts"; } >"$C/options/h-bom.xml"
printf '%s\n' "$opts" | sed 's/1\.2\.1\.0/9.9.9.9/' >"$C/options/h-newer.xml"
printf '%s\n' "$opts" | sed 's|<OutputPCMAmplitude>.*</OutputPCMAmplitude>|<OutputPCMAmplitude>0,5</OutputPCMAmplitude>|;
    s|<SignalLength>.*</SignalLength>|<SignalLength>99999999999999999999</SignalLength>|;
    s|<PlotDbMin>.*</PlotDbMin>|<PlotDbMin>nan</PlotDbMin>|' >"$C/options/h-bad-values.xml"
printf '%s\n' "$opts" | sed 's|<Comment />|<Comment>a\x00b</Comment>|' >"$C/options/h-nul-comment.xml"
edge options/h-wrong-root '<?xml version="1.0"?><Options><WriterProductVersion>1.2.1.0</WriterProductVersion></Options>'

edge options_set/h-length 'Signal.SignalLength=16'
edge options_set/h-comma 'Dev.OutputPCMAmplitude=0,5'
edge options_set/h-colour 'Plot.ColorFgString=1, 2, 3'
edge options_set/h-list 'Plot.CustomColors=1,-2,,3'
edge options_set/h-huge 'Misc.ASlotNr=99999999999999999999'
edge options_set/h-nan 'Dev.OutputPCMAmplitude=nan'
edge options_set/h-bool-cr 'Analysis.MicCalibration=true\r'
edge options_set/h-no-field 'Signal.=1'
edge options_set/h-two-equals 'ImExport.CommentString=a=b'

edge calibration/h-comma '#Comment c\n20;-1,5;10,25\n1000,5;-3,25;0\n20000;-6;-45\n'
printf '20 -1 0\n1000 0 0\n2000 1 5\n' | sed 's/$/\r/' >"$C/calibration/h-crlf.cal"
edge calibration/h-bom '\357\273\27720 -1 0\n1000 0 0\n'
edge calibration/h-huge '1e308 1e308 1e308\n1e309 -1e309 nan\n20 0 0\n'
edge calibration/h-one-point '1000 0 0\n'
edge calibration/h-descending '20000 -3 0\n1000 0 0\n20 -6 0\n'

edge response_import/h-comma '20;-1,5;10,25\n1000,5;-3,25;0\n20000;-6;-45\n'
printf '20 -1 0\n1000 0 0\n2000 1 5\n' | sed 's/$/\r/' >"$C/response_import/h-crlf.txt"
edge response_import/h-bom '\357\273\27720 -1 0\n1000 0 0\n'
edge response_import/h-huge '1e308 1e308 1e308\n20 400 0\n24000 -1e9 1e9\n'
edge response_import/h-one-point '1000 0 0\n'

edge impulse/h-comma '0,5\n-0,25\n1e-3\n'
printf '0\n1\n0.5\n' | sed 's/$/\r/' >"$C/impulse/h-crlf.txt"
edge impulse/h-bom '\357\273\2770.5\n1\n'
edge impulse/h-huge '1e308\n-1e308\n1e400\nnan\ninf\n'
edge impulse/h-riff-huge 'RIFF\377\377\377\377WAVEfmt \020\000\000\000\001\000\001\000\104\254\000\000\210\130\001\000\002\000\020\000data\377\377\377\377\000\100'

cp "$C/data/h-riff-huge" "$C/wave/h-riff-huge"
edge wave/h-rifx 'RIFX\000\000\000\044WAVEfmt \000\000\000\020\000\001\000\001\000\000\254\104\000\001\130\210\000\002\000\020data\000\000\000\000'
{ printf 'RIFF'; tail -c +5 "$C/wave/w-format1.wav"; } | head -c 60 >"$C/wave/h-truncated.wav"
{ printf 'RIFF\010\000\000\000WAVE'; } >"$C/wave/h-header-only.wav"
# Streaming recorders leave the data size 0 or 0xFFFFFFFF until they finish.
edge wave/h-data-size-zero 'RIFF\000\000\000\000WAVEfmt \020\000\000\000\001\000\001\000\104\254\000\000\210\130\001\000\002\000\020\000data\000\000\000\000\000\100\000\300'
edge wave/h-zero-rate 'RIFF\044\000\000\000WAVEfmt \020\000\000\000\001\000\001\000\000\000\000\000\000\000\000\000\002\000\020\000data\000\000\000\000'

# Impulses are shared as FLAC and AIFF too: sonvel's own FLAC data file, AIFF and AIFC by hand
# (four 16-bit samples at 44.1 kHz).
cp "$C/data/w-loop.flac" "$C/wave/w-data.flac"
head -c 300 "$C/data/w-loop.flac" >"$C/wave/h-truncated.flac"
rate='\000\001\000\000\000\004\000\020\100\016\254\104\000\000\000\000\000\000'
ssnd='SSND\000\000\000\020\000\000\000\000\000\000\000\000\100\000\300\000\040\000\340\000'
edge wave/h-pcm16.aiff "FORM\000\000\000\066AIFFCOMM\000\000\000\022$rate$ssnd"
edge wave/h-aiff-huge-chunk "FORM\000\000\000\066AIFFCOMM\177\000\000\022$rate$ssnd"
edge wave/h-none.aifc \
    "FORM\000\000\000\110AIFCFVER\000\000\000\004\242\200\121\100COMM\000\000\000\030${rate}NONE\000\000$ssnd"

echo "corpora: $(find "$C" -type f -printf '%s\n' | awk '{s += $1} END {print s}') bytes"
