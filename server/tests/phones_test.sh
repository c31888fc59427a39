#!/usr/bin/env bash
# The phone apps' exact requests against the real server, once with SQLite
# and once with PostgreSQL: a Traccar Client query and its JSON, the
# GPSLogger recipe's URL (sent twice, as a replayed log is), an OwnTracks
# location and a transition, an Overland batch of 200 with one bad point,
# and Wayloom's report with its extras. Speeds and times are checked through
# /api/positions; wrong keys, bad JSON and a time too far ahead are refused.
# shellcheck source=server/tests/server_lib.sh
source "$(dirname "$0")/server_lib.sh"
begin_test "$@"

# send EXPECTED_STATUS CURL_ARGS...: the body in $work/body.
send() {
    local expected=$1 status
    shift
    status=$(curl -s -o "$work/body" -w '%{http_code}' --max-time 10 "$@") || true
    [[ $status == "$expected" ]] || fail "$* answered $status, not $expected: $(head -c 300 "$work/body")"
}

# position LOGIN: the positions of LOGIN as the web API gives them, to jq.
positions() {
    curl -s -u "boss:bosspass" "http://127.0.0.1/api/positions?login=$1&from=2000-01-01&to=2100-01-01"
}

# expect LOGIN JQ_FILTER WANTED: the filter over LOGIN's positions prints
# WANTED; knots() gives a speed to the thousandth.
expect() {
    local got
    got=$(positions "$1" | jq -c "def knots: . * 1000 | round / 1000; $2")
    [[ $got == "$3" ]] || fail "$kind: $1: $2 is $got, not $3"
}

