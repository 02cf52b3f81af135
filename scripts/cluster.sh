#!/usr/bin/env bash
# A local cluster of matting backends behind one address: a redis-server on
# loopback as their broker, BACKENDS prismhollow-backends sharing DATA
# through it, and haproxy in front of them, round robin. Ctrl-C or SIGTERM
# stops exactly the processes started here.
#   scripts/cluster.sh [BACKENDS] [DATA] [-- BACKEND OPTION...]
#     BACKENDS  how many backends (default 2)
#     DATA      the shared data folder (default ~/.cache/prismhollow-cluster);
#               Redis keeps its append-only file in DATA/redis, logs go to DATA/logs
#   CLUSTER_LISTEN       the balancer's address (default 127.0.0.1:8765, the plug-in's default)
#   CLUSTER_FIRST_PORT   the first backend's port; the others follow (default: the balancer's + 1)
#   CLUSTER_REDIS_PORT   Redis's port (default: the one DATA was shared through, else the balancer's - 1)
#   CLUSTER_HOST_NAMES   the names clients give the balancer, for --allow-host (default: its address,
#                        and localhost:PORT when it listens on 127.0.0.1)
#   PRISMHOLLOW_BACKEND  the backend program (default: prismhollow-backend from PATH)
set -euo pipefail

