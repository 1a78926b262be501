"""What a Result shows of itself: the report text, its table for notebooks,
and the two plots (matplotlib, imported only when a plot is asked for)."""

import html
import math

import numpy

# The fitted parameters in the scan's order, with their units as the axes
# and the report write them.
PARAMETERS = (("W1", "eV"), ("beta", ""), ("E0", "eV"))


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ImportError("labsuite's plots need matplotlib: install python3-matplotlib "
                          "(apt-get install python3-matplotlib)") from e
    return plt


def _decimals(value, ends):
    """Decimals that give the nearer end's offset two significant digits,
    and one more; None without a finite end away from the value."""
    offsets = [abs(e - value) for e in ends if e is not None and math.isfinite(e)]
    offsets = [d for d in offsets if d > 0]
    if not offsets:
        return None
    return max(0, 1 - math.floor(math.log10(min(offsets)))) + 1


def _number(value, decimals):
    return f"{value:.7g}" if decimals is None else f"{value:.{decimals}f}"


def _model(d):
    m = d["model"]
    text = f"scale {m['scale']}, cross term {m['cross']}"
    if m.get("base") is not None:
        text += f" (base {m['base']:.6g}, factor {m['factor']:.6g})"
    return text


def rows(r):
    """The report's rows: (heading lines as (label, text)), (a row per
    parameter: name, answer, interval, ends, shape, held), warnings."""
    d = r.to_dict()
    answer = d["answer"]
    s2 = d.get("s2", d["rms"] ** 2)
    scan = d.get("scan")
    evaluations = f"{d['evaluations']} evaluations"
    if scan:
        evaluations += f", the interval scan {scan['evaluations']} more"
    point = {"refined": "the refined point of the interval scan",
             "best": "the fit's best point (no interval scan)"}.get(answer["point"], answer["point"])
    heading = [
        ("data", f"{d['lab_file'] or '(unnamed)'}, N = {d['points']}, "
                 f"profile {d['profile_file'] or '(unnamed)'}"),
        ("model", _model(d)),
        ("outcome", f"{r.outcome}, {evaluations}"),
        ("answer", point),
        ("S", f"{answer['S']:.5E}, s^2 = {s2:.5E}, {d['dof']} degrees of freedom"),
    ]
    params = []
    for name, unit in PARAMETERS:
        held = name in d["fixed"]
        ends = d["interval"][name] if d["interval"] and d["interval"][name] else [None, None]
        kinds = d["end"][name] if d["end"] and d["end"][name] else None
        places = _decimals(answer[name], ends)
        if any(e is not None for e in ends):  # an end not met is open
            interval = "[" + ", ".join("open" if e is None else _number(e, places)
                                       for e in ends) + "]"
        else:
            interval = "none"
        params.append((f"{name} ({unit})" if unit else name, _number(answer[name], places),
                       interval, " / ".join(kinds) if kinds else "-",
                       d["shape"][name] if d["shape"] and d["shape"][name] else "-",
                       "yes" if held else "no"))
    return heading, params, list(r.warnings)


COLUMNS = ("parameter", "answer", "68 % interval", "ends (low / high)", "shape", "held")


