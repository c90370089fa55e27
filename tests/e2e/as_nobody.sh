# Sourced as root after private_session.sh, with $program, $helper and $action set: installs the
# program and its root helper where nobody may run them, gives nobody a home and the display,
# and starts a polkit of this namespace alone that lets nobody start the helper through the
# real pkexec. Sets $user, the command prefix that runs the rest as nobody, and $polkit_pids.
source "$(dirname "${BASH_SOURCE[0]}")/../packaging/private_polkit.sh"
chmod 755 "$scratch"
mkdir -p /var/lib/varnholt && install -d -o nobody -g nogroup "$scratch/home"
install -D -m 755 "$program" "$scratch/bin/varnholt"
install -D -m 755 "$helper" "$scratch/libexec/varnholt/varnholt-machine-writer"
# nobody gets a home for its settings, in this namespace only.
sed "s|^\(nobody:[^:]*:[^:]*:[^:]*:[^:]*\):[^:]*:|\1:$scratch/home:|" /etc/passwd >"$scratch/passwd"
mount --bind "$scratch/passwd" /etc/passwd
install -m 644 "$XAUTHORITY" "$scratch/xauthority"
private_polkit "$action" "$scratch/libexec/varnholt/varnholt-machine-writer"
user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin
    DISPLAY="$DISPLAY" XAUTHORITY="$scratch/xauthority" HOME="$scratch/home")
