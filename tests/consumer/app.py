#!/usr/bin/python3
"""The consumer's program in Python, as app.c: hands a download over through the wrapper, naming
itself, since the process is the interpreter's; started without arguments, it records its start."""
import os
import sys

import quillmoor_handover

me = os.path.abspath(__file__)
if len(sys.argv) > 2:
    updater = os.path.join(os.path.dirname(me), "quillmoor-updater")
    try:
        quillmoor_handover.hand_over_file_checked(updater, me, sys.argv[1], sys.argv[2])
    except quillmoor_handover.HandoverError as error:
        sys.exit(f"hand-over failed: {error.code}: {error.strerror}")
else:
    with open(me + ".log", "a") as log:
        log.write("started\n")
