#!/bin/sh
# First stage of a power-on of the simulated switch.
#
# board-sim runs this as PID 1 of fresh mount, PID, network and UTS
# namespaces (unshare), with the console pty as standard input, output and
# error. It still sees the PC's file system; it builds the switch's root and
# hands over to the switch's init (rootfs/usr/sbin/board-init) inside it.
# Every mount made here lives in the private mount namespace and vanishes
# with it: there is nothing to undo on the PC.
#
# Settings, from the environment:
#   BS_STAGE     an empty directory of the PC on which the working tmpfs goes
#   BS_TEMPLATE  tools/board-sim/rootfs: the board's substitutes
#   BS_STATE     the state directory (dev/, user/, run/)
#   BS_CONSOLE   the console pty's slave, e.g. /dev/pts/3
#   BS_LAUNCHER  the bootlaunch binary
#   BS_USB       the USB stick's directory, or empty when none is inserted
#   BS_USB_DELAY seconds after which the stick shows up, or empty: at once
#   BS_TMP_SIZE  the size of the RAM file system /tmp (tmpfs syntax, e.g. 64M)
#   BS_RX_SHIM   the preload library of the switch's rx (rx-shim.c), or empty
#   BS_MGMT      1: a cable in the management port (eth0), with a DHCP server
#                at its far end; empty: no eth0
#   BS_LAN_NET   the network namespace of a management LAN (/proc/PID/ns/net,
#                boardsim/lan.py) that eth0 plugs into, or empty
#   BS_SWITCH_OPS the switch-ops program, or empty when there is none
#   BS_SWITCH_OPS_PREFIX what runs it (qemu-user for a PowerPC build), or empty
#   BS_CLOCK     how many times faster the switch's fixed waits run
#   BS_RFS_ROOT  the files of the root file system partition's archive, laid over
#                the template (boardsim/rootfs.py), or empty
set -eu

stage=$BS_STAGE
root=$stage/root

# The root: the PC's own / as the read-only lower layer, and a fresh tmpfs
# holding a copy of the template as the upper layer, so that whatever the
# switch writes outside its state is gone at the next power-on.
mount -t tmpfs -o mode=0755 board-rootfs "$stage"
mkdir "$stage/upper" "$stage/work" "$root"
cp -a "$BS_TEMPLATE/." "$stage/upper/"
if [ -n "${BS_RFS_ROOT:-}" ]; then
    cp -a "$BS_RFS_ROOT/." "$stage/upper/"
fi
if [ -n "$BS_RX_SHIM" ]; then
    mkdir -p "$stage/upper/usr/lib/board-sim"
    cp "$BS_RX_SHIM" "$stage/upper/usr/lib/board-sim/rx-shim.so"
fi
if [ ! -L /bin ]; then
    # A PC without a merged /usr: shadow /bin and /sbin as well.
    mkdir -p "$stage/upper/bin" "$stage/upper/sbin"
    cp -a "$stage/upper/usr/bin/." "$stage/upper/bin/"
    cp -a "$stage/upper/usr/sbin/." "$stage/upper/sbin/"
fi
mount -t overlay board-root -o "lowerdir=/,upperdir=$stage/upper,workdir=$stage/work" "$root"

hostname switch
ip link set lo up

# The switch has no systemd: the PC's timesyncd hook of dhclient would call
# systemctl, which here is the switch's reboot.
rm -f "$root/etc/dhcp/dhclient-exit-hooks.d/timesyncd"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"

# /dev: only what the switch's programs use, plus the state's devices.
mount -t tmpfs -o mode=0755,nosuid board-dev "$root/dev"
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
mkdir "$root/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
# The console and the serial port are one line, as on the switch.
for n in ttyS0 console; do
    touch "$root/dev/$n"
    mount --bind "$BS_CONSOLE" "$root/dev/$n"
done
for p in uboot ubootenv devicetree kernel rfs rescue; do
    touch "$root/dev/mtd-$p"
    mount --bind "$BS_STATE/dev/mtd-$p" "$root/dev/mtd-$p"
done
# The board's watchdog: board-sim holds the FIFO in run/ (/run/board here)
# for the whole power-on and resets the switch when its count runs out.
ln -s /run/board/watchdog "$root/dev/watchdog"
# Names the launcher hands to mount and flash_eraseall; the substitutes act
# on /run/mtd-user instead.
touch "$root/dev/mtd-user" "$root/dev/mtd-user-char"
for b in 0 1; do
    mkdir "$root/dev/i2c-$b"
    mount --bind "$BS_STATE/dev/i2c-$b" "$root/dev/i2c-$b"
done

# RAM file system, empty at every power-on, and as small as the switch's:
# a program that fills it fails here as it would there.
mount -t tmpfs -o "mode=1777,size=$BS_TMP_SIZE" board-tmp "$root/tmp"

# The persistent file system: its "flash" at /run/mtd-user. /user stays an
# empty mount point, as on the switch before the launcher mounts it.
mkdir -p "$root/user" "$root/run/mtd-user" "$root/run/board"
mount --bind "$BS_STATE/user" "$root/run/mtd-user"
mount --bind "$BS_STATE/run" "$root/run/board"

