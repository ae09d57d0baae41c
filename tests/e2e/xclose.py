#!/usr/bin/python3
"""Asks a window to close the way a window manager's close button does:
a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
Usage: xclose.py WINDOW_ID   (uses $DISPLAY)"""
import sys

from Xlib import X, display
from Xlib.protocol import event


def main():
    screen = display.Display()
    window = screen.create_resource_object("window", int(sys.argv[1], 0))
    protocols = screen.intern_atom("WM_PROTOCOLS")
    delete = screen.intern_atom("WM_DELETE_WINDOW")
    message = event.ClientMessage(
        window=window, client_type=protocols,
        data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(message, event_mask=X.NoEventMask)
    screen.sync()
    screen.close()


if __name__ == "__main__":
    main()
