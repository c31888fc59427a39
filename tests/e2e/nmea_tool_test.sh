#!/usr/bin/env bash
# Runs the real wayloom-nmea on sample streams and checks its JSON lines.
set -euo pipefail

tool="${WAYLOOM_BINARY_DIR:?}/wayloom-nmea"
data="${WAYLOOM_SOURCE_DIR:?}/tests/data"
sample="$data/sample.nmea"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=tests/e2e/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# --- options ---
"$tool" --help >"$work/help" || fail "--help exits non-zero"
grep -q '^Usage: wayloom-nmea' "$work/help" || fail "--help shows no usage"
for bad in "--chunk 0" "--chunk 513" "--chunk abc" "--chunk" "--bogus" "$sample $sample"; do
    status=0
    # shellcheck disable=SC2086
    "$tool" $bad </dev/null >/dev/null 2>&1 || status=$?
    [[ $status -eq 2 ]] || fail "'$bad' exits $status, not 2"
done
status=0
"$tool" "$work/missing.nmea" >/dev/null 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "a missing file exits $status, not 1"

# --- the hand-made sample: one line of valid JSON per dispatched sentence ---
"$tool" "$sample" >"$work/sample.json"
jq -c . "$work/sample.json" >/dev/null || fail "sample output is not JSON lines"
if grep -Eq '(: |\[|, )-?(inf|nan)' "$work/sample.json"; then fail "a non-finite number was printed"; fi
expect "types in order" '[.[].type] == ["other","GGA","RMC","GSA","GSV","GSV","GSV","VTG","GLL","ZDA",
    "other","other","GGA","RMC","other","RMC"]' "$work/sample.json"
expect "every line has the four members" \
    'all(.[]; keys == ["fix","record","sentence","type"] and (.fix | keys == ["latitude","longitude","speed","valid"]))' \
    "$work/sample.json"
expect "a stream that starts inside a sentence" \
    '.[0] == {"sentence":"4,W,225444,A*","type":"other","record":{"text":"4,W,225444,A*"},
              "fix":{"latitude":0,"longitude":0,"speed":0,"valid":0}}' "$work/sample.json"
expect "GGA example" '.[1].record | del(.latitude, .longitude) == {"id":"$GPGGA","hour":12,"minute":35,"second":19,
    "latitudeHemisphere":"N","longitudeHemisphere":"E","fixQuality":"1","satellitesUsed":8,"hdop":0.9,
    "altitude":545,"altitudeUnit":"M","geoidSeparation":46.9,"geoidSeparationUnit":"M","dgpsAge":0,"dgpsStationId":0}' \
    "$work/sample.json"
expect "GGA coordinates in degrees" \
    '(.[1].record.latitude - 48.1173 | fabs) < 1e-12 and (.[1].record.longitude - 11.516667 | fabs) < 5e-7' \
    "$work/sample.json"
expect "fix after RMC" '.[2].fix == {"latitude":.[1].record.latitude,"longitude":.[1].record.longitude,
    "speed":22.399999618530273,"valid":1}' "$work/sample.json"
expect "RMC fields in table order" '.[2].record | keys_unsorted == ["id","hour","minute","second","status","latitude",
    "latitudeHemisphere","longitude","longitudeHemisphere","speed","course","day","month","year","magneticVariation",
    "magneticVariationDirection"]' "$work/sample.json"
expect "GSA satellites" '.[3].record.satellites == [4,5,0,9,12,0,0,24,0,0,0,0] and .[3].record.vdop == 2.1' \
    "$work/sample.json"
expect "last GSV keeps the earlier entries it does not reach" '.[6].record == {"id":"$GPGSV","messageNumber":"3",
    "messageCount":"3","satellitesInView":11,"satellites":[{"prn":22,"elevation":42,"azimuth":67,"snr":42},
    {"prn":24,"elevation":14,"azimuth":311,"snr":43},{"prn":18,"elevation":67,"azimuth":296,"snr":40},
    {"prn":19,"elevation":40,"azimuth":246,"snr":0}]}' "$work/sample.json"
expect "VTG values" '.[7].record == {"id":"$GPVTG","values":[54.7,0,34.4,0]}' "$work/sample.json"
expect "GLL plain numbers" '.[8].record.latitude == 4916.45 and .[8].record.longitude == 12311.12' "$work/sample.json"
expect "ZDA negative zone" '.[9].record.zoneHours == -5 and .[9].record.zoneMinutes == 30 and .[9].record.year == 2002' \
    "$work/sample.json"
