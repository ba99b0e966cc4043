#!/usr/bin/python3
# What a screen reader hears in the open test dialog: accessibility turned on as one turns
# it on, the controls read from the AT-SPI bus and printed. Each has its name and role; as
# `want` names each control the user can reach once, no two of those share a name.
import time, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, Gio, GLib
Gio.bus_get_sync(Gio.BusType.SESSION).call_sync("org.a11y.Bus", "/org/a11y/bus",
    "org.freedesktop.DBus.Properties", "Set", GLib.Variant("(ssv)", ("org.a11y.Status",
    "IsEnabled", GLib.Variant("b", True))), None, Gio.DBusCallFlags.NONE, -1, None)
E = [f"E{i}" for i in range(1, 9)] + ["EX", "EY"]
want = [(f"Motor {m}{d}", "push button" if d else "label") for m in range(1, 5)
        for d in (" Rechts", " Stop", " Links", "")] + [("Abbrechen", "push button")]
want += [(n, r) for n in E for r in ("text", "label")] + [(f"Reset {n}", "push button") for n in E[:8]]
kids = lambda a: [a.get_child_at_index(i) for i in range(a.get_child_count())]
for _ in range(100):  # the program joins the bus once accessibility is on
    seen = [(c.get_name(), c.get_role_name()) for a in kids(Atspi.get_desktop(0)) if a.get_name()
            == "ifdiag" for w in kids(a) if w.get_name() == "Interface testen" for c in kids(w)]
    if len(seen) >= len(want) or time.sleep(0.1):
        break
print("\n".join(f"{role}: {name}" for name, role in seen))
assert sorted(seen) == sorted(want), set(seen) ^ set(want)
