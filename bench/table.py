#!/usr/bin/python3
"""Reads bench_engine's JSON output (stdin) and prints one line per configuration."""
import json, re, sys
d = json.load(sys.stdin)
print(f'{"config":28s} {"cycle_us":>9s} {"inline_us":>9s} {"floor_us":>9s} {"mem_us":>9s} {"x_floor":>7s} {"x_mem":>6s} {"x_inline":>8s} {"rt48k":>8s} {"GB/s":>6s}')
for b in d['benchmarks']:
    m = re.match(r'BM_cycle/ninp:(\d+)/nout:(\d+)/maxlen:(\d+)/period:(\d+)/nthread:(\d+)', b['name'])
    if not m:
        continue
    i, o, l, p, t = m.groups()
    print(f'{i+"x"+o+" "+l+" P"+p+" T"+t:28s} {b["cycle_us"]:9.1f} {b["inline_us"]:9.1f} {b["floor_us"]:9.1f} '
          f'{b["mem_us"]:9.1f} {b["x_floor"]:7.2f} {b["x_mem"]:6.2f} {b["x_inline"]:8.2f} {b["rt48k"]:8.1f} '
          f'{b["ir_GBps"]:6.1f}')