# The USB stick: /mnt/usb and /tmp/usb exist only while one is inserted.
# (Removing a name here only hides it in the upper layer.) The switch's
# hot-plug handling mounts a stick on /mnt/usb and then makes /tmp/usb, the
# sign the launcher polls for.
rm -rf "$root/mnt/usb"
insert_stick() {
    mkdir -p "$root/mnt/usb"
    mount --bind "$BS_USB" "$root/mnt/usb"
    mkdir -p "$root/tmp/usb"
}
if [ -n "$BS_USB" ] && [ -n "$BS_USB_DELAY" ]; then
    # A stick that shows up later, as one found slowly or plugged in after
    # power-on: a job of this mount namespace, outside the switch's root
    # and off the console; it ends with the switch's init.
    (sleep "$BS_USB_DELAY" && insert_stick) </dev/null >/dev/null 2>&1 &
elif [ -n "$BS_USB" ]; then
    insert_stick
fi

# The management port: eth0, one end of a veth pair whose far end (mgmt0)
# sits in a network namespace of its own with the address 192.0.2.1 and a
# DHCP server (dnsmasq) handing out 192.0.2.100-150 with 192.0.2.1 as router.
# Both namespaces are made anew at every power-on, so no address or route of
# an earlier one survives. The far end is held by processes of the switch's
# PID namespace, off its root: they end with the switch's init, whatever
# becomes of board-sim. run/mgmt-far.pid holds the PC's number of the process
# that holds the far end's namespace (for `board-sim net` and `exec --far`).
mgmt_up() {
    run=$BS_STATE/run
    # The far end's namespace; the holder writes down its PC pid once it is
    # in it (/proc here is the PC's).
    unshare --net sh -c 'read -r pid rest </proc/self/stat && echo "$pid" >"$1.new" &&
        mv "$1.new" "$1" && exec sleep infinity' far-end "$run/mgmt-far.pid" \
        </dev/null >/dev/null 2>&1 &
    holder=$!
    n=0
    while [ ! -s "$run/mgmt-far.pid" ]; do
        n=$((n + 1))
        if [ $n -gt 500 ]; then
            echo "board-sim: the management port's far end did not start" >&2
            exit 1
        fi
        sleep 0.01
    done
    far="nsenter --net=/proc/$(cat "$run/mgmt-far.pid")/ns/net"
    ip link add eth0 type veth peer name mgmt0 netns "$holder"
    $far ip link set lo up
    $far ip addr add 192.0.2.1/24 dev mgmt0
    $far ip link set mgmt0 up
    $far dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --no-resolv --no-hosts \
        --bind-interfaces --interface=mgmt0 \
        --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,1h --dhcp-authoritative \
        --dhcp-option=option:router,192.0.2.1 --dhcp-option=option:dns-server,192.0.2.1 \
        --dhcp-leasefile="$run/mgmt-dhcp.leases" --pid-file="$run/mgmt-dhcp.pid" \
        --log-dhcp --log-facility="$run/mgmt-dhcp.log" \
        </dev/null >/dev/null 2>>"$run/mgmt-dhcp.log" &
}
[ "$BS_MGMT" = 1 ] && mgmt_up

# The management port on a LAN that other switches share: eth0's far end is a
# port of the LAN's bridge, named after this switch's state folder. It goes
# with the switch's network namespace at power-off.
lan_up() {
    port=sw$(printf '%s' "$BS_STATE" | md5sum | cut -c1-12)
    ip link add eth0 type veth peer name "$port" netns "$BS_LAN_NET"
    nsenter --net="$BS_LAN_NET" ip link set "$port" master lan0
    nsenter --net="$BS_LAN_NET" ip link set "$port" up
    echo "$port" >"$BS_STATE/run/lan-port"
}
[ -n "${BS_LAN_NET:-}" ] && lan_up

touch "$root/usr/sbin/bootlaunch"
mount --bind "$BS_LAUNCHER" "$root/usr/sbin/bootlaunch"

# switch-ops, the companion program, on the switch's PATH: a wrapper that
# runs the build's program (under qemu-user when it is a PowerPC one) with
# the simulator's settings that the launcher gets, so that board-sim's
# --clock reaches it too, also through `board-sim exec --inside`, whose
# environment is clean.
if [ -n "$BS_SWITCH_OPS" ]; then
    mkdir -p "$root/usr/lib/board-sim"
    touch "$root/usr/lib/board-sim/switch-ops"
    mount --bind "$BS_SWITCH_OPS" "$root/usr/lib/board-sim/switch-ops"
    cat >"$root/usr/bin/switch-ops" <<EOF
#!/bin/sh
# switch-ops of the simulated switch (written by board-sim at power-on).
export BOOTLAUNCH_SIM_BOARD=1 BOOTLAUNCH_SIM_CLOCK=\${BOOTLAUNCH_SIM_CLOCK:-$BS_CLOCK}
exec $BS_SWITCH_OPS_PREFIX /usr/lib/board-sim/switch-ops "\$@"
EOF
    chmod 755 "$root/usr/bin/switch-ops"
fi

# The console becomes the controlling terminal of a session of the switch's
# own: keys such as Ctrl-C and Ctrl-\ then signal the switch's programs only,
# never the unshare that holds the namespaces on the PC's side.
exec setsid --ctty chroot "$root" /usr/sbin/board-init
