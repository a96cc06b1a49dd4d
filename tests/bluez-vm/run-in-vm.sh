#!/bin/sh
# Inside the VM, as root: the kernel's Bluetooth stack with two virtual LE controllers on one
# virtual radio (btvirt), bluetoothd, a real peripheral on hci1, and the bridge under test on
# hci0 (the first adapter) driven by drive_bridge.py. Output goes to /mnt/share/vm-test.log.
S=/mnt/share
. $S/test.env
up() { cut -d' ' -f1 /proc/uptime; }
# Waits up to $1 seconds (of uptime) for the command after it to succeed.
await() {
  end=$(( $(cut -d. -f1 /proc/uptime) + $1 )); shift
  while ! "$@" >/dev/null 2>&1; do
    [ "$(cut -d. -f1 /proc/uptime)" -ge "$end" ] && { echo "gave up waiting for: $*"; return 1; }
    sleep 0.2
  done
}

modprobe bluetooth && modprobe hci_vhci || exit 1
printf '[GATT]\nExchangeMTU = %s\n' "$EXCHANGE_MTU" > /etc/bluetooth/main.conf
/usr/libexec/bluetooth/bluetoothd -n -d > $S/bluetoothd.log 2>&1 &
await 30 python3 $S/bluez_ready.py owner || exit 1
# On an emulated CPU a controller's first HCI reset can time out, and that controller never
# reaches bluetoothd: start the pair again, a few times at most.
for attempt in 1 2 3 4; do
  btvirt -L -l2 > $S/btvirt.log 2>&1 &
  btvirt=$!
  await 60 python3 $S/bluez_ready.py adapters /org/bluez/hci0 /org/bluez/hci1 && break
  echo "== uptime $(up)s: controllers not ready (attempt $attempt); starting them again"
  kill $btvirt; wait $btvirt 2>/dev/null
  [ $attempt = 4 ] && exit 1
done
echo "== uptime $(up)s: bluetoothd and two controllers up"
python3 -u $S/peripheral.py /org/bluez/hci1 $SERVICE $INBOX $OUTBOX > $S/peripheral.log 2>&1 &
await 30 grep -q advertising $S/peripheral.log || exit 1
echo "== uptime $(up)s: peripheral advertising on hci1"
timeout 600 python3 -u $S/drive_bridge.py $S/gattrelay
rc=$?
echo "== uptime $(up)s: driver finished, status $rc"
exit $rc
