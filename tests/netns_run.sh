#!/bin/sh
# Runs a command inside a private network namespace with only loopback up, so a
# test owns port 8080 and every 127.0.0.x address and nothing leaves the machine.
if [ "$(id -u)" = 0 ]; then
  exec unshare --net sh -c 'ip link set lo up && exec "$@"' netns_run "$@"
fi
exec unshare --net --map-root-user sh -c 'ip link set lo up && exec "$@"' netns_run "$@"
