#!/usr/bin/env bash
# The fleet playbook, run twice on this machine with the built varnholt-policy and the
# package task skipped: the first run changes the mode, the second finds nothing to do; a check
# run for another mode shows the machine changed and changes nothing.
# Everything it writes lands in private layers of a mount namespace of its own.
set -euo pipefail
policy=$1
fleet=$(cd "$(dirname "$0")/../../docs/fleet" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root for a private mount namespace"; exit 77; }

exec unshare --mount --propagation private bash -euc '
    source "$(dirname "$0")/../../tools/private-overlay.sh"
    private_overlay /var/lib /etc /root
    mkdir -p /run/varnholt /run/udev  # apply'"'"'s own state and no udev to talk to
    mount -t tmpfs -o mode=0755 tmpfs /run/varnholt && mount -t tmpfs tmpfs /run/udev
    rm -rf /var/lib/varnholt /etc/udev/rules.d/61-varnholt.rules
    run() {  # policy, fleet folder, mode, options
        ANSIBLE_NOCOLOR=1 ansible-playbook -i localhost, -c local "$2/playbook.yml" \
            --skip-tags package -e ansible_become=false -e varnholt_mode="$3" "${@:4}" \
            -e varnholt_policy="$1" | tee /dev/stderr | grep -o "changed=[0-9]*"
    }
    first=$(run "$@" readonly) second=$(run "$@" readonly) check=$(run "$@" disable --check)
    echo "first run: $first, second run: $second, check run for disable: $check"
    [[ $first == changed=1 && $second == changed=0 && $check == changed=1 ]]
    "$1" status --json | grep -q "\"recorded\":\"readonly\".*\"in_force\":\"readonly\""
' "$0" "$policy" "$fleet"
