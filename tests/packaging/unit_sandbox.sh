#!/usr/bin/env bash
# The sandboxed varnholt-policy.service, rated below 5.0 by systemd-analyze, still does its work
# under systemd: booted in a container over the host's /usr with a tmpfs root, it writes the
# rules, keeps its state folder and logs to journald. Usage: unit_sandbox.sh UNIT VARNHOLT_POLICY
set -euo pipefail
[[ $(id -u) -eq 0 ]] && command -v systemd-nspawn >/dev/null || { echo "needs root and systemd-nspawn"; exit 77; }
systemd-analyze security --offline=true --threshold=49 "$1" | tail -1
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
sed "s|^ExecStart=[^ ]*|ExecStart=/opt/varnholt-policy|" "$1" >"$work/varnholt-policy.service"
cat >"$work/check.service" <<'UNIT'
[Service]
Type=oneshot
ExecStart=/bin/sh -c '/opt/varnholt-policy set readonly; rm /etc/udev/rules.d/61-varnholt.rules; \
    systemctl start varnholt-policy.service; systemctl show -P Result varnholt-policy.service >/out/result; \
    stat -c %%a:%%U /run/varnholt >>/out/result; sed -n "s/.*mode: //p" /etc/udev/rules.d/61-varnholt.rules >>/out/result; \
    journalctl --sync; journalctl -o export MESSAGE_ID=661dade4f19c44bb9e27d05f253b6b8b >/out/journal; systemctl poweroff'
UNIT
mkdir "$work/out" && timeout 120 systemd-nspawn --quiet --keep-unit --register=no -D / --volatile=yes \
    --bind="$work/out:/out" --bind-ro="$2:/opt/varnholt-policy" \
    --bind-ro="$work/varnholt-policy.service:/etc/systemd/system/varnholt-policy.service" \
    --bind-ro="$work/check.service:/etc/systemd/system/check.service" \
    -b systemd.firstboot=off systemd.wants=check.service >"$work/boot.log" 2>&1 || cat "$work/boot.log"
paste -sd" " "$work/out/result"
[[ $(paste -sd' ' "$work/out/result") == "success 755:root readonly" ]] &&
    grep -qx "VARNHOLT_REQUESTED_BY=the hive changed or the machine started (varnholt-policy.service)" "$work/out/journal"
