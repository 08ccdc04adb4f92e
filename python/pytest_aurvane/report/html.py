"""The report as one self-contained HTML file: inline CSS and SVG, a few lines of script to zoom.

Nothing is fetched from elsewhere, so the file opens from a CI artifact
with no network. A large run is drawn by aggregation: a worker's adjacent
tests with one outcome that would share a pixel become one bar, and the
lists are cut after their first entries, so 200,000 tests stay a few MiB.
"""

from __future__ import annotations

import html
import time
from typing import Iterable, Optional

from .model import (
    ABORTED,
    CANCELLED,
    CRASHED,
    DEADLINE,
    ERROR,
    FAILED,
    PASSED,
    SKIPPED,
    UNFINISHED,
    XFAILED,
    XPASSED,
    Attempt,
    Run,
    Session,
)

# The timeline's drawing width in SVG units at zoom 1, and a row's height.
WIDTH = 1200
ROW = 20
# Past this many tests in the run, bars of one outcome closer than a pixel merge.
DETAIL_LIMIT = 4000
# Lists are cut after this many entries.
LIST_LIMIT = 200
FAILURE_DETAIL_LIMIT = 50

COLOURS = {
    PASSED: "#43a047",
    FAILED: "#e53935",
    ERROR: "#fb8c00",
    SKIPPED: "#fdd835",
    XFAILED: "#9e9e9e",
    XPASSED: "#26c6da",
    CRASHED: "#8e0000",
    DEADLINE: "#6a1b9a",
    CANCELLED: "#78909c",
    ABORTED: "#78909c",
    UNFINISHED: "#b0bec5",
}
LEGEND = (
    (PASSED, "passed"), (FAILED, "failed"), (ERROR, "error"), (SKIPPED, "skipped"), (XFAILED, "xfailed"),
    (XPASSED, "xpassed"), (CRASHED, "worker crashed"), (DEADLINE, "deadline kill"), (CANCELLED, "cancelled"),
)
# The mark at the end of a test its worker's end cut short.
MARKS = {CRASHED: "#000000", DEADLINE: "#6a1b9a", CANCELLED: "#37474f", ABORTED: "#37474f"}

_CSS = """
body{font:14px/1.4 system-ui,-apple-system,'Segoe UI',sans-serif;margin:24px;color:#212121;background:#fff}
h1{font-size:20px;margin:0 0 8px}h2{font-size:16px;margin:28px 0 8px;border-bottom:1px solid #ddd}
table{border-collapse:collapse}td,th{padding:2px 10px 2px 0;text-align:left;vertical-align:top}
th{font-weight:600;color:#555}.num{text-align:right;font-variant-numeric:tabular-nums}
code,pre{font:12px/1.35 ui-monospace,'DejaVu Sans Mono',monospace}pre{background:#f6f6f6;padding:8px;overflow:auto;
max-height:320px;margin:4px 0 12px}.ok{color:#2e7d32}.bad{color:#c62828}.note{color:#666}
.counts{font-size:16px;font-weight:600}.tl{display:flex;align-items:flex-start}
.labels{flex:none;padding-top:22px}.labels div{height:20px;line-height:20px;white-space:nowrap;font-size:12px;padding-right:8px}
.scroll{overflow-x:auto;flex:1;border:1px solid #ddd}.inner{width:100%;position:relative}
.axis{position:relative;height:22px;font-size:11px;color:#555;border-bottom:1px solid #ddd}
.axis span{position:absolute;top:3px;transform:translateX(-50%);white-space:nowrap}
svg{display:block;width:100%}.legend span{display:inline-block;margin-right:14px;font-size:12px}
.legend i{display:inline-block;width:12px;height:12px;margin-right:4px;vertical-align:-2px}
.zoom button{margin-right:4px}details{margin:2px 0}summary{cursor:pointer}
"""

_SCRIPT = """
(function(){var z=1,inner=document.getElementById('tl-inner');
function set(v){z=Math.max(1,Math.min(v,256));inner.style.width=(100*z)+'%';}
document.getElementById('zoom-in').onclick=function(){set(z*2)};
document.getElementById('zoom-out').onclick=function(){set(z/2)};
document.getElementById('zoom-fit').onclick=function(){set(1)};})();
"""


