#!/usr/bin/python3
"""Conditions the VM test waits for; exit status 0 when met.
  bluez_ready.py owner                 bluetoothd owns org.bluez
  bluez_ready.py adapters PATH...      those adapters exist and are powered (powering them on)
  bluez_ready.py linked CENTRAL OTHER SERVICE
                                       adapter CENTRAL holds a link to adapter OTHER's controller
                                       (scanning for SERVICE and connecting; OTHER advertises it)
"""
import sys
import time

import dbus

bus = dbus.SystemBus()
if sys.argv[1] == "owner":
    sys.exit(0 if bus.name_has_owner("org.bluez") else 1)
manager = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
objects = manager.GetManagedObjects()
if sys.argv[1] == "linked":
    central, other, service = sys.argv[2:5]
    device = central + "/dev_" + str(objects[dbus.ObjectPath(other)]["org.bluez.Adapter1"]["Address"]).replace(":", "_")
    if objects.get(dbus.ObjectPath(device), {}).get("org.bluez.Device1", {}).get("Connected"):
        sys.exit(0)
    # Discovery lasts as long as this process: the device must be found and connected within it.
    # Without a filter naming its service bluetoothd ignores a peripheral that is not discoverable.
    adapter = dbus.Interface(bus.get_object("org.bluez", central), "org.bluez.Adapter1")
    adapter.SetDiscoveryFilter({"UUIDs": dbus.Array([service], signature="s"), "Transport": "le"})
    adapter.StartDiscovery()
    end = time.monotonic() + 10
    while dbus.ObjectPath(device) not in manager.GetManagedObjects() and time.monotonic() < end:
        time.sleep(0.2)
    bus.get_object("org.bluez", device).Connect(dbus_interface="org.bluez.Device1", timeout=30)
    sys.exit(0)
for path in sys.argv[2:]:
    adapter = objects.get(dbus.ObjectPath(path), {}).get("org.bluez.Adapter1")
    if adapter is None:
        sys.exit(1)
    if not adapter["Powered"]:
        bus.get_object("org.bluez", path).Set("org.bluez.Adapter1", "Powered", dbus.Boolean(True),
                                              dbus_interface="org.freedesktop.DBus.Properties")
        sys.exit(1)
sys.exit(0)
