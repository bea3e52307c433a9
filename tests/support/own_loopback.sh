#!/bin/sh
# Runs a test in a network namespace of its own with only its loopback up, so that the default server's
# address, 127.0.0.1:3000, is free for the test whatever else listens there on the machine (a demo server,
# OBS, another test). Root gets a plain namespace; anyone else one inside a user namespace.
set -e
user=""
[ "$(id -u)" -eq 0 ] || user="--map-root-user"
exec unshare $user --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
