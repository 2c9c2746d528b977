# The storm scenario of scripts/run-benchmarks, sourced by it (its helpers,
# ports, PKI and work folder): every AP comes back at once, and dor-ap-sim
# retries like real APs until each run's deadline. The service is started
# afresh for each run, so that its CPU time and peak RSS are the run's own.

storm_aps=${BENCH_STORM_APS:-10000}
storm_seconds=${BENCH_STORM_SECONDS:-300}
storm_runs=${BENCH_STORM_RUNS:-new-100 readmit-100 readmit-1000 new-1000}
# After the run's own deadline the simulator still writes its report; past
# this it is killed, so that no run outlasts its bound.
storm_grace_s=60
# Long enough for a steady handshake rate from nginx when the whole bench did not measure it.
storm_rate_seconds=5
# TLS handshakes a journey needs at least: a new AP registers and polls once on
# the free endpoint, then registers and reports ready on the authorized one; an
# AP that holds its certificate does only the last two.
storm_free_handshakes_new=2
storm_auth_handshakes=2
storm_dir="$work/storm"
mkdir -p "$storm_dir"

# Every run but new-1000 uses the first range, so that the re-admitted APs are
# the ones the new-100 run certified.
storm_range() {  # run name: MAC base, address base, bare MAC prefix
  case $1 in
    new-1000) echo "02:c1:00:00:00:01 127.2.0.1 02c1" ;;
    *) echo "02:c0:00:00:00:01 127.1.0.1 02c0" ;;
  esac
}
storm_certified() {  # bare MAC prefix: certificates delivered to that range
  find "$work/delivery" -maxdepth 1 -iname "$1*.pem" | wc -l
}
json_last() {  # key file: the last number under that key (the summary comes last)
  sed -n "s/^ *\"$1\": \\([-0-9.e+]*\\),\\{0,1\\}\$/\\1/p" "$2" | tail -1
}

