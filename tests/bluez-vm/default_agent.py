#!/usr/bin/python3
"""The VM's default pairing agent, registered after the bridge's: bluetoothd asks it for every
pairing nobody started by a call, so for the peripherals' side of each link. It shows each
passkey by writing it to a file (for the driver, who plays the user typing it into the
bridge's client) and refuses everything else, so that the kernel's own pairing (Just Works, as
the write first asks for security) leaves no unauthenticated bond behind.

usage: default_agent.py CAPABILITY PASSKEY_FILE
Prints each request, and "default" once registered as the default agent; runs until killed.
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

AGENT = "org.bluez.Agent1"
PATH = "/test/agent"
capability, passkey_file = sys.argv[1:3]


def refused(what):
    print(f"refused: {what}", flush=True)
    return dbus.exceptions.DBusException("refused by the test's agent", name="org.bluez.Error.Rejected")


class Agent(dbus.service.Object):
    @dbus.service.method(AGENT, in_signature="ouq")
    def DisplayPasskey(self, device, passkey, entered):
        print(f"DisplayPasskey {device} {int(passkey):06d} entered {int(entered)}", flush=True)
        if entered == 0:
            with open(passkey_file + ".new", "w") as f:
                f.write(f"{int(passkey)}\n")
            os.replace(passkey_file + ".new", passkey_file)

    @dbus.service.method(AGENT, in_signature="o")
    def RequestAuthorization(self, device):
        raise refused(f"RequestAuthorization {device}")

    @dbus.service.method(AGENT, in_signature="ou")
    def RequestConfirmation(self, device, passkey):
        raise refused(f"RequestConfirmation {device} {int(passkey):06d}")

    @dbus.service.method(AGENT, in_signature="o", out_signature="u")
    def RequestPasskey(self, device):
        raise refused(f"RequestPasskey {device}")

    @dbus.service.method(AGENT, in_signature="o", out_signature="s")
    def RequestPinCode(self, device):
        raise refused(f"RequestPinCode {device}")

    @dbus.service.method(AGENT, in_signature="os")
    def AuthorizeService(self, device, uuid):
        raise refused(f"AuthorizeService {device} {uuid}")

    @dbus.service.method(AGENT)
    def Cancel(self):
        print("Cancel", flush=True)

    @dbus.service.method(AGENT)
    def Release(self):
        print("Release", flush=True)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
Agent(bus, PATH)
manager = dbus.Interface(bus.get_object("org.bluez", "/org/bluez"), "org.bluez.AgentManager1")
manager.RegisterAgent(PATH, capability)
manager.RequestDefaultAgent(PATH)
print("default", flush=True)
GLib.MainLoop().run()