# A thin light edge keeps two adjacent tests apart at any zoom.
_EDGE = " stroke='#fff' stroke-width='0.5' vector-effect='non-scaling-stroke'"


def _e(text: object) -> str:
    return html.escape(str(text), quote=True)


def _counted(count: object, noun: str, plural: str = "") -> str:
    """"1 test", "2 tests": a count with its noun, as pytest's final line says it."""
    return f"{count} {noun if count == 1 else plural or noun + 's'}"


def seconds(value: float) -> str:
    """A duration as people read it: 0.042s, 12.3s, 4m05s, 1h02m."""
    if value < 10:
        return f"{value:.3f}s" if value < 1 else f"{value:.2f}s"
    if value < 60:
        return f"{value:.1f}s"
    if value < 3600:
        return f"{int(value // 60)}m{int(value % 60):02d}s"
    return f"{int(value // 3600)}h{int(value % 3600 // 60):02d}m"


def render(run: Run) -> str:
    """The whole report of `run` as HTML text."""
    parts = [
        "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>",
        f"<title>aurvane run: {_e(run.count_line())}</title><style>{_CSS}</style></head><body>",
        _header(run),
        _timeline(run),
        _bound(run),
        _slowest(run),
        _slower(run),
        _failures(run),
        _hangs(run),
        _crashes(run),
        _retries(run),
        _not_run(run),
        f"<script>{_SCRIPT}</script></body></html>\n",
    ]
    return "".join(parts)


def _header(run: Run) -> str:
    status = run.exit_code
    cls = "ok" if status in (0, 5) else "bad"
    rows = [
        ("command", f"<code>{_e(' '.join(run.command))}</code>" if run.command else "<span class='note'>unknown</span>"),
        ("run directory", f"<code>{_e(run.run_dir)}</code>"),
        ("started", _e(time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(run.started_at)))
         if run.started_at is not None else "unknown"),
        ("wall time", _e(seconds(run.wall_seconds))),
        ("workers", f"{run.workers} ({_counted(len(run.sessions), 'worker process', 'worker processes')}, "
         f"{_counted(run.restarts, 'restart')})"),
        ("exit status", f"<span class='{cls}'>{_e(status if status is not None else 'none: the run did not end')}</span>"),
        ("collected", _counted(run.collected, "test")
         + (f", collection took {_e(seconds(run.collection_end))}" if run.collection_end is not None else "")),
    ]
    table = "".join(f"<tr><th>{k}</th><td>{v}</td></tr>" for k, v in rows)
    cls_counts = "bad" if run.counts.get(FAILED) or run.counts.get(ERROR) or run.not_run else "ok"
    notes = ""
    if not run.has_summary:
        notes = "<p class='bad'>This run has no summary: the controller did not reach the end of the run.</p>"
    return (
        f"<h1>aurvane run</h1><p class='counts {cls_counts}'>{_e(run.count_line())}</p>{notes}<table>{table}</table>"
    )


# Which outcome colours a bar that stands for several tests: the one to look at.
_RANK = {outcome: rank for rank, outcome in enumerate(
    (PASSED, XFAILED, SKIPPED, XPASSED, UNFINISHED, ERROR, FAILED))}


def _segments(attempts: list[Attempt], merge_below: float) -> Iterable[tuple[float, float, str, str]]:
    """(start, end, outcome, title) of each bar of a row.

    With `merge_below`, tests less than that apart merge into one bar at
    most four times that long, whatever their outcomes (the bar takes the
    colour of the worst), so a row never has more bars than about twice the
    drawing's width; a test its worker's end cut short keeps a bar and mark
    of its own.
    """
    group: list[Attempt] = []
    for attempt in attempts:
        if group and (
            merge_below <= 0
            or attempt.outcome in MARKS
            or group[-1].outcome in MARKS
            or attempt.start - (group[-1].end or group[-1].start) >= merge_below
            or (attempt.end or attempt.start) - group[0].start >= merge_below * 4
        ):
            yield _bar(group)
            group = []
        group.append(attempt)
    if group:
        yield _bar(group)


