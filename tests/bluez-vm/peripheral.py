#!/usr/bin/python3
"""A real GATT peripheral for the VM test, on bluetoothd's GattManager1 and
LEAdvertisingManager1: one service with an inbox (write with response) and an outbox (notify).

usage: peripheral.py [--inbox-flags FLAGS] [--outbox-flags FLAGS]
                     ADAPTER_PATH SERVICE_UUID INBOX_UUID OUTBOX_UUID [AFTER_ADAPTER_PATH]
FLAGS are GattCharacteristic1 flags, comma-separated, in place of "write" and "notify" (for
instance encrypt-write, or notify,encrypt-notify: the link must be encrypted to write, or to
subscribe). Every value written to the inbox comes back unchanged as a notification on the outbox, except
b"bye", which makes this side drop the link (the central sees its peer go).
With AFTER_ADAPTER_PATH, it advertises only while that adapter holds a link, and its own adapter
holds one too: the central then always links to this peripheral after the other one (btvirt gives
data the sender's connection handle, so each link's number must be the same at both ends; see
run-in-vm.sh). When bluetoothd restarts, it registers again with the new one.
"""
import argparse

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ, PROPS = "org.bluez", "org.freedesktop.DBus.Properties"
SVC_IF, CHR_IF, ADV_IF = "org.bluez.GattService1", "org.bluez.GattCharacteristic1", "org.bluez.LEAdvertisement1"

parser = argparse.ArgumentParser()
parser.add_argument("--inbox-flags", default="write")
parser.add_argument("--outbox-flags", default="notify")
for positional in ("adapter_path", "svc_uuid", "inbox_uuid", "outbox_uuid"):
    parser.add_argument(positional)
parser.add_argument("follows", nargs="?")
args = parser.parse_args()
adapter_path, svc_uuid, inbox_uuid, outbox_uuid = args.adapter_path, args.svc_uuid, args.inbox_uuid, args.outbox_uuid
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
inbox = Char("/test/service0/inbox", inbox_uuid, args.inbox_flags.split(","), service)
outbox = Char("/test/service0/outbox", outbox_uuid, args.outbox_flags.split(","), service)
app = App("/test", [service])
advertisement = Advertisement("/test/advertisement0")
loop = GLib.MainLoop()
follows = args.follows
registered = [False]  # the advertisement, with the running bluetoothd


def manager(name):
    # Bound to bluetoothd as it runs now: after a restart, a new proxy. Not introspected: a
    # bluetoothd that has just started may not show the adapter yet, and a call queued behind
    # a failed introspection is dropped without a word (it cannot type the empty options).
    return dbus.Interface(bus.get_object(BLUEZ, adapter_path, introspect=False), name)


NO_OPTIONS = dbus.Dictionary({}, signature="sv")


def register():
    """The application, then the advertisement unless it follows another adapter's link; each
    asked again for a while when bluetoothd is not ready for it (it has just started: the
    advertising manager comes a little after the GATT manager)."""
    def step(interface, method, path, what, then=lambda: None):
        def call(attempt=1):
            def failed(e):
                # Made by an earlier attempt whose answer came too late on this slow VM.
                if e.get_dbus_name() == "org.bluez.Error.AlreadyExists":
                    return done()
                log(method, "failed:", e)
                if attempt >= 30:
                    return loop.quit()
                GLib.timeout_add(1000, lambda: call(attempt + 1) and False)

            def done():
                log(what)
                then()
            manager(interface).get_dbus_method(method)(path, NO_OPTIONS, reply_handler=done, error_handler=failed)
        return call

    advertise = step("org.bluez.LEAdvertisingManager1", "RegisterAdvertisement", advertisement.path, "advertising")
    step("org.bluez.GattManager1", "RegisterApplication", app.path, "gatt application registered",
         (lambda: None) if follows else advertise)()


def bluetoothd_changed(name, old, new):
    """bluetoothd restarted: nothing of ours is registered with the new one."""
    registered[0] = False
    if new:
        log("bluetoothd started again: registering again")
        register()


def holds_link(objects, adapter):
    return any(str(p).startswith(adapter + "/") and ifs.get("org.bluez.Device1", {}).get("Connected")
               for p, ifs in objects.items())


def follow(after):
    """Advertises while `after` holds a link and this adapter holds its own (to hci3), and not
    otherwise (checked every 0.2 s)."""
    try:
        objects = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager").GetManagedObjects()
        linked = holds_link(objects, after) and holds_link(objects, adapter_path)
        if linked and not registered[0]:
            manager("org.bluez.LEAdvertisingManager1").RegisterAdvertisement(advertisement.path, NO_OPTIONS)
            log("advertising")
        elif registered[0] and not linked:
            manager("org.bluez.LEAdvertisingManager1").UnregisterAdvertisement(advertisement.path)
            log("not advertising")
        registered[0] = linked
    except dbus.exceptions.DBusException as e:
        # bluetoothd gone or not ready: looked at again next time.
        log("follow:", e.get_dbus_name())
    return True


bus.add_signal_receiver(bluetoothd_changed, "NameOwnerChanged", "org.freedesktop.DBus", "org.freedesktop.DBus",
                        "/org/freedesktop/DBus", arg0=BLUEZ)
register()
if follows:
    log("advertising while", follows, "holds a link")
    GLib.timeout_add(200, follow, follows)
loop.run()