run_with() {
    kind=$1
    local database
    database=$(new_database "$kind")
    [[ -n "$database" ]] || return 0
    : >"$work/server.log"
    listening_seen=0
    echo bosspass | "$server" account add boss --admin --database "$database" >/dev/null || fail "account add boss"
    add_accounts "$database" otpass walker
    local traccar gpslogger overland
    traccar=$("$server" account add traccar --key --database "$database") || fail "account add --key"
    gpslogger=$("$server" account add gpslogger --key --database "$database") || fail "account add --key"
    overland=$("$server" account add overland --key --database "$database") || fail "account add --key"
    start_server "$database" --listen 127.0.0.1 --osmand-port 5055
    local now hour_ago
    now=$(date +%s)
    hour_ago=$((now - 3600))

    # Traccar Client: the query, POSTed with no body; every path of --osmand-port.
    send 200 -X POST "http://127.0.0.1:5055/?id=$traccar&timestamp=$hour_ago&lat=48.8566&lon=2.3522&speed=15&bearing=270&altitude=35&accuracy=10&batt=75"
    [[ ! -s "$work/body" ]] || fail "$kind: OsmAnd's answer has a body"
    send 200 "http://127.0.0.1/osmand?id=$traccar&location=48.86,2.36&timestamp=$(date -u -d @$((hour_ago + 60)) +%Y-%m-%dT%H:%M:%SZ)&speed=0"
    send 200 "http://127.0.0.1:5055/?deviceid=$traccar&lat=48.87&lon=2.37&timestamp=$(date -u -d @$((hour_ago + 120)) '+%Y-%m-%d%%20%H:%M:%S')&valid=false"
    send 400 "http://127.0.0.1:5055/?id=nosuchkey&lat=48.8566&lon=2.3522"
    send 400 "http://127.0.0.1:5055/?id=$traccar&lat=48.8566&lon=2.3522&timestamp=$((now + 25 * 3600))"
    # Its JSON form: speed in m/s, battery 0 to 1.
    local json='{"device_id":"'$traccar'","location":{"timestamp":"'$(date -u -d @$((hour_ago + 180)) +%Y-%m-%dT%H:%M:%S.250Z)'","coords":{"latitude":48.85,"longitude":2.35,"speed":4.2,"heading":90,"accuracy":5,"altitude":30},"is_moving":true,"battery":{"level":0.8,"is_charging":false}}}'
    send 200 -H 'Content-Type: application/json' --data "$json" http://127.0.0.1/osmand
    send 404 -H 'Content-Type: application/json' --data "${json/$traccar/nosuchkey}" http://127.0.0.1/osmand
    send 400 -H 'Content-Type: application/json' --data '{"device_id":' http://127.0.0.1/osmand
    expect traccar '[.[] | [(.speed | knots), .course, .altitude, .accuracy, .battery]]' \
        '[[15,270,35,10,75],[0,null,null,null,null],[8.164,90,30,5,80]]'
    expect traccar '[.[].time]' "[\"$(date -u -d @$hour_ago +%Y-%m-%dT%H:%M:%SZ)\",\"$(date -u -d @$((hour_ago + 60)) +%Y-%m-%dT%H:%M:%SZ)\",\"$(date -u -d @$((hour_ago + 180)) +%Y-%m-%dT%H:%M:%S.250Z)\"]"
    pass "$kind: Traccar Client's query and JSON stored in knots at their times; unknown ids 400 and 404"

    # The GPSLogger recipe's URL as the app fills it in (%SPD 10 m/s), replayed.
    local url="http://127.0.0.1/osmand?id=$gpslogger&lat=48.1173&lon=11.518712&timestamp=$hour_ago&speed=10&speedunit=mps&bearing=45.5&altitude=520&accuracy=4&batt=64"
    send 200 "$url"
    send 200 "$url"
    expect gpslogger '[.[] | [(.speed | knots), .course, .battery]]' '[[19.438,45.5,64]]'
    pass "$kind: the GPSLogger recipe gives knots, and its replay is stored once"

    # OwnTracks: a location, then a transition; the admin sees walker's location.
    local location='{"_type":"location","acc":12,"alt":48,"batt":81,"bs":1,"cog":180,"conn":"w","lat":48.2,"lon":16.37,"t":"u","tid":"wa","tst":'$hour_ago',"vac":3,"vel":36,"topic":"owntracks/walker/phone"}'
    send 200 -u walker:otpass -H 'Content-Type: application/json' --data "$location" http://127.0.0.1/owntracks
    [[ $(cat "$work/body") == '[]' ]] || fail "$kind: walker sees others: $(cat "$work/body")"
    send 200 -u walker:otpass --data '{"_type":"transition","event":"enter","desc":"Home","tst":'$now',"wtst":1,"acc":10,"lat":48.2,"lon":16.37,"t":"c","tid":"wa"}' http://127.0.0.1/pub
    [[ $(cat "$work/body") == '[]' ]] || fail "$kind: the transition's answer: $(cat "$work/body")"
    send 401 -u walker:wrong --data "$location" http://127.0.0.1/owntracks
    send 400 -u walker:otpass --data 'not json' http://127.0.0.1/owntracks
    send 200 -u boss:bosspass --data "${location/48.2/48.3}" http://127.0.0.1/pub
    jq -e 'map(select(.tid == "wa" and .lat == 48.2 and .vel == 36)) | length == 1' "$work/body" >/dev/null ||
        fail "$kind: the admin's answer lacks walker: $(cat "$work/body")"
    expect walker '[.[] | [(.speed | knots), .course, .altitude, .accuracy, .battery]]' '[[19.438,180,48,12,81]]'
    pass "$kind: OwnTracks' location stored (vel in km/h), its transition answered [], friends as locations"

    # Overland: a batch of 200 with one point out of range; bad JSON; wrong tokens.
    jq -n --argjson t "$hour_ago" '{locations: [range(200) | {type: "Feature",
        geometry: {type: "Point", coordinates: [-122.0 + . * 0.001, (if . == 100 then 91 else 45.5 end)]},
        properties: {timestamp: ($t + . | todate), speed: 5, horizontal_accuracy: 8, altitude: 12,
                     course: -1, battery_level: 0.5, battery_state: "unplugged", device_id: "phone"}}]}' \
        >"$work/batch.json"
    send 200 -H "Authorization: Bearer $overland" -H 'Content-Type: application/json' \
        --data @"$work/batch.json" http://127.0.0.1/overland
    [[ $(cat "$work/body") == '{"result":"ok"}' ]] || fail "$kind: Overland's answer: $(cat "$work/body")"
    send 200 --data @"$work/batch.json" "http://127.0.0.1/overland?token=$overland"
    send 401 -H "Authorization: Bearer nosuchkey" --data @"$work/batch.json" http://127.0.0.1/overland
    send 400 -H "Authorization: Bearer $overland" --data '{"locations": [' http://127.0.0.1/overland
    expect overland 'length' '199'
    expect overland '[.[0] | (.speed | knots), .course, .battery, .accuracy]' '[9.719,null,50,8]'
    pass "$kind: an Overland batch of 200 stored but its bad point, once though sent twice"

    # Wayloom's own report with its extras.
    [[ $(curl -s --data "v=1.1&l=walker&p=otpass&lat=1&lon=2&s=3&c=90&a=120.5&h=0.8&n=9" \
        http://127.0.0.1/wayloom/Receiver.php) == 1 ]] || fail "$kind: a report with extras was refused"
    expect walker '[.[-1] | .course, .altitude, .hdop, .satellites]' '[90,120.5,0.8,9]'
    pass "$kind: Wayloom's report stores course, altitude, HDOP and satellites"

    kill -TERM "$server_pid"
    wait "$server_pid" || fail "$kind: the server did not stop with 0"
    server_pid=
}

run_with sqlite
run_with postgres
