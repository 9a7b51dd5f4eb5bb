# Prints one benchmark case of a bench script: the peer's and zorvex's times
# from hyperfine's NAME.json (peer first), with the ratio against the target.
# Wall time on a shared machine includes waiting; CPU time is printed beside it.
#
# Times are medians over the rounds. On a virtual machine that hands memory
# freed by the page-cache drop back to its host within seconds, a command
# that runs while that happens now and then takes three to five times as
# long; with five rounds, one such run decides a mean.
import json
import statistics


def merge_rounds(name, rounds):
    """Joins NAME.round1.json ... into NAME.json: per command, the statistics
    over the single runs that the rounds made."""
    per_round = []
    for i in range(1, rounds + 1):
        with open(f'{name}.round{i}.json') as f:
            per_round.append(json.load(f)['results'])
    # Later rounds ran the commands in another order: back to the first's.
    order = [r['command'] for r in per_round[0]]
    per_round = [sorted(results, key=lambda r: order.index(r['command'])) for results in per_round]
    merged = []
    for runs in zip(*per_round):
        times = [t for r in runs for t in r['times']]
        merged.append({
            'command': runs[0]['command'],
            'mean': statistics.fmean(times),
            'stddev': statistics.stdev(times) if len(times) > 1 else 0.0,
            'median': statistics.median(times),
            'user': statistics.fmean(r['user'] for r in runs),
            'system': statistics.fmean(r['system'] for r in runs),
            'min': min(times),
            'max': max(times),
            'times': times,
            'exit_codes': [c for r in runs for c in r['exit_codes']],
        })
    with open(name + '.json', 'w') as f:
        json.dump({'results': merged}, f)


def results(name):
    with open(name + '.json') as f:
        return json.load(f)['results']


def line(label, r, size, width):
    rate = f'{size / r["median"] / 2**20:8.0f} MiB/s' if size else ' ' * 14
    return f'    {label:<{width}} {r["median"]:7.3f} s  {rate}  CPU {r["user"] + r["system"]:6.3f} s'


def compare(key, title, peer_name, size, width=14, target=1.0):
    peer, ours = results(key)
    cpu = (peer['user'] + peer['system']) / max(ours['user'] + ours['system'], 1e-6)
    print(f'\n({key}) {title}' + (f', {size / 2**20:.0f} MiB of output' if size else ''))
    print(line(peer_name, peer, size, width))
    # A command done within the timer's resolution measures 0 s.
    wall = peer['median'] / max(ours['median'], 1e-6)
    print(line('zorvex', ours, size, width) + f'   ratio {wall:.2f}x wall, {cpu:.2f}x CPU'
          f' (target >= {target:.2f})')
