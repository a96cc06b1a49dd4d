#!/usr/bin/python3
"""Conditions the VM test waits for; exit status 0 when met.
  bluez_ready.py owner                 bluetoothd owns org.bluez
  bluez_ready.py adapters PATH...      those adapters exist and are powered (powering them on)
"""
import sys

import dbus

bus = dbus.SystemBus()
if sys.argv[1] == "owner":
    sys.exit(0 if bus.name_has_owner("org.bluez") else 1)
objects = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager").GetManagedObjects()
for path in sys.argv[2:]:
    adapter = objects.get(dbus.ObjectPath(path), {}).get("org.bluez.Adapter1")
    if adapter is None:
        sys.exit(1)
    if not adapter["Powered"]:
        bus.get_object("org.bluez", path).Set("org.bluez.Adapter1", "Powered", dbus.Boolean(True),
                                              dbus_interface="org.freedesktop.DBus.Properties")
        sys.exit(1)
sys.exit(0)