def _bar(group: list[Attempt]) -> tuple[float, float, str, str]:
    first, last = group[0], group[-1]
    end = last.end if last.end is not None else last.start
    if len(group) == 1:
        title = f"{first.nodeid}\n{first.outcome}, {seconds(first.span)} (from {first.start:.2f}s)"
        if first.number > 1:
            title += f", attempt {first.number}"
        if first.reason:
            title += f"\n{first.reason}"
        return first.start, end, first.outcome, title
    counts: dict[str, int] = {}
    for attempt in group:
        counts[attempt.outcome] = counts.get(attempt.outcome, 0) + 1
    worst = max(counts, key=lambda outcome: _RANK.get(outcome, 0))
    said = ", ".join(f"{n} {outcome}" for outcome, n in sorted(counts.items(), key=lambda kv: -kv[1]))
    return first.start, end, worst, f"{_counted(len(group), 'test')} ({said}), {first.start:.2f}s to {end:.2f}s"


def _row_label(session: Session, wall: float) -> str:
    life = max((session.ended or wall) - (session.collected or session.spawned), 1e-9)
    busy = min(100.0, 100.0 * session.busy / life)
    label = f"{session.worker} · {_counted(len(session.attempts), 'test')} · busy {busy:.0f}%"
    if session.replaces:
        label += f" · replaces {session.replaces}"
    return label


def _timeline(run: Run) -> str:
    total = max([run.wall_seconds] + [s.ended or 0.0 for s in run.sessions]) or 1.0
    scale = WIDTH / total
    tests = sum(len(s.attempts) for s in run.sessions)
    # Aggregate a large run: bars of one outcome less than a pixel apart merge.
    merge_below = 0.0 if tests <= DETAIL_LIMIT else 1.0 / scale
    height = ROW * max(1, len(run.sessions))
    out = [
        f"<svg id='timeline' viewBox='0 0 {WIDTH} {height}' height='{height}' preserveAspectRatio='none' "
        "xmlns='http://www.w3.org/2000/svg' role='img' aria-label='timeline of the workers'>"
    ]
    for row, session in enumerate(run.sessions):
        y = row * ROW
        out.append(f"<rect x='{session.spawned * scale:.2f}' y='{y + 3}' width='{max(0.0, ((session.ended or total) - session.spawned) * scale):.2f}' "
                   f"height='{ROW - 6}' fill='#eceff1'><title>{_e(session.worker)}: idle time shows as this grey</title></rect>")
        if session.collected is not None:
            out.append(f"<rect x='{session.spawned * scale:.2f}' y='{y + 7}' width='{(session.collected - session.spawned) * scale:.2f}' "
                       f"height='{ROW - 14}' fill='#b0bec5'><title>{_e(session.worker)}: start-up and collection, "
                       f"{_e(seconds(session.collected - session.spawned))}</title></rect>")
        for start, end, outcome, title in _segments(session.attempts, merge_below):
            out.append(f"<rect x='{start * scale:.2f}' y='{y + 2}' width='{max((end - start) * scale, 0.15 if outcome == PASSED else 2.5):.2f}' "
                       f"height='{ROW - 4}' fill='{COLOURS.get(outcome, '#999')}'{_EDGE}><title>{_e(title)}</title></rect>")
            mark = MARKS.get(outcome)
            if mark is not None:
                out.append(f"<line x1='{end * scale:.2f}' x2='{end * scale:.2f}' y1='{y}' y2='{y + ROW}' stroke='{mark}' "
                           f"stroke-width='3' vector-effect='non-scaling-stroke'><title>{_e(title)}</title></line>")
        if session.how == "failed" and session.ended is not None:
            out.append(f"<line x1='{session.ended * scale:.2f}' x2='{session.ended * scale:.2f}' y1='{y}' y2='{y + ROW}' "
                       f"stroke='#000' stroke-width='2' stroke-dasharray='2,2' vector-effect='non-scaling-stroke'>"
                       f"<title>{_e(session.reason or 'worker failed')}</title></line>")
    bound = run.lower_bound()[0]
    for at, colour, what in ((run.collection_end, "#1e88e5", "collection ends"), (bound, "#2e7d32", "lower bound")):
        if at is not None and 0 < at <= total:
            out.append(f"<line x1='{at * scale:.2f}' x2='{at * scale:.2f}' y1='0' y2='{height}' stroke='{colour}' "
                       f"stroke-width='1.5' stroke-dasharray='6,3' vector-effect='non-scaling-stroke'>"
                       f"<title>{what}: {at:.2f}s</title></line>")
    out.append("</svg>")
    ticks = _ticks(total)
    axis = "".join(
        f"<span style='left:{100 * t / total:.3f}%{'' if t else ';transform:none'}'>{_e(seconds(t) if t else '0')}</span>"
        for t in ticks
    )
    labels = "".join(f"<div>{_e(_row_label(s, total))}</div>" for s in run.sessions)
    legend = "".join(f"<span><i style='background:{COLOURS[k]}'></i>{_e(v)}</span>" for k, v in LEGEND)
    legend += ("<span><i style='background:#eceff1'></i>idle</span><span><i style='background:#b0bec5'></i>start-up</span>"
               "<span class='note'>dashed lines: collection ends (blue), lower bound (green); "
               "a thick mark ends a test its worker's end cut short</span>")
    note = ""
    if merge_below:
        note = (f"<p class='note'>{tests} tests: a worker's adjacent tests of one outcome less than a pixel apart "
                "are drawn as one bar; zoom in or hover for counts.</p>")
    return (
        "<h2>Timeline</h2><p class='zoom'><button id='zoom-in' type='button'>zoom in</button>"
        "<button id='zoom-out' type='button'>zoom out</button><button id='zoom-fit' type='button'>fit</button></p>"
        f"<div class='tl'><div class='labels'>{labels}</div><div class='scroll'><div class='inner' id='tl-inner'>"
        f"<div class='axis'>{axis}</div>{''.join(out)}</div></div></div><p class='legend'>{legend}</p>{note}"
    )


