#!/usr/bin/env bash
# Runs a command in a network namespace of its own, so the agents it starts can never meet an agent that runs
# on this machine: the Linux single-instance lock is an abstract local socket, which lives per network
# namespace. Inside there is a live loopback (for tools/room-server) and one adapter (a veth pair with both
# ends inside) with an address, a hardware address and a default route, so the agents learn an identity as on
# a seat of an exam room.
#
#   tests/in-own-network.sh CMD ARGS...
#
# As root it takes a plain network namespace; otherwise a user namespace with one. Where neither can be made
# it says so and runs the command where it stands.
set -u

if [ "$#" -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

if [ "${TAVREL_OWN_NETWORK:-}" != "inside" ]; then
  self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
  for how in "--net" "--user --map-root-user --net"; do
    # shellcheck disable=SC2086  # the options are meant to be split into words
    if unshare $how true >/dev/null 2>&1; then
      TAVREL_OWN_NETWORK=inside exec unshare $how -- "$self" "$@"
    fi
  done
  echo "in-own-network: no network namespace can be made here; running in the machine's own network," \
       "where an agent already running makes the single-instance tests fail" >&2
  exec "$@"
fi

unset TAVREL_OWN_NETWORK
ip link set lo up || exit 125
ip link add seat0 type veth peer name seat1 &&
  ip link set seat0 address 02:54:56:4c:00:01 &&
  ip addr add 10.213.0.2/24 dev seat0 &&
  ip link set seat0 up && ip link set seat1 up &&
  ip route add default via 10.213.0.1 dev seat0 || {
  echo "in-own-network: cannot set up the namespace's adapter" >&2
  exit 125
}
exec "$@"
