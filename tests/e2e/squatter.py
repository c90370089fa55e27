# squatter.py answer ADDRESS | silent: a process of the user's that takes the name of the
# session's accessibility service first, and either answers that the bus is at ADDRESS (a
# command to run, say) or never answers at all. Prints "owned" once it holds the name.
import sys
from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
if sys.argv[1] == "silent":  # every call to us is dropped unanswered
    bus.add_filter(lambda connection, message, incoming: None if incoming and
                   message.get_message_type() == Gio.DBusMessageType.METHOD_CALL else message)
else:
    node = Gio.DBusNodeInfo.new_for_xml("""<node>
      <interface name="org.a11y.Bus"><method name="GetAddress"><arg type="s" direction="out"/></method></interface>
      <interface name="org.a11y.Status"><property name="IsEnabled" type="b" access="readwrite"/>
        <property name="ScreenReaderEnabled" type="b" access="readwrite"/></interface></node>""")
    for interface in node.interfaces:
        bus.register_object("/org/a11y/bus", interface,
            lambda *call: call[-1].return_value(GLib.Variant("(s)", (sys.argv[2],))),
            lambda *get: GLib.Variant("b", True), None)
print("owned" if bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
    GLib.Variant("(su)", ("org.a11y.Bus", 4)), GLib.VariantType("(u)"), 0, -1, None).unpack()[0] == 1 else "taken", flush=True)
GLib.MainLoop().run()
