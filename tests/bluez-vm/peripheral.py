#!/usr/bin/python3
"""A real GATT peripheral for the VM test, on bluetoothd's GattManager1 and
LEAdvertisingManager1: one service with an inbox (write with response) and an outbox (notify).

usage: peripheral.py ADAPTER_PATH SERVICE_UUID INBOX_UUID OUTBOX_UUID [AFTER_ADAPTER_PATH]
Every value written to the inbox comes back unchanged as a notification on the outbox, except
b"bye", which makes this side drop the link (the central sees its peer go).
With AFTER_ADAPTER_PATH, it advertises only while that adapter holds a link: the central then
always links to this peripheral after the other one (btvirt gives data the sender's connection
handle, so each link's number must be the same at both ends; see run-in-vm.sh).
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ, PROPS = "org.bluez", "org.freedesktop.DBus.Properties"
SVC_IF, CHR_IF, ADV_IF = "org.bluez.GattService1", "org.bluez.GattCharacteristic1", "org.bluez.LEAdvertisement1"

adapter_path, svc_uuid, inbox_uuid, outbox_uuid = sys.argv[1:5]
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()


def log(*a):
    print("peripheral:", *a, flush=True)


class Exported(dbus.service.Object):
    """An object with one BlueZ interface whose properties props() gives."""
    iface = None

    def __init__(self, path):
        self.path = dbus.ObjectPath(path)
        super().__init__(bus, path)

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return self.props() if iface == self.iface else {}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, iface, name):
        return self.props()[name]

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, iface, changed, invalidated):
        pass


class Service(Exported):
    iface = SVC_IF

    def __init__(self, path):
        super().__init__(path)
        self.chars = []

    def props(self):
        return {"UUID": svc_uuid, "Primary": True,
                "Characteristics": dbus.Array([c.path for c in self.chars], signature="o")}


class Char(Exported):
    iface = CHR_IF

    def __init__(self, path, uuid, flags, service):
        super().__init__(path)
        self.uuid, self.flags, self.service = uuid, flags, service
        self.notifying, self.value = False, b""
        service.chars.append(self)

    def props(self):
        return {"UUID": self.uuid, "Service": self.service.path, "Flags": dbus.Array(self.flags, signature="s"),
                "Value": dbus.Array(self.value, signature="y")}

    @dbus.service.method(CHR_IF, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        data = bytes(value)
        if data == b"bye" and "device" in options:
            central = bus.get_object(BLUEZ, options["device"])
            GLib.timeout_add(50, lambda: central.Disconnect(
                dbus_interface="org.bluez.Device1", reply_handler=lambda: log("dropped the link"),
                error_handler=lambda e: log("drop failed", e)) and False)
            return
        outbox.value = data
        if outbox.notifying:
            outbox.PropertiesChanged(CHR_IF, {"Value": dbus.Array(data, signature="y")}, [])

    @dbus.service.method(CHR_IF)
    def StartNotify(self):
        self.notifying = True

    @dbus.service.method(CHR_IF)
    def StopNotify(self):
        self.notifying = False


class App(dbus.service.Object):
    def __init__(self, path, services):
        super().__init__(bus, path)
        self.path, self.services = dbus.ObjectPath(path), services

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        out = {}
        for s in self.services:
            out[s.path] = {SVC_IF: s.props()}
            for c in s.chars:
                out[c.path] = {CHR_IF: c.props()}
        return out


class Advertisement(Exported):
    iface = ADV_IF

    def props(self):
        return {"Type": "peripheral", "ServiceUUIDs": dbus.Array([svc_uuid], signature="s"),
                "LocalName": "gattrelay-test"}

    @dbus.service.method(ADV_IF)
    def Release(self):
        log("advertisement released")


service = Service("/test/service0")
inbox = Char("/test/service0/inbox", inbox_uuid, ["write"], service)
outbox = Char("/test/service0/outbox", outbox_uuid, ["notify"], service)
app = App("/test", [service])
advertisement = Advertisement("/test/advertisement0")
adapter = bus.get_object(BLUEZ, adapter_path)
loop = GLib.MainLoop()


def failed(what):
    return lambda e: (log(what, "failed:", e), loop.quit())


dbus.Interface(adapter, "org.bluez.GattManager1").RegisterApplication(
    app.path, {}, reply_handler=lambda: log("gatt application registered"),
    error_handler=failed("RegisterApplication"))
advertising = dbus.Interface(adapter, "org.bluez.LEAdvertisingManager1")


def advertise():
    advertising.RegisterAdvertisement(advertisement.path, {}, reply_handler=lambda: log("advertising"),
                                      error_handler=failed("RegisterAdvertisement"))


def follow(after, registered=[False]):
    """Advertises while `after` holds a link, and not otherwise (checked every 0.2 s)."""
    objects = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager").GetManagedObjects()
    linked = any(str(p).startswith(after + "/") and ifs.get("org.bluez.Device1", {}).get("Connected")
                 for p, ifs in objects.items())
    if linked and not registered[0]:
        advertise()
    elif registered[0] and not linked:
        advertising.UnregisterAdvertisement(advertisement.path)
        log("not advertising")
    registered[0] = linked
    return True


if len(sys.argv) > 5:
    log("advertising while", sys.argv[5], "holds a link")
    GLib.timeout_add(200, follow, sys.argv[5])
else:
    advertise()
loop.run()
