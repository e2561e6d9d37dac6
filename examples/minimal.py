"""Reads one weight from a 5817 indicator on a converter channel:  minimal.py 192.168.0.50 A"""
import sys

import tarvel6

with tarvel6.Scale(model="5817", tcp=sys.argv[1] + ":" + sys.argv[2]) as scale:
    r = scale.read()  # raises a tarvel6.TarvelError when no reading came
    print("net", r.net, r.unit, "stable" if r.stable else "moving")
    print(r.to_json())
