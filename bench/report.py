# Reading hyperfine results for the bench scripts' summaries.
import json


def means(name):
    """Mean wall and user CPU time of each command of NAME.json, in order.
    On a busy machine the CPU time is the steadier figure."""
    with open(name + '.json') as f:
        return [(r['mean'], r['user']) for r in json.load(f)['results']]


def line(label, times, size, width=12):
    wall, user = times
    return f'    {label:<{width}} {wall:7.3f} s  {size / wall / 2**20:6.0f} MiB/s  (user {user:6.3f} s)'
