# Sourced by test.sh: $wall, the command prefix that runs the tests in a PID
# namespace of their own, so that a signal a test sends to every process it
# may (kill -1) reaches only the suite's own processes. It is relied on only
# once a planted kill -1 inside has ended a process inside and spared one
# started beside it; where no namespace can be made, $wall is empty and the
# run says so.
wall=(unshare --pid --fork --kill-child --mount-proc)
[ "$(id -u)" -eq 0 ] || wall=(unshare --map-current-user "${wall[@]:1}")

wall_holds() {
  local beside inside=0 alive=0
  sleep 300 &
  beside=$!
  # Inside, the planted kill comes from a process that is not the
  # namespace's first (which kill -1 spares), and only once the namespace
  # is known to be new.
  "${wall[@]}" sh -c '[ "$(readlink /proc/self/ns/pid)" != "$1" ] || exit 99
                      sleep 300 & sh -c "kill -TERM -1"; wait $!' sh "$(readlink /proc/self/ns/pid)" \
    >/dev/null 2>&1 || inside=$?
  # Our own child, still sleeping: only then is it signalled.
  if [ "$(cut -d' ' -f3 "/proc/$beside/stat" 2>/dev/null)" = S ]; then
    alive=1
    kill "$beside"
  fi
  wait "$beside" 2>/dev/null || true
  [ "$inside" -eq 143 ] && [ "$alive" -eq 1 ]
}

if wall_holds; then
  echo "tests walled in a PID namespace of their own: a planted kill -1 inside ended a process there and spared one beside"
else
  echo "note: no PID namespace can be made here: the tests run beside every other process of $(id -un)"
  wall=()
fi
