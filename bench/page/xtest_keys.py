# Types letters into whatever window has the X input focus, through the XTest extension (as a
# keyboard would): the desktop page benchmark's keys.
#   xtest_keys.py COUNT INTERVAL_MS    letters a..z in turn; Ctrl+U after every 40th
import ctypes, ctypes.util, sys, time
x = ctypes.cdll.LoadLibrary(ctypes.util.find_library('X11'))
xt = ctypes.cdll.LoadLibrary(ctypes.util.find_library('Xtst'))
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XStringToKeysym.restype = ctypes.c_ulong
x.XStringToKeysym.argtypes = [ctypes.c_char_p]
x.XFlush.argtypes = [ctypes.c_void_p]
xt.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
xt.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
d = x.XOpenDisplay(None)
if not d:
    sys.exit('no X display')
count, interval = int(sys.argv[1]), float(sys.argv[2]) / 1000
# Without a window manager the focus follows the pointer: put it over the window.
xt.XTestFakeMotionEvent(d, -1, 640, 400, 0)
x.XFlush(d)
time.sleep(0.2)
def code(name):
    return x.XKeysymToKeycode(d, x.XStringToKeysym(name.encode()))
def tap(c):
    xt.XTestFakeKeyEvent(d, c, 1, 0)
    xt.XTestFakeKeyEvent(d, c, 0, 0)
    x.XFlush(d)
ctrl, u = code('Control_L'), code('u')
for i in range(count):
    tap(code(chr(97 + i % 26)))
    time.sleep(interval + (i % 7) * 0.005)
    if i % 40 == 39:
        xt.XTestFakeKeyEvent(d, ctrl, 1, 0)
        tap(u)
        xt.XTestFakeKeyEvent(d, ctrl, 0, 0)
        x.XFlush(d)
        time.sleep(0.05)