storm_run() {  # new-N | readmit-N | prepare-N, N APs at once
  local name=$1 population=${1%-*} at_once=${1##*-}
  local mac addr prefix status=0
  read -r mac addr prefix <<< "$(storm_range "$name")"
  if [ "$population" = new ]; then
    # A new AP holds no certificate yet.
    find "$work/delivery" -maxdepth 1 -iname "$prefix*" -delete
  elif [ "$population" = readmit ] && [ "$(storm_certified "$prefix")" -lt "$storm_aps" ]; then
    echo "== storm: certifying $storm_aps APs for the re-admission runs"
    storm_run prepare-100
  fi
  echo "== storm $name: $storm_aps APs, $at_once at once, at most $storm_seconds s"
  start_service 0 --auto-auth
  local out="$storm_dir/$name" before after load
  load=$(cut -d' ' -f1 /proc/loadavg)
  before=$(cpu_ticks "$sa_pid")
  "${prio[@]}" taskset -c "$client_cpu" timeout --kill-after=10 $((storm_seconds + storm_grace_s)) \
    "$apsim" --backoff --count "$storm_aps" --at-once "$at_once" --concurrency "$at_once" \
    --timeout "$storm_seconds" \
    --sw-version 2.1.0 --mac-base "$mac" --addr-base "$addr" --free-port "$sa_port" \
    --server-ca "$work/pki/ca.pem" --delivery-dir "$work/delivery" --poll-ms 200 \
    --json --out "$out.json" --admissions "$out.adm" --quiet 2>> "$storm_dir/ap-sim.log" ||
    status=$?
  after=$(cpu_ticks "$sa_pid")
  echo "$((after - before)) $(awk '/^VmHWM/ { print $2 }' "/proc/$sa_pid/status")" \
    "$(awk '/^Max open files/ { print $4 }' "/proc/$sa_pid/limits")" "$load" > "$out.service"
  stop_all
  [ "$status" -le 1 ] || echo "bench: storm $name ended with status $status" >&2
  [ -s "$out.adm" ] || : > "$out.adm"
}

# nginx's TLS handshake rate on the server core (a new connection per request).
storm_rates() {
  [ -f "$work/runs/free-$clients-nginx.json" ] && [ -f "$work/runs/auth-$clients-nginx.json" ] &&
    return 0
  echo "== storm: nginx's handshake rate, $storm_rate_seconds s per endpoint"
  start_service 0  # the free endpoint's certificate comes from the service
  start_nginx
  run_one "free-$clients" nginx "$nginx_port" "$nginx_pid" --clients "$clients" \
    --duration "$storm_rate_seconds" --path /ott/register/ap
  run_one "auth-$clients" nginx $((nginx_port + 1)) "$nginx_pid" --clients "$clients" \
    --duration "$storm_rate_seconds" --path /ott/ready/ap --cert-dir "$work/ap_keys" \
    --server-ca "$work/pki/ca.pem"
  stop_all
}

# Writes $storm_table and $storm_plot.
run_storm() {
  # A thousand APs at once need a thousand descriptors in the service too.
  ulimit -Sn "$(ulimit -Hn)"
  storm_rates
  local name
  for name in $storm_runs; do
    storm_run "$name"
  done
  storm_report
}

storm_report() {
  local name free_rate auth_rate hz
  free_rate=$(json_number requests_per_s "$work/runs/free-$clients-nginx.json")
  auth_rate=$(json_number requests_per_s "$work/runs/auth-$clients-nginx.json")
  hz=$(getconf CLK_TCK)
  storm_table="$results/storm-$stamp.md"
  storm_plot="$results/storm-$stamp.png"
  {
    echo "## Storm: every AP at once ($(date '+%Y-%m-%d %H:%M'), tree $(git describe --always --dirty 2>/dev/null || echo unknown))"
    echo
    echo "dor-ap-sim --backoff (each failed step tried again after a pause drawn in [0, cap], the cap"
    echo "doubling from 0.5 s to 30 s); *at once*: APs on their journey at a time (--at-once, the next AP"
    echo "starting as one is admitted), $storm_aps APs per run, a deadline of $storm_seconds s; the service on CPU"
    echo "$server_cpu, dor-ap-sim and dor-controller-sim (auto-authentication) on CPU $client_cpu. *new*: the whole"
    echo "journey; *readmit*: APs holding their certificates (authorized register, credentials, ready)."
    echo "Other work on the machine shows in the load average and skews every figure."
    printf 'Handshake bound: the handshakes a journey needs at least (new: %s free + %s authorized,\n' \
      "$storm_free_handshakes_new" "$storm_auth_handshakes"
    printf 'readmit: %s authorized) at nginx'"'"'s rate on the server core: %.0f/s free, %.0f/s authorized.\n' \
      "$storm_auth_handshakes" "$free_rate" "$auth_rate"
    echo
    echo "| run | at once | admitted | time to last admission, s | handshake bound, s | time / bound | requests per AP | refused at a limit | certificate refusals | journeys started over | service CPU ms per admitted AP | service peak RSS, MB | service fd limit | load average at the start |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for name in $storm_runs; do
      local f="$storm_dir/$name"
      [ -f "$f.json" ] || { echo "| $name | - | no report | | | | | | | | | | | |"; continue; }
      local population=${name%-*} free_hs=0 ticks hwm nofile load
      [ "$population" = new ] && free_hs=$storm_free_handshakes_new
      read -r ticks hwm nofile load < "$f.service"
      awk -v name="$population" -v at="${name##*-}" -v n="$storm_aps" \
        -v admitted="$(json_last admitted "$f.json")" -v last="$(json_last last-admission-seconds "$f.json")" \
        -v requests="$(json_last requests "$f.json")" -v limit="$(json_last limit-refusals "$f.json")" \
        -v cert="$(json_last certificate-refusals "$f.json")" -v restarts="$(json_last restarts "$f.json")" \
        -v fr="$free_rate" -v ar="$auth_rate" -v fh="$free_hs" -v ah="$storm_auth_handshakes" \
        -v ticks="$ticks" -v hz="$hz" -v hwm="$hwm" -v nofile="$nofile" -v load="$load" 'BEGIN {
          bound = n * (fh / fr + ah / ar)
          # Until every AP is in, the last admission says little: the deadline came first.
          whole = admitted == n
          printf "| %s | %d | %d of %d | %s | %.1f | %s | %.2f | %d | %d | %d | %s | %.1f | %s | %s |\n",
            name, at, admitted, n, (whole ? sprintf("%.1f", last) : "not all by the deadline"), bound,
            (whole && bound > 0 ? sprintf("%.2f", last / bound) : "-"), requests / n,
            limit, cert, restarts,
            (admitted > 0 ? sprintf("%.2f", ticks * 1000 / hz / admitted) : "-"), hwm / 1024, nofile, load
        }'
    done
    echo
    for population in new readmit; do
      local low="$storm_dir/$population-100" high="$storm_dir/$population-1000"
      [ -f "$low.json" ] && [ -f "$high.json" ] || continue
      awk -v p="$population" -v n="$storm_aps" \
        -v a="$(json_last admitted "$high.json")" -v t1="$(json_last last-admission-seconds "$low.json")" \
        -v t2="$(json_last last-admission-seconds "$high.json")" -v r="$(json_last requests "$high.json")" \
        -v rss="$(cut -d' ' -f2 "$high.service")" 'BEGIN {
          met = (a == n && t2 <= 1.2 * t1 && r / n <= 5 && rss / 1024 < 100) ? "met" : "not met"
          printf "Goal for %s (at 1,000 at once: all admitted within 1.2x the time at 100, at most 5 requests per AP, RSS under 100 MB): %s (%d of %d admitted, %s the time, %.2f requests per AP, %.1f MB).\n\n",
            p, met, a, n, (a == n && t1 > 0 ? sprintf("%.2fx", t2 / t1) : "-"), r / n, rss / 1024
        }'
    done
  } > "$storm_table"
  {
    echo "set terminal pngcairo size 1000,600 font ',10'"
    echo "set output '$storm_plot'"
    echo "set title 'dor\\_sa storm: APs admitted over time ($storm_aps APs per run, $stamp)'"
    echo "set xlabel 'seconds from the start'; set ylabel 'APs admitted'; set key bottom right; set grid"
    echo "set xrange [0:*]; set yrange [0:*]"
    printf 'plot'
    local sep=" "
    for name in $storm_runs; do
      [ -s "$storm_dir/$name.adm" ] || continue
      printf "%s'%s' using 1:2 with lines lw 2 title '%s'" "$sep" "$storm_dir/$name.adm" "$name"
      sep=", "
    done
    [ "$sep" = " " ] && printf " 0 notitle"
    echo
  } > "$storm_dir/plot.gp"
  gnuplot "$storm_dir/plot.gp"
  cat "$storm_table"
  echo "== $storm_table, $storm_plot"
}
