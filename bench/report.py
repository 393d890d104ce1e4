"""The benchmark's report: one table of medians, ranges and ratios, each
measure giving its rows and its notes on how they were taken, and the
header that says where and when."""

import os
import platform
import statistics
import subprocess

HEAD = ["Measure", "Tamblo", "mpg123 -o alsa", "mpg123 -o pulse", "best", "Tamblo/best", "Target", "Met"]


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values, scale, unit, digits):
    """The median and, with more than one run, the range."""
    values = [v * scale for v in values if v is not None]
    if not values:
        return "no value"
    text = f"{statistics.median(values):.{digits}f}"
    if len(values) > 1:
        text += f" ({min(values):.{digits}f}–{max(values):.{digits}f})"
    return f"{text} {unit}"


def row(name, subject, alsa=None, pulse=None, *, scale, unit, digits, ratio_limit=None, aim=None, limit=None,
        against=None):
    """One line of the table: `subject`'s figures and mpg123's in both its
    modes (lists, one per run, in seconds or bytes, shown `scale` to the
    `unit`); the best of mpg123's medians, or `against`, a (label, figures)
    to compare with instead; the ratio of the medians; and whether the
    targets were met: a limit on that ratio (`aim` only shown) and one on
    the subject's median in `unit`."""
    s = median(subject)
    if against is not None:
        label, figures = against
        best = median(figures)
    else:
        modes = [(f"-o {mode}", median(figures)) for mode, figures in (("alsa", alsa), ("pulse", pulse))
                 if figures is not None and median(figures) is not None]
        label, best = min(modes, key=lambda mode: mode[1]) if modes else (None, None)
    ratio = s / best if s is not None and best else None
    met = []
    goal = []
    if ratio_limit is not None:
        goal.append(f"≤ {ratio_limit:g}×" + (f" (aim {aim:g}×)" if aim is not None else ""))
        met.append(ratio is not None and ratio <= ratio_limit)
    if limit is not None:
        goal.append(f"≤ {limit:g} {unit}")
        met.append(s is not None and s * scale <= limit)
    return [name, spread(subject, scale, unit, digits),
            spread(alsa, scale, unit, digits) if alsa is not None else "–",
            spread(pulse, scale, unit, digits) if pulse is not None else "–",
            f"{best * scale:.{digits}f} {unit} ({label})" if best is not None else "–",
            f"{ratio:.2f}×" if ratio is not None else "–", ", ".join(goal) or "–",
            ("yes" if all(met) else "NO") if met else "–"]


def table(rows):
    lines = ["| " + " | ".join(HEAD) + " |", "|" + "|".join("---" for _ in HEAD) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} cores, {model}, Linux {platform.release()}"


def versions(root):
    tamblo = subprocess.run(["git", "-C", root, "describe", "--always", "--dirty", "--tags"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    mpg123 = subprocess.run(["mpg123", "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True).stdout.strip().splitlines()[0]
    return tamblo or "unknown", mpg123


def document(header, rows, notes, problems):
    """The report as Markdown: the header, the table and the notes as lists."""
    text = "\n".join("- " + h for h in header) + "\n\n" + table(rows) + "\n\n" + "\n".join("- " + n for n in notes)
    text += "\n"
    if problems:
        text += "\nProblems seen during the run:\n\n" + "\n".join("- " + p for p in problems) + "\n"
    return text
