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
set -eu

stage=$BS_STAGE
root=$stage/root

# The root: the PC's own / as the read-only lower layer, and a fresh tmpfs
# holding a copy of the template as the upper layer, so that whatever the
# switch writes outside its state is gone at the next power-on.
mount -t tmpfs -o mode=0755 board-rootfs "$stage"
mkdir "$stage/upper" "$stage/work" "$root"
cp -a "$BS_TEMPLATE/." "$stage/upper/"
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

touch "$root/usr/sbin/bootlaunch"
mount --bind "$BS_LAUNCHER" "$root/usr/sbin/bootlaunch"

# The console becomes the controlling terminal of a session of the switch's
# own: keys such as Ctrl-C and Ctrl-\ then signal the switch's programs only,
# never the unshare that holds the namespaces on the PC's side.
exec setsid --ctty chroot "$root" /usr/sbin/board-init
