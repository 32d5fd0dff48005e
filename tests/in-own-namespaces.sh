#!/usr/bin/env bash
# Runs a command in a network, process and mount namespace of its own, so the agents it starts can never meet
# an agent or an exam client that runs on this machine: the Linux single-instance lock is a file in /run,
# which a /run of its own keeps to this run, and the agent counts and ends processes it finds in /proc,
# which a process namespace with its own /proc keeps to this run. Inside there
# is a live loopback (for tools/room-server) and one adapter (a veth pair with both ends inside) with an
# address, a hardware address and a default route, so the agents learn an identity as on a seat of an exam
# room. Whatever is left in the namespace ends with the command.
#
#   tests/in-own-namespaces.sh CMD ARGS...
#
# As root it takes plain namespaces; otherwise a user namespace with them. Where neither can be made
# it says so and runs the command where it stands.
set -u

if [ "$#" -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

if [ "${TAVREL_OWN_NAMESPACES:-}" != "inside" ]; then
  self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
  own="--net --pid --fork --kill-child --mount-proc"
  for how in "$own" "--user --map-root-user $own"; do
    # shellcheck disable=SC2086  # the options are meant to be split into words
    if unshare $how true >/dev/null 2>&1; then
      TAVREL_OWN_NAMESPACES=inside exec unshare $how -- "$self" "$@"
    fi
  done
  echo "in-own-namespaces: no namespaces can be made here; running among the machine's own processes and" \
       "network, where an agent or exam client already running makes tests fail" >&2
  exec "$@"
fi

unset TAVREL_OWN_NAMESPACES
# --mount-proc made a mount namespace: a /run of its own holds this run's single-instance lock.
mount -t tmpfs -o mode=0755,size=8m tavrel-run /run || {
  echo "in-own-namespaces: cannot mount a /run of its own" >&2
  exit 125
}
ip link set lo up || exit 125
ip link add seat0 type veth peer name seat1 &&
  ip link set seat0 address 02:54:56:4c:00:01 &&
  ip addr add 10.213.0.2/24 dev seat0 &&
  ip link set seat0 up && ip link set seat1 up &&
  ip route add default via 10.213.0.1 dev seat0 || {
  echo "in-own-namespaces: cannot set up the namespace's adapter" >&2
  exit 125
}
# The mounts made in here are seen by nobody outside (a test may plant files over system folders).
export TAVREL_PRIVATE_MOUNTS=1
exec "$@"
