#!/usr/bin/env bash
# The udev rule command against a fake sysfs tree: a USB serial adapter, a
# modem on the ACM driver, one without a serial number, and devices it must
# refuse rather than print a rule that matches the wrong thing or breaks.
# Usage: udev_rule_test.sh PATH-OF-THE-COMMAND
source "$(dirname "$0")/lib.sh"

command=$1
sys=$scratch/sys
dev=$scratch/dev
mkdir -p "$sys/class/tty" "$dev/serial/by-id"

# usb_device NAME VENDOR PRODUCT [SERIAL]: a USB device below a root hub, whose
# own idVendor must not be the one found.
usb_device() {
  local hub=$sys/devices/pci0000:00/0000:00:14.0/usb1 at
  at=$hub/$1
  mkdir -p "$at"
  echo 1d6b >"$hub/idVendor"
  echo 0002 >"$hub/idProduct"
  echo "$2" >"$at/idVendor"
  echo "$3" >"$at/idProduct"
  [ $# -lt 4 ] || printf '%s\n' "$4" >"$at/serial"
}
# tty NAME UNDER: the tty's directory below UNDER (relative to devices/), its
# class link, and a by-id link to its device node.
tty() {
  mkdir -p "$sys/devices/$2/$1"
  ln -s "../../devices/$2/$1" "$sys/class/tty/$1"
  ln -s "../../$1" "$dev/serial/by-id/usb-$1"
}

usb_device 1-1 12d1 1001 0123456789
tty ttyUSB0 pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty     # usb-serial: one level more
usb_device 1-2 1e0e 9001 "SN 42:a.b-c"
tty ttyACM0 pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2/tty
usb_device 1-3 0403 6001
tty ttyUSB1 pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1/tty
usb_device 1-4 0403 6001 'A"B'
tty ttyUSB2 pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB2/tty
usb_device 1-5 0403 6001 'A*'
tty ttyUSB3 pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0/ttyUSB3/tty
tty ttyS0 platform/serial8250/tty
ln -s ../../ttyXYZ "$dev/serial/by-id/usb-gone"

rule() { "$command" --sysfs "$sys" "$dev/serial/by-id/usb-$1" 2>"$scratch/stderr" | grep -v '^#'; }

while IFS='|' read -r tty want; do
  expect_eq "rule for $tty" "$(rule "$tty")" "$want, ENV{ID_MM_DEVICE_IGNORE}=\"1\""
done <<'ROWS'
ttyUSB0|ATTRS{idVendor}=="12d1", ATTRS{idProduct}=="1001", ATTRS{serial}=="0123456789"
ttyACM0|ATTRS{idVendor}=="1e0e", ATTRS{idProduct}=="9001", ATTRS{serial}=="SN 42:a.b-c"
ttyUSB1|ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001"
ROWS
[[ $("$command" --sysfs "$sys" "$dev/serial/by-id/usb-ttyUSB1") == *'no serial number: every 0403:6001 device'* ]] ||
  fail "ttyUSB1: no warning that every device of its make is matched"

while IFS='|' read -r tty why; do
  if rule "$tty" >/dev/null; then fail "$tty: a rule was printed"; fi
  grep -q -- "$why" "$scratch/stderr" || fail "$tty: want '$why' in: $(cat "$scratch/stderr")"
done <<'ROWS'
ttyUSB2|cannot be written into a rule
ttyUSB3|cannot be written into a rule
ttyS0|is not on USB
gone|not a serial device
missing|no such device
ROWS

finish
