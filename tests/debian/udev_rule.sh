#!/bin/sh
# The package's udev rule, run by udevadm test on the virtual cameras' udev
# records with their ID_* properties taken out, as a kernel's first event has
# none: the document camera is the seated user's, the webcam beside it not.
# Usage: udev_rule.sh RULE VELCAP-VCAM-UDEV
set -eu
rule=$1 describe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/rules"
cp "$rule" "$work/rules/60-libvelcap1.rules"
# systemd tags every video node for the seat itself; masked, only our rule is seen.
: > "$work/rules/70-uaccess.rules"
# The document camera with its capture button.
"$describe" --default | sed 's/^camera 0$/camera 0\nbutton/' > "$work/cameras.vcam"
"$describe" --config "$work/cameras.vcam" | grep -v '^E: ID_\(VENDOR\|MODEL\|BUS\)\(_ID\)\?=' > "$work/records"
tags() {
    # A mount namespace of its own: the machine's rules folder is never
    # touched, and what udevadm writes of its database (/run/udev) and links
    # (/dev) goes into folders of this namespace, gone with it.
    unshare -m sh -c "mount --bind '$work/rules' /etc/udev/rules.d && mount -t tmpfs tmpfs /run &&
        mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 && mkdir /dev/pts &&
        mount -t devpts devpts /dev/pts -o newinstance,ptmxmode=0666 && ln -s pts/ptmx /dev/ptmx &&
        umockdev-run --device '$work/records' -- udevadm test --action=add '$1' 2>/dev/null" |
        sed -n 's/^CURRENT_TAGS=//p'
}
if ! unshare -m true 2>/dev/null; then
    echo "udev_rule: no mount namespace can be made here (needs root)" >&2
    exit 77
fi
camera=$(tags /sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/video4linux/video0)
webcam=$(tags /sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/video4linux/video2)
button=$(tags /sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/input/input0/event0)
echo "document camera: $camera; its button: $button; webcam: $webcam"
case "$button" in *:uaccess:*) ;; *) echo "the camera's button is not the seated user's" >&2; exit 1 ;; esac
case "$camera" in *:uaccess:*) ;; *) echo "the document camera is not the seated user's" >&2; exit 1 ;; esac
case "$webcam" in *:uaccess:*) echo "the webcam is tagged too" >&2; exit 1 ;; esac