def report(r):
    heading, params, warned = rows(r)
    lines = [f"{label:<9}{text}" for label, text in heading]
    widths = [max(len(row[k]) for row in params + [COLUMNS]) for k in range(len(COLUMNS))]
    lines.append("")
    for row in [COLUMNS] + params:
        lines.append("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
    lines.append("")
    lines.append("warnings " + ("none" if not warned else warned[0]))
    lines.extend(" " * 9 + w for w in warned[1:])
    return "\n".join(lines) + "\n"


def table(r):
    heading, params, warned = rows(r)
    e = html.escape
    out = ["<table>"]
    out += [f"<tr><th style='text-align:left'>{e(label)}</th>"
            f"<td colspan='5' style='text-align:left'>{e(text)}</td></tr>"
            for label, text in heading]
    out.append("<tr>" + "".join(f"<th>{e(c)}</th>" for c in COLUMNS) + "</tr>")
    out += ["<tr>" + "".join(f"<td>{e(c)}</td>" for c in row) + "</tr>" for row in params]
    out += [f"<tr><th style='text-align:left'>warning</th>"
            f"<td colspan='5' style='text-align:left'>{e(w)}</td></tr>" for w in warned]
    out.append("</table>")
    return "\n".join(out)


def plot(r, momentum, probability, curve, ax=None):
    """The lab points, the model curve at the answer and the residuals
    below on the same momentum axis: the figure, or (ax, the residuals'
    axes) on an ax of the caller's."""
    plt = _pyplot()
    if ax is None:
        figure, (ax, below) = plt.subplots(2, 1, sharex=True, figsize=(7, 5),
                                           gridspec_kw=dict(height_ratios=(3, 1), hspace=0.05))
    else:
        from mpl_toolkits.axes_grid1 import make_axes_locatable
        figure = None
        below = make_axes_locatable(ax).append_axes("bottom", size="35%", pad=0.05, sharex=ax)
        ax.tick_params(labelbottom=False)
    ax.plot(momentum, probability, ".", color="tab:blue", label="lab data")
    ax.plot(momentum, curve, "-", color="tab:red", label="model at the answer")
    ax.set_ylabel("probability (relative)")
    ax.set_title(r.to_dict()["lab_file"] or None)
    ax.legend(loc="best")
    below.axhline(0.0, color="grey", lw=0.8)
    below.plot(momentum, probability - curve, ".", color="tab:blue")
    below.set_ylabel("lab - model")
    below.set_xlabel("momentum (kg m/s)")
    return figure if figure is not None else (ax, below)


# How each kind of end is drawn.
END_COLOURS = {"rise": "tab:green", "wall": "tab:red", "limit": "tab:blue"}
TOP = 5.0  # the highest Delta S / s^2 a profile panel shows


def scan_plot(r):
    """The three profiles, Delta S / s^2 against each parameter: the points
    the scan met, the level 1 dashed, the answer dotted, each end a
    vertical line coloured and labelled with its kind."""
    if r.profiles is None:
        raise ValueError("no interval scan was made (intervals=False, or the scan could not "
                         "be made): there are no profiles to plot")
    plt = _pyplot()
    d = r.to_dict()
    s2 = d["s2"]
    answer = d["answer"]
    figure, axes = plt.subplots(3, 1, figsize=(7, 8), gridspec_kw=dict(hspace=0.5))
    for ax, (name, unit), profile in zip(axes, PARAMETERS, r.profiles):
        middle = answer[name]
        ax.set_ylabel("ΔS / s²")
        if name in d["fixed"]:
            ax.set_xlabel(f"{name} ({unit})" if unit else name)
            ax.text(0.5, 0.5, f"{name} held at {middle:.7g}: no interval", ha="center",
                    va="center", transform=ax.transAxes)
            ax.set_xticks([])
            ax.set_yticks([])
            continue
        ax.set_xlabel(f"{name} - {middle:.7g}" + (f" ({unit})" if unit else "")
                      + f", {d['shape'][name]}")
        # A value searched twice (an end's check) is drawn at its lower S.
        values, first = numpy.unique(profile.value, return_index=True)
        rises = numpy.minimum.reduceat(profile.rise[numpy.argsort(profile.value, kind="stable")],
                                       first) / s2
        ax.plot(values - middle, rises, ".-", color="black", ms=4, lw=0.8)
        # A wall's jump would flatten the rest: the panel shows up to 5 s^2.
        ax.set_ylim(-0.05 * TOP, min(TOP, 1.05 * rises.max(initial=1.0)))
        ax.axhline(1.0, ls="--", color="grey")
        ax.axvline(0.0, ls=":", color="black")
        for end, kind in zip(d["interval"][name] or (None, None), d["end"][name]):
            if end is None or kind not in END_COLOURS:
                continue
            ax.axvline(end - middle, color=END_COLOURS[kind])
            ax.annotate(kind, (end - middle, 1.0), xycoords=("data", "axes fraction"),
                        ha="center", va="bottom", color=END_COLOURS[kind])
    return figure
