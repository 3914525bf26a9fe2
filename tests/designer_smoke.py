#!/usr/bin/env python3
"""Qt Designer, started without a display and given the library as a plug-in, must
load it. Passes as soon as Designer reports the load, fails when it reports that it
cannot load it or when neither happens within the bound.
Arguments: designer executable, library file, scratch folder."""

import os
import subprocess
import sys
import threading

designer, library, work = sys.argv[1:4]
folder = os.path.join(work, "designer")
os.makedirs(folder, exist_ok=True)
# libqt5VeltraWidgets2.so.2.3.53 is found as libqt5VeltraWidgets2.so, as installed.
stem = os.path.basename(library).split(".so")[0]
link = os.path.join(folder, stem + ".so")
if os.path.lexists(link):
    os.remove(link)
os.symlink(library, link)

env = dict(os.environ, QT_PLUGIN_PATH=work, QT_DEBUG_PLUGINS="1", QT_QPA_PLATFORM="offscreen")
process = subprocess.Popen([designer], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace")
bound = threading.Timer(60, process.kill)
bound.start()
verdict = "Designer ended without loading the plug-in"
for line in process.stdout:
    if stem in line:
        if "Cannot load library" in line:
            verdict = line.strip()
            break
        if "loaded library" in line:
            verdict = None
            break
bound.cancel()
process.kill()
process.wait()
print("1 passed, 0 failed" if verdict is None else "0 passed, 1 failed: " + verdict)
sys.exit(0 if verdict is None else 1)