def _ticks(total: float) -> list[float]:
    step = 1e-3
    for candidate in (0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300,
                      600, 900, 1800, 3600, 7200):
        step = candidate
        if total / candidate <= 12:
            break
    count = int(total / step)
    return [i * step for i in range(count + 1)]


def _bound(run: Run) -> str:
    bound, longest, spread = run.lower_bound()
    if not run.sessions or bound <= 0:
        return ""
    ratio = run.wall_seconds / bound if bound else 0.0
    by = "the longest test" if longest >= spread else "the tests' total spread over the workers"
    rows = "".join(
        f"<tr><td><code>{_e(a.nodeid)}</code></td><td>{_e(a.worker)}</td><td class='num'>{a.start:.2f}s</td>"
        f"<td class='num'>{_e(seconds(a.span))}</td><td class='num'>{(a.end or a.start):.2f}s</td></tr>"
        for a in run.end_setters()
    )
    return (
        "<h2>Wall time against its lower bound</h2>"
        f"<p>The run took <b>{_e(seconds(run.wall_seconds))}</b>; its lower bound is <b>{_e(seconds(bound))}</b> "
        f"({ratio:.2f}×): collection {_e(seconds(run.collection_end or 0.0))}, then {by} "
        f"(longest test {_e(seconds(longest))}, total per worker {_e(seconds(spread))}).</p>"
        "<p>The tests that ended last, which set the end of the run:</p>"
        "<table><tr><th>test</th><th>worker</th><th>started</th><th>took</th><th>ended</th></tr>"
        f"{rows}</table>"
    )


def _slowest(run: Run) -> str:
    rows = "".join(
        f"<tr><td class='num'>{_e(seconds(a.span))}</td><td><code>{_e(a.nodeid)}</code></td><td>{_e(a.worker)}</td>"
        f"<td>{_e(a.outcome)}</td></tr>"
        for a in run.slowest()
    )
    return f"<h2>Slowest tests</h2><table><tr><th>took</th><th>test</th><th>worker</th><th>outcome</th></tr>{rows}</table>"


def _slower(run: Run) -> str:
    if not run.has_history:
        return ("<h2>Slower than their history</h2><p class='note'>No duration history was given for this run "
                "(<code>--history PATH</code>).</p>")
    if not run.slower:
        return "<h2>Slower than their history</h2><p class='ok'>No test took much longer than its history says.</p>"
    rows = "".join(
        f"<tr><td class='num'>{_e(seconds(s.seconds))}</td><td class='num'>{_e(seconds(s.history))}</td>"
        f"<td class='num'>{s.seconds / s.history if s.history > 0 else float('inf'):.1f}×</td>"
        f"<td><code>{_e(s.nodeid)}</code></td></tr>"
        for s in run.slower[:LIST_LIMIT]
    )
    return (f"<h2>Slower than their history ({len(run.slower)})</h2><table><tr><th>took</th><th>history</th>"
            f"<th></th><th>test</th></tr>{rows}</table>{_more(len(run.slower))}")


