"""CPU time, peak resident memory and wake-ups over one whole 60 s track;
beside them the limit, libmpg123 decoding the track to nothing, and the
floors, clients that only play 60 s of noise."""

from players import ALSA_FLOOR, FLOORS, LIMIT, MPG123, PULSE_FLOOR, TAMBLO, TITLES, log
from report import median, row, spread
from sound import RATE
from tracks import make_folder

NAME = "whole-track"
CPU = dict(scale=1, unit="s", digits=3)
MIB = dict(scale=1 / 2**20, unit="MiB", digits=2)
PER_SECOND = dict(scale=1, unit="/s", digits=1)


def lineup(kind):
    """Who plays on a server of `kind`: everyone on PulseAudio; on PipeWire
    the two native clients, Tamblo and `mpg123 -o pulse`."""
    if kind == "pulseaudio":
        return (TAMBLO, *MPG123.values(), LIMIT, ALSA_FLOOR, PULSE_FLOOR)
    return (TAMBLO, MPG123["pulse"])


def measure(runner, runs):
    """Each contestant's Usage per run, the players in turn, so that a
    change in the machine's load falls on all."""
    folder = make_folder(runner.tmp + "/one-track", {"01 noise.mp3": runner.tracks["noise-60s.mp3"]})
    names = lineup(runner.server.kind)
    result = {name: [] for name in names}
    for run in range(runs):
        def note(who):
            log(f"whole track, {runner.server.title}, run {run + 1} of {runs}: {who}")

        note("Tamblo")
        player = runner.tamblo_run(folder, usage=True)
        # Looping off: the player ends after its one track.
        player.send("loop\n")
        runner.finish_tamblo(player, "whole track", timeout=90)
        result[TAMBLO].append(player.usage)

        for output, name in MPG123.items():
            if name in names:
                note(f"mpg123 -o {output}")
                player = runner.mpg123_run(folder, output, "-q", "01 noise.mp3", usage=True)
                good = runner.finish_other(player, f"mpg123 -o {output}", "whole track", 90)
                result[name].append(player.usage if good else None)

        if LIMIT in names:
            note("decoding alone")
            player = runner.helper_run(runner.args.decoder, folder, "01 noise.mp3", usage=True)
            good = runner.finish_other(player, "decode_only", "whole track", 30)
            if not player.out.strip().isdigit() or int(player.out) < 60 * RATE:
                runner.problems.append(f"decode_only decoded {bytes(player.out).strip()!r} frames of the 60 s track")
                good = False
            result[LIMIT].append(player.usage if good else None)

        if ALSA_FLOOR in names:
            # The floors are light, and the order of the others is kept: both
            # play their minute together.
            note("both floors")
            floors = {name: runner.floor_run(name, folder, 60, usage=True) for name in (ALSA_FLOOR, PULSE_FLOOR)}
            for name, player in floors.items():
                good = runner.finish_other(player, name, "whole track", 90)
                result[name].append(player.usage if good else None)
    return result


def _field(result, name, field):
    if name not in result:
        return None
    return [None if u is None else getattr(u, field) for u in result[name]]


def _peaks(result, name):
    return None if name not in result else [None if u is None else u.peak * 1024 for u in result[name]]


def _wakeups(result, name):
    return None if name not in result else [None if u is None else u.wakeups() for u in result[name]]


def rows(result, title):
    """The table's rows for one server's runs; `title` names the server
    after each row but PulseAudio's."""
    suffix = "" if title == "PulseAudio" else f", {title}"
    alsa, pulse = MPG123["alsa"], MPG123["pulse"]

    def cpu(runs, name):
        return _field(runs, name, "cpu")

    def players(of):
        return [of(result, TAMBLO), of(result, alsa), of(result, pulse)]

    lines = [row(f"CPU time, one 60 s track{suffix}", *players(cpu), ratio_limit=0.4, **CPU)]
    if LIMIT in result:
        lines.append(row("Limit: libmpg123 decoding the same track to nothing, CPU time", cpu(result, LIMIT),
                         *players(cpu)[1:], **CPU))
        lines.append(row("Tamblo's CPU time against the limit", cpu(result, TAMBLO),
                         against=("limit", cpu(result, LIMIT)), ratio_limit=1.5, **CPU))
    lines.append(row(f"Wake-ups (context switches) per second of playback{suffix}", *players(_wakeups),
                     **PER_SECOND))
    lines.append(row(f"Peak resident memory{suffix}", *players(_peaks), ratio_limit=0.95, **MIB))
    for name, floor in FLOORS:
        if name in result:
            lines.append(row(f"{floor}: CPU time, 60 s of noise", cpu(result, name), *players(cpu)[1:], **CPU))
            lines.append(row(f"{floor}: peak resident memory", _peaks(result, name), *players(_peaks)[1:], **MIB))
    return lines


def notes(results):
    """How the figures were taken, and what the table leaves out of the
    runs on each server (`results`: title -> this measure's result)."""
    lines = [
        "CPU time is perf stat's task-clock, every thread of the program in nanoseconds; peak memory and context "
        "switches come from GNU time, which reads them from wait4. The kernel counts the peak from before the "
        "program's exec, which there is GNU time's own, about 1.1 MiB, and the CPU time has GNU time's own, under "
        "a millisecond. Wake-ups are the voluntary and involuntary context switches over the program's wall time.",
        "Limit: bench/decode_only.cpp decodes the 60 s track with libmpg123, set up and read as Tamblo sets it up "
        "and reads it (signed 16-bit, a quarter second at a time), and sends the sound nowhere: the least CPU time "
        "any player of the track spends. Its \"Tamblo\" column is its own.",
        "Floors: clients that only write noise at once, nothing decoded or printed; their rows show what each "
        "sound path alone costs, and their \"Tamblo\" column is the floor's. bench/alsa_floor.cpp opens ALSA's "
        "PCM `default` as `mpg123 -o alsa` does (0.2 s buffer); bench/pulse_floor.cpp plays through "
        "Tamblo's own output to the server (the player's buffer: 2 s queued, requests of 0.5 s, the sound "
        "started at 0.1 s; written a quarter second at a time). For CPU and memory "
        "both play 60 s of noise, at the same time.",
    ]
    for title, result in results.items():
        def each(text_of, skip=()):
            parts = []
            for name, runs in result.items():
                runs = [u for u in runs if u is not None]
                if runs and name not in skip:
                    parts.append(f"{TITLES[name]} {text_of(runs)}")
            return ", ".join(parts)

        def wall(runs):
            return f"{median([u.wall for u in runs]):.1f} s"

        def switches(runs):
            return (f"{median([u.voluntary / u.wall for u in runs]):.1f} + "
                    f"{median([u.involuntary / u.wall for u in runs]):.1f}")

        lines.append(f"{title}, whole track, wall time: {each(wall)} (Tamblo's until the clock's whole seconds "
                     "reach the length plus one).")
        lines.append(f"{title}, wake-ups per second, voluntary + involuntary: {each(switches, skip=(LIMIT,))}.")
        if LIMIT in result:
            peaks = [u.peak * 1024 for u in result[LIMIT] if u is not None]
            lines.append(f"Peak resident memory of decoding alone: {spread(peaks, 1 / 2**20, 'MiB', 2)}.")
    return lines