positional=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do positional+=("$1"); shift; done
[ $# -eq 0 ] || shift
extra=("$@")
backends="${positional[0]:-2}"
data="${positional[1]:-${HOME:?}/.cache/prismhollow-cluster}"
[[ "$backends" =~ ^[1-9][0-9]?$ ]] || { echo "BACKENDS is a number from 1 to 99, not \"$backends\"" >&2; exit 2; }

listen="${CLUSTER_LISTEN:-127.0.0.1:8765}"
port="${listen##*:}"
[[ "$port" =~ ^[0-9]+$ && "$listen" == *:* ]] || { echo "CLUSTER_LISTEN is HOST:PORT, not \"$listen\"" >&2; exit 2; }
first="${CLUSTER_FIRST_PORT:-$((port + 1))}"
program="${PRISMHOLLOW_BACKEND:-prismhollow-backend}"
command -v "$program" >/dev/null || { echo "no backend program \"$program\": put prismhollow-backend on PATH or set PRISMHOLLOW_BACKEND" >&2; exit 2; }
for tool in redis-server haproxy curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (bash scripts/install-deps.sh installs it)" >&2; exit 2; }
done

# The backends record the broker's address in DATA and refuse another: a
# cluster started again on DATA takes the same Redis port.
mkdir -p -- "$(dirname -- "$data")"
[ -d "$data" ] || mkdir -m 0700 -- "$data"
data="$(cd "$data" && pwd)"
recorded=""
[ ! -f "$data/broker" ] || recorded="$(sed -n 's|^redis://127\.0\.0\.1:\([0-9]*\)$|\1|p' "$data/broker")"
redis_port="${CLUSTER_REDIS_PORT:-${recorded:-$((port - 1))}}"
broker="redis://127.0.0.1:$redis_port"
read -ra names <<<"${CLUSTER_HOST_NAMES:-}"
if [ ${#names[@]} -eq 0 ]; then
  names=("$listen")
  [ "${listen%:*}" != 127.0.0.1 ] || names+=("localhost:$port")
fi
allow=()
for name in "${names[@]}"; do allow+=(--allow-host "$name"); done

for folder in redis logs; do [ -d "$data/$folder" ] || mkdir -m 0700 -- "$data/$folder"; done
logs="$data/logs"
config_dir="$(mktemp -d "${TMPDIR:-/tmp}/prismhollow-cluster.XXXXXX")"

# Only the processes started here, each signalled while it is still this
# shell's child (its parent in /proc is us), never by name.
pids=()
names_of=()
stopping=0
is_ours() { [ "$1" -gt 0 ] && [ "$(sed 's/.*) [^ ]* //; s/ .*//' "/proc/$1/stat" 2>/dev/null)" = "$$" ]; }
stop_all() {
  stopping=1
  trap '' INT TERM
  local i
  # The balancer first, then the backends (they finish on the broker), Redis last.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    if is_ours "${pids[i]}"; then
      kill -TERM "${pids[i]}" 2>/dev/null || true
      wait "${pids[i]}" 2>/dev/null || true
    fi
  done
  rm -rf -- "$config_dir"
}
trap 'stop_all; echo "cluster stopped"; exit 0' INT TERM
trap 'if [ "$stopping" -eq 0 ]; then stop_all; fi' EXIT
started() { pids+=("$!"); names_of+=("$1"); }

# Waits (20 s at most) until `url` answers; says why not and gives up when
# the process behind it has ended.
await() {
  local what="$1" url="$2" pid="$3" log="$4" i
  for ((i = 0; i < 200; i++)); do
    curl -fs -o /dev/null --max-time 1 "$url" && return 0
    if ! is_ours "$pid"; then
      echo "$what did not start; the end of $log:" >&2
      tail -n 5 "$log" >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "$what does not answer at $url; see $log" >&2
  exit 1
}

redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly yes --dir "$data/redis" \
  >>"$logs/redis.log" 2>&1 &
started redis
for ((i = 0; i < 100; i++)); do
  grep -q "Ready to accept connections" "$logs/redis.log" 2>/dev/null && [ "$(redis-cli -p "$redis_port" ping 2>/dev/null)" = PONG ] && break
  is_ours "${pids[0]}" || { echo "redis-server did not start on port $redis_port; the end of $logs/redis.log:" >&2; tail -n 5 "$logs/redis.log" >&2; exit 1; }
  sleep 0.1
done

{
  printf 'global\n  maxconn 512\n  log stdout format raw local0\n'
  printf 'defaults\n  mode http\n  log global\n  option httplog\n'
  # Uploads of a whole clip and downloads of its mattes take long: the
  # timeouts bound a stalled peer, not a transfer.
  printf '  timeout connect 5s\n  timeout client 10m\n  timeout server 10m\n  timeout http-request 60s\n'
  # A connection refused by a backend that died is tried on the next one.
  printf '  retries 2\n  option redispatch\n'
  printf 'frontend prismhollow\n  bind %s\n  default_backend matting\n' "$listen"
  # Round robin and no affinity: any backend answers any call of any session.
  printf 'backend matting\n  balance roundrobin\n'
  for ((k = 0; k < backends; k++)); do
    printf '  server backend%d 127.0.0.1:%d check inter 1s fall 2 rise 1\n' "$((k + 1))" "$((first + k))"
  done
} >"$config_dir/haproxy.cfg"

for ((k = 0; k < backends; k++)); do
  "$program" --listen "127.0.0.1:$((first + k))" --data "$data" --broker "$broker" "${allow[@]}" "${extra[@]}" \
    >>"$logs/backend$((k + 1)).log" 2>&1 &
  started "backend$((k + 1))"
done
for ((k = 0; k < backends; k++)); do
  await "backend$((k + 1))" "http://127.0.0.1:$((first + k))/" "${pids[k + 1]}" "$logs/backend$((k + 1)).log"
done

haproxy -db -f "$config_dir/haproxy.cfg" >>"$logs/haproxy.log" 2>&1 &
started haproxy
await haproxy "http://$listen/" "$!" "$logs/haproxy.log"

echo "matting cluster at http://$listen (haproxy, round robin over $backends backends)"
for ((k = 0; k < backends; k++)); do
  echo "  backend$((k + 1))  http://127.0.0.1:$((first + k))  log $logs/backend$((k + 1)).log"
done
echo "  broker    $broker  append-only file in $data/redis"
echo "  data      $data"
echo "Ctrl-C stops them."

# A backend that ends leaves the others serving; the balancer or the broker
# ending ends the cluster.
while :; do
  ended=""
  live=()
  for pid in "${pids[@]}"; do [ "$pid" -eq 0 ] || live+=("$pid"); done
  wait -n -p ended "${live[@]}" 2>/dev/null || true
  [ -n "$ended" ] || { sleep 1; continue; }
  for ((i = 0; i < ${#pids[@]}; i++)); do
    [ "${pids[i]}" = "$ended" ] || continue
    pids[i]=0
    case "${names_of[i]}" in
      backend*) echo "${names_of[i]} ended; see $logs/${names_of[i]}.log" >&2 ;;
      *) echo "${names_of[i]} ended; see $logs/${names_of[i]}.log; stopping the cluster" >&2; stop_all; exit 1 ;;
    esac
  done
done
