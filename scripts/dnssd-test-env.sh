#!/usr/bin/env bash
# A private environment for the tests: a network namespace that has only loopback, a D-Bus "system" bus of its
# own and an avahi-daemon in that namespace, so no mDNS or DNS packet ever leaves the machine and the computer's
# own avahi-daemon (if any) is neither used nor disturbed. The command runs in the same namespace, so the tests
# that listen on fixed ports find them free even while a sender runs on the computer, and the computer's own
# programs never see a test's connection. Needs root or sudo, iproute2 and the Debian packages dbus,
# avahi-daemon and avahi-utils (scripts/install-deps.sh installs them).
#
#   scripts/dnssd-test-env.sh run -- ctest --test-dir build
#
# starts the environment, runs the command in the namespace with DBUS_SYSTEM_BUS_ADDRESS pointing at the
# private bus (and a mount namespace of its own, as "ip netns exec" gives every command), stops both
# daemons again (also when the command fails or the run is interrupted) and exits with the command's status. It
# exits with 2 without running the command when the environment cannot be started. Called by a user other than
# root, it runs itself again through sudo, keeping the environment, and the command runs as that user again.
#
# Facts a test can rely on: the daemon is RUNNING when the command starts; a new registration is visible after
# about 0.9 s and a TXT change after 1-2.5 s. Take addresses from the resolver's result (".local" names do not
# resolve through getaddrinfo here), and dedupe browse results by (name, type, domain): there is one result per
# interface and protocol. No host outside the namespace is reachable.

set -u

dnssd_alive() { local st; st=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${st#Z}" = "$st" ]; } # a zombie is gone

dnssd_up() {
    DNSSD_DIR=$(mktemp -d -t kelvora-dnssd.XXXXXX) || return 1
    chmod 755 "$DNSSD_DIR" # mktemp -d is 0700, and the daemons may run as another user than the tests
    DNSSD_NS="kelvora-dnssd-$$"
    cat >"$DNSSD_DIR/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$DNSSD_DIR/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/>
    <allow send_type="method_call"/> <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/> <allow receive_type="method_return"/>
    <allow receive_type="error"/> <allow receive_type="signal"/>
  </policy>
</busconfig>
EOF
    cat >"$DNSSD_DIR/avahi.conf" <<'EOF'
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF
    # The bus: with --fork, dbus-daemon returns once its socket listens, having printed the daemon's pid.
    dbus-daemon --config-file="$DNSSD_DIR/bus.conf" --fork --print-pid >"$DNSSD_DIR/bus.pid" </dev/null ||
        return 1
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$DNSSD_DIR/bus.sock"
    # A network namespace with only lo; lo starts down there, and avahi would run but find no interface.
    ip netns add "$DNSSD_NS" || return 1
    DNSSD_NS_MADE=1
    ip -n "$DNSSD_NS" link set lo up || return 1
    # The tests' senders listen on fixed ports (47810 to 47813, 47900). No socket in the namespace may get one
    # of them as its ephemeral port, or a sender started a moment later falls back to a free port.
    ip netns exec "$DNSSD_NS" sh -c 'echo 47810-47813,47900 > /proc/sys/net/ipv4/ip_local_reserved_ports' ||
        return 1
    # avahi-daemon in it, in the foreground, with a tmpfs of its own over /run/avahi-daemon (pid file and socket)
    # so that it never meets the computer's own daemon; "ip netns exec" gives every command its own mount
    # namespace. Both ip and sh exec, so $! is the daemon's pid.
    ip netns exec "$DNSSD_NS" sh -c 'mkdir -p /run/avahi-daemon &&
        mount -t tmpfs -o mode=0755,size=1m tmpfs /run/avahi-daemon &&
        exec avahi-daemon -f "$1" --no-drop-root --no-rlimits' sh "$DNSSD_DIR/avahi.conf" \
        </dev/null >"$DNSSD_DIR/avahi.log" 2>&1 &
    echo $! >"$DNSSD_DIR/avahi.pid"
    # Wait for server state AVAHI_SERVER_RUNNING (2); probing the host name takes about a second.
    local i s=""
    for i in $(seq 1 150); do
        s=$(dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
            org.freedesktop.Avahi.Server.GetState 2>/dev/null | awk '{print $2}') || true
        [ "$s" = 2 ] && return 0
        dnssd_alive "$(cat "$DNSSD_DIR/avahi.pid")" || break
        sleep 0.1
    done
    echo "dnssd-test-env: avahi-daemon did not reach RUNNING (state '$s'); its log:" >&2
    cat "$DNSSD_DIR/avahi.log" >&2
    return 1
}

dnssd_stop() { # pid: TERM, up to 5 s to go, then KILL
    local p=$1 i
    dnssd_alive "$p" || return 0
    kill "$p" 2>/dev/null || return 0
    for i in $(seq 1 50); do
        dnssd_alive "$p" || return 0
        sleep 0.1
    done
    kill -9 "$p" 2>/dev/null || true
}

dnssd_down() {
    [ -n "${DNSSD_DIR:-}" ] && [ -d "$DNSSD_DIR" ] || return 0
    local f p
    for f in avahi.pid bus.pid; do # avahi first, so that it withdraws its records while the bus is still there
        [ -s "$DNSSD_DIR/$f" ] || continue
        p=$(cat "$DNSSD_DIR/$f")
        dnssd_stop "$p"
        if [ "$f" = avahi.pid ]; then wait "$p" 2>/dev/null || true; fi # our own child: reap it
    done
    if [ -n "${DNSSD_NS_MADE:-}" ]; then ip netns del "$DNSSD_NS" 2>/dev/null || true; fi
    rm -rf "$DNSSD_DIR"
    unset DBUS_SYSTEM_BUS_ADDRESS DNSSD_DIR DNSSD_NS DNSSD_NS_MADE
}

usage() {
    echo "usage: $0 run -- COMMAND [ARG...]" >&2
    exit 2
}

# run-as UID:GID is how the script calls itself through sudo: the command then runs as that user again.
run_as=""
case "${1:-}" in
    run) shift ;;
    run-as)
        run_as=${2:-}
        [ -n "$run_as" ] || usage
        shift 2 ;;
    *) usage ;;
esac
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || usage

if [ "$(id -u)" -ne 0 ]; then
    [ -z "$run_as" ] || usage
    command -v sudo >/dev/null || {
        echo "dnssd-test-env: needs root or sudo (a network namespace and a daemon of its own)" >&2
        exit 2
    }
    # sudo resets PATH even when it keeps the rest of the environment.
    exec sudo --preserve-env env "PATH=$PATH" "$0" run-as "$(id -u):$(id -g)" -- "$@"
fi

for tool in dbus-daemon avahi-daemon dbus-send ip setpriv; do
    command -v "$tool" >/dev/null || {
        echo "dnssd-test-env: $tool is missing (install dbus, avahi-daemon, avahi-utils, iproute2)" >&2
        exit 2
    }
done
trap dnssd_down EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
dnssd_up || exit 2
if [ -n "$run_as" ]; then
    groups=--init-groups
    getent passwd "${run_as%%:*}" >/dev/null || groups=--clear-groups # a user without a name has no groups
    ip netns exec "$DNSSD_NS" setpriv --reuid="${run_as%%:*}" --regid="${run_as#*:}" "$groups" -- "$@"
else
    ip netns exec "$DNSSD_NS" "$@"
fi
exit $?
