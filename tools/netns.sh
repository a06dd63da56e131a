#!/bin/sh
# Runs a command in a network namespace of its own (needs root): loopback up,
# with multicast routed over it.  Anything that starts the server with Start
# pressed runs this way in tests and benchmarks, so that discovery's SSDP
# datagrams never reach the machine's network.
#   tools/netns.sh COMMAND [ARGS...]
exec unshare --net sh -c 'ip link set lo up && ip link set lo multicast on &&
    ip route add 224.0.0.0/4 dev lo && exec "$@"' netns "$@"