def _more(count: int, limit: int = LIST_LIMIT) -> str:
    return f"<p class='note'>... and {count - limit} more</p>" if count > limit else ""


def _failures(run: Run) -> str:
    if not run.failures:
        return ""
    out = [f"<h2>Failures ({len(run.failures)})</h2>"]
    for n, failure in enumerate(run.failures[:LIST_LIMIT]):
        head = f"<code>{_e(failure.nodeid)}</code> ({_e(failure.outcome)} in {_e(failure.when)}, {_e(failure.worker)})"
        if n < FAILURE_DETAIL_LIMIT:
            out.append(f"<details open><summary>{head}</summary><pre>{_e(failure.traceback or failure.message)}</pre>"
                       "</details>")
        else:
            out.append(f"<div>{head}: {_e(failure.message)}</div>")
    out.append(_more(len(run.failures)))
    return "".join(out)


def _hangs(run: Run) -> str:
    if not run.hangs:
        return ""
    out = [f"<h2>Hung tests ({len(run.hangs)})</h2>"]
    for attempt, stacks in run.hangs[:LIST_LIMIT]:
        out.append(f"<details open><summary><code>{_e(attempt.nodeid)}</code> on {_e(attempt.worker)}, killed in "
                   f"{_e(attempt.phase)} after {_e(seconds(attempt.span))}</summary><p>{_e(attempt.reason or '')}</p>")
        out.append(f"<pre>{_e(stacks)}</pre>" if stacks else
                   "<p class='note'>No stack dump in the worker's log (the log is not in the run directory).</p>")
        out.append("</details>")
    return "".join(out)


def _crashes(run: Run) -> str:
    if not run.crashes:
        return ""
    out = [f"<h2>Tests whose worker died ({len(run.crashes)})</h2>"]
    for attempt, tail in run.crashes[:LIST_LIMIT]:
        out.append(f"<details open><summary><code>{_e(attempt.nodeid)}</code> on {_e(attempt.worker)}, in "
                   f"{_e(attempt.phase)} after {_e(seconds(attempt.span))}{', retried' if attempt.retried else ''}"
                   f"</summary><p>{_e(attempt.reason or '')}</p>")
        out.append(f"<p>The last lines of its worker's log:</p><pre>{_e(tail)}</pre>" if tail else
                   "<p class='note'>Its worker's log is empty or not in the run directory.</p>")
        out.append("</details>")
    return "".join(out)


def _retries(run: Run) -> str:
    replaced = [s for s in run.sessions if s.replaces]
    if not run.retries and not replaced:
        return ""
    out = ["<h2>Retries and replacements</h2>"]
    if run.retries:
        out.append("<table><tr><th>test</th><th>attempt</th><th>on</th><th>why</th></tr>")
        out.extend(
            f"<tr><td><code>{_e(a.nodeid)}</code></td><td class='num'>{a.number}</td><td>{_e(a.worker)}</td>"
            f"<td>{_e(a.reason or message)}</td></tr>"
            for a, message in run.retries[:LIST_LIMIT]
        )
        out.append(f"</table>{_more(len(run.retries))}")
    if replaced:
        out.append("<table><tr><th>worker</th><th>replaces</th><th>started</th><th>because</th></tr>")
        failed = {s.worker: s for s in run.sessions}
        out.extend(
            f"<tr><td>{_e(s.worker)}</td><td>{_e(s.replaces)}</td><td class='num'>{s.spawned:.2f}s</td>"
            f"<td>{_e(failed[s.replaces].reason if s.replaces in failed else '')}</td></tr>"
            for s in replaced
        )
        out.append("</table>")
    return "".join(out)


def _not_run(run: Run) -> str:
    if not run.not_run:
        return ""
    reason = run.not_run_reason or "the run ended early"
    rows = "".join(f"<li><code>{_e(n)}</code></li>" for n in run.not_run[:LIST_LIMIT])
    return (f"<h2>Tests not run ({len(run.not_run)})</h2><p>Why: {_e(reason)}</p><ul>{rows}</ul>"
            f"{_more(len(run.not_run))}")
