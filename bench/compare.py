# Prints one benchmark case of a bench script: the peer's and zorvex's times
# from hyperfine's NAME.json (peer first), with the ratio against the target.
# Wall time on a shared machine includes waiting; CPU time is printed beside it.
import json


def results(name):
    with open(name + '.json') as f:
        return json.load(f)['results']


def line(label, r, size, width):
    rate = f'{size / r["mean"] / 2**20:8.0f} MiB/s' if size else ' ' * 14
    return f'    {label:<{width}} {r["mean"]:7.3f} s  {rate}  CPU {r["user"] + r["system"]:6.3f} s'


def compare(key, title, peer_name, size, width=14, target=1.0):
    peer, ours = results(key)
    cpu = (peer['user'] + peer['system']) / max(ours['user'] + ours['system'], 1e-6)
    print(f'\n({key}) {title}' + (f', {size / 2**20:.0f} MiB of output' if size else ''))
    print(line(peer_name, peer, size, width))
    print(line('zorvex', ours, size, width) + f'   ratio {peer["mean"] / ours["mean"]:.2f}x wall, {cpu:.2f}x CPU'
          f' (target >= {target:.2f})')
