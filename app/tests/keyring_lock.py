#!/usr/bin/python3
# Locks or unlocks the login keyring of the session bus's Secret Service (gnome-keyring), as a
# screen lock or a login does, for the end-to-end suite:
#   keyring_lock.py lock
#   keyring_lock.py unlock PASSWORD
# Exit status 0 = the collection is in the asked state.
import sys

from gi.repository import Gio, GLib

SERVICE = "org.freedesktop.secrets"
COLLECTION = "/org/freedesktop/secrets/collection/login"


def call(bus, path, interface, method, parameters, reply):
    return bus.call_sync(SERVICE, path, interface, method, parameters, GLib.VariantType(reply),
                         Gio.DBusCallFlags.NONE, 10000, None).unpack()


def locked(bus):
    return call(bus, COLLECTION, "org.freedesktop.DBus.Properties", "Get",
                GLib.Variant("(ss)", ("org.freedesktop.Secret.Collection", "Locked")), "(v)")[0]


def main(argv):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    if argv[1] == "lock":
        call(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
             GLib.Variant("(ao)", ([COLLECTION],)), "(aoo)")
        return 0 if locked(bus) else 1
    if argv[1] == "unlock":
        # gnome-keyring's own call for a login's password: no prompt, which the test desktop lacks.
        _, session = call(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
                          GLib.Variant("(sv)", ("plain", GLib.Variant("s", ""))), "(vo)")
        secret = (session, b"", argv[2].encode(), "text/plain")
        call(bus, "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
             "UnlockWithMasterPassword", GLib.Variant("(o(oayays))", (COLLECTION, secret)), "()")
        return 1 if locked(bus) else 0
    raise SystemExit(f"unknown command {argv[1]}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