expect "other talker leaves the fix" '.[10].fix == .[9].fix and .[10].record.text == .[10].sentence' "$work/sample.json"
expect "southern and western fix stays positive despite a wrong checksum" \
    '.[12].record.latitudeHemisphere == "S" and .[12].record.longitudeHemisphere == "W"
     and (.[12].fix.latitude - 33.71103 | fabs) < 1e-9 and .[12].fix.longitude > 70.6' "$work/sample.json"
expect "status V is not valid; empty characters are null" \
    '.[13].fix.valid == 0 and .[13].record.magneticVariationDirection == null' "$work/sample.json"
expect "text bytes keep their codes" '.[14].sentence | explode | (index([233]) != null and index([1]) != null)' \
    "$work/sample.json"
grep -qF '"sentence": "$GPTXT,01,01,02,caf\u00e9 \u0001\"q\\*"' "$work/sample.json" ||
    fail "control and high bytes are not written as \\u00XX escapes"
expect "inf, nan and 1e999 read as 0" \
    '.[15].record.speed == 0 and .[15].record.course == 0 and .[15].record.magneticVariation == 0 and .[15].fix.valid == 1' \
    "$work/sample.json"
grep -q PXYZ "$work/sample.json" && fail "an over-long sentence was dispatched"

# Standard input, with and without "-", gives the same lines.
"$tool" <"$sample" | cmp -s - "$work/sample.json" || fail "standard input differs from the file"
"$tool" - <"$sample" | cmp -s - "$work/sample.json" || fail "'-' differs from the file"

# --- the receiver logs: every read size frames the same sentences ---
cat "$data"/nmea/*.log >"$work/logs.nmea"
"$tool" "$work/logs.nmea" >"$work/logs.json"
lines=$(wc -l <"$work/logs.json")
sentences=$(grep -c '\*' "$work/logs.nmea")
[[ $lines -eq $sentences ]] || fail "$lines lines for $sentences sentences in the receiver logs"
jq -c . "$work/logs.json" >/dev/null || fail "receiver log output is not JSON lines"
for size in 1 2 3 13 64 81 82 255 256 511; do
    "$tool" --chunk "$size" "$work/logs.nmea" | cmp -s - "$work/logs.json" || fail "--chunk $size changes the output"
done

# Zero bytes before every line and, every fifth line, a sentence with a zero
# byte inside: that sentence is dropped, nothing else changes, at any size.
perl -pe 's/^/\0/; $_ .= "\$GPRMC,1,A,1,N,1,E,0\0001.0,1,1,1,W*00\r\n" if $. % 5 == 0' \
    "$work/logs.nmea" >"$work/zeros.nmea"
for size in 1 2 7 64 82 512; do
    "$tool" --chunk "$size" "$work/zeros.nmea" | cmp -s - "$work/logs.json" ||
        fail "zero bytes change the output at --chunk $size"
done
# --- a multi-constellation receiver: GN position sentences ---
multi="$data/multi-constellation.nmea"
"$tool" "$multi" >"$work/gn.json" 2>"$work/gn.err"
expect "GN sentences are others by default" 'all(.[]; .type == "other" or (.sentence | startswith("$GP")))
    and .[-1].fix.valid == 0' "$work/gn.json"
grep -q 'talker GN, not GP' "$work/gn.err" || fail "no hint on the GN talker: $(cat "$work/gn.err")"
grep -q 'talkers = any' "$work/gn.err" || fail "the hint names no setting"
"$tool" --talkers any "$multi" >"$work/any.json" 2>"$work/any.err"
[[ ! -s "$work/any.err" ]] || fail "a hint with --talkers any: $(cat "$work/any.err")"
expect "GN sentences decoded with --talkers any" '[.[] | select(.sentence | startswith("$GNGGA")) | .type] | unique == ["GGA"]' \
    "$work/any.json"
expect "the south-western fix, unsigned in the record" '.[-1].fix.valid == 1 and (.[-1].fix.latitude - 34.60392 | fabs) < 1e-5
    and (.[-1].fix.longitude - 58.381358 | fabs) < 1e-5 and ([.[] | select(.type == "GGA")][-1].record |
    .latitudeHemisphere == "S" and .longitudeHemisphere == "W" and .id == "$GNGGA")' "$work/any.json"
"$tool" "$sample" 2>"$work/gp.err" >/dev/null
[[ ! -s "$work/gp.err" ]] || fail "a hint for a GP stream: $(cat "$work/gp.err")"
status=0
"$tool" --talkers GN "$multi" >/dev/null 2>&1 || status=$?
[[ $status -eq 2 ]] || fail "--talkers GN exits $status, not 2"

finish_checks wayloom-nmea
