# A few X11 moves for the desktop test, through libX11 itself (no window manager runs):
#   x11_helper.py tray SECONDS   own _NET_SYSTEM_TRAY_S0, as a system tray does, for SECONDS
#   x11_helper.py close NAME     ask the window titled NAME to close (WM_DELETE_WINDOW)
#   x11_helper.py mapped NAME    print "viewable" or "hidden" for the window titled NAME
import ctypes, ctypes.util, sys, time
x = ctypes.cdll.LoadLibrary(ctypes.util.find_library('X11'))
x.XOpenDisplay.restype = ctypes.c_void_p
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XCreateSimpleWindow.restype = ctypes.c_ulong
x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int]*2 + [ctypes.c_uint]*3 + [ctypes.c_ulong]*2
x.XSetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
x.XFlush.argtypes = [ctypes.c_void_p]
d = x.XOpenDisplay(None)
root = x.XDefaultRootWindow(d)
if sys.argv[1] == 'tray':
    w = x.XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0)
    x.XSetSelectionOwner(d, x.XInternAtom(d, b'_NET_SYSTEM_TRAY_S0', 0), w, 0)
    x.XFlush(d)
    print('tray ready', flush=True)
    time.sleep(float(sys.argv[2]) if len(sys.argv) > 2 else 60)
    sys.exit(0)
# close NAME
name = sys.argv[2].encode()
x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)), ctypes.POINTER(ctypes.c_uint)]
x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
def find(win):
    nm = ctypes.c_char_p()
    if x.XFetchName(d, win, ctypes.byref(nm)) and nm.value == name:
        return win
    r = ctypes.c_ulong(); p = ctypes.c_ulong(); kids = ctypes.POINTER(ctypes.c_ulong)(); n = ctypes.c_uint()
    if not x.XQueryTree(d, win, ctypes.byref(r), ctypes.byref(p), ctypes.byref(kids), ctypes.byref(n)):
        return None
    for i in range(n.value):
        f = find(kids[i])
        if f: return f
    return None
w = find(root)
if not w:
    print('no window', name); sys.exit(1)
if sys.argv[1] == 'mapped':
    class Attrs(ctypes.Structure):
        _fields_ = [('x', ctypes.c_int), ('y', ctypes.c_int), ('width', ctypes.c_int), ('height', ctypes.c_int),
                    ('border_width', ctypes.c_int), ('depth', ctypes.c_int), ('visual', ctypes.c_void_p), ('root', ctypes.c_ulong),
                    ('klass', ctypes.c_int), ('bit_gravity', ctypes.c_int), ('win_gravity', ctypes.c_int), ('backing_store', ctypes.c_int),
                    ('backing_planes', ctypes.c_ulong), ('backing_pixel', ctypes.c_ulong), ('save_under', ctypes.c_int),
                    ('colormap', ctypes.c_ulong), ('map_installed', ctypes.c_int), ('map_state', ctypes.c_int),
                    ('all_event_masks', ctypes.c_long), ('your_event_mask', ctypes.c_long), ('do_not_propagate_mask', ctypes.c_long),
                    ('override_redirect', ctypes.c_int), ('screen', ctypes.c_void_p)]
    a = Attrs()
    x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(Attrs)]
    x.XGetWindowAttributes(d, w, ctypes.byref(a))
    print('viewable' if a.map_state == 2 else 'hidden')
    sys.exit(0)
class ClientMessage(ctypes.Structure):
    _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int), ('display', ctypes.c_void_p),
                ('window', ctypes.c_ulong), ('message_type', ctypes.c_ulong), ('format', ctypes.c_int), ('data', ctypes.c_long * 5)]
class XEvent(ctypes.Union):
    _fields_ = [('xclient', ClientMessage), ('pad', ctypes.c_long * 24)]
ev = XEvent()
ev.xclient.type = 33  # ClientMessage
ev.xclient.window = w
ev.xclient.message_type = x.XInternAtom(d, b'WM_PROTOCOLS', 0)
ev.xclient.format = 32
ev.xclient.data[0] = x.XInternAtom(d, b'WM_DELETE_WINDOW', 0)
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
x.XSendEvent(d, w, 0, 0, ctypes.byref(ev))
x.XFlush(d)
print('close sent', hex(w))
