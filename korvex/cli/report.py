"""A report to look at: one self-contained HTML file (no scripts, no files beside it).

It holds the distribution of the scores, the per-frame curve for videos, and
the worst pairs or frames side by side with their SSIM maps. Pictures are
embedded as PNG data URLs and charts are inline SVG, so the file can be
mailed or archived as it is.
"""

import base64
import html
import io
import math

import numpy as np

from korvex.cli.messages import shown

THUMBNAIL_WIDTH = 420
CHART_WIDTH, CHART_HEIGHT = 860, 240
MARGIN_LEFT, MARGIN_BOTTOM, MARGIN_TOP = 58, 34, 12


def png_data_url(array):
    """An (H, W) or (H, W, 3) uint8 array as a data URL, scaled down to THUMBNAIL_WIDTH if wider."""
    from PIL import Image

    picture = Image.fromarray(array)
    if picture.width > THUMBNAIL_WIDTH:
        height = max(1, round(picture.height * THUMBNAIL_WIDTH / picture.width))
        picture = picture.resize((THUMBNAIL_WIDTH, height), Image.BOX)
    elif 2 * picture.width <= THUMBNAIL_WIDTH:  # small images are enlarged to be seen, pixels kept sharp
        zoom = THUMBNAIL_WIDTH // picture.width
        picture = picture.resize((picture.width * zoom, picture.height * zoom), Image.NEAREST)
    buffer = io.BytesIO()
    picture.save(buffer, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def as_display(image):
    """A float image in [0, 1] ((H, W), (1, H, W) or (3, H, W)) as uint8 for display."""
    array = np.asarray(image, dtype=np.float32)
    if array.ndim == 3:
        array = array[0] if array.shape[0] == 1 else np.moveaxis(array, 0, -1)
    return (np.clip(np.nan_to_num(array), 0.0, 1.0) * 255.0).round().astype(np.uint8)


def _ticks(low, high, count=5):
    """Round tick values covering [low, high]."""
    if not high > low:
        return [low]
    step = 10 ** math.floor(math.log10((high - low) / count))
    for factor in (1, 2, 5, 10):
        if (high - low) / (step * factor) <= count:
            step *= factor
            break
    first = math.ceil(low / step) * step
    return [first + i * step for i in range(int((high - first) / step + 1e-9) + 1)]


def _axes(x_low, x_high, y_low, y_high, x_label, y_label, x_format, y_format):
    """The frame, tick labels and axis labels of a chart; and the functions from data to SVG coordinates."""
    inner_width = CHART_WIDTH - MARGIN_LEFT - 10
    inner_height = CHART_HEIGHT - MARGIN_BOTTOM - MARGIN_TOP
    x_span = (x_high - x_low) or 1.0
    y_span = (y_high - y_low) or 1.0

    def to_x(value):
        return MARGIN_LEFT + (value - x_low) / x_span * inner_width

    def to_y(value):
        return MARGIN_TOP + inner_height - (value - y_low) / y_span * inner_height

    parts = [f'<rect x="{MARGIN_LEFT}" y="{MARGIN_TOP}" width="{inner_width}" height="{inner_height}" '
             'fill="#fafafa" stroke="#888"/>']
    for tick in _ticks(x_low, x_high, 8):
        x = to_x(tick)
        parts.append(f'<line x1="{x:.1f}" y1="{MARGIN_TOP + inner_height}" x2="{x:.1f}" '
                     f'y2="{MARGIN_TOP + inner_height + 4}" stroke="#444"/>')
        parts.append(f'<text x="{x:.1f}" y="{MARGIN_TOP + inner_height + 16}" text-anchor="middle">'
                     f'{x_format(tick)}</text>')
    for tick in _ticks(y_low, y_high, 5):
        y = to_y(tick)
        parts.append(f'<line x1="{MARGIN_LEFT - 4}" y1="{y:.1f}" x2="{MARGIN_LEFT + inner_width}" y2="{y:.1f}" '
                     'stroke="#ddd"/>')
        parts.append(f'<text x="{MARGIN_LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{y_format(tick)}</text>')
    parts.append(f'<text x="{MARGIN_LEFT + inner_width / 2}" y="{CHART_HEIGHT - 4}" text-anchor="middle">'
                 f'{html.escape(x_label)}</text>')
    parts.append(f'<text x="12" y="{MARGIN_TOP + inner_height / 2}" text-anchor="middle" '
                 f'transform="rotate(-90 12 {MARGIN_TOP + inner_height / 2})">{html.escape(y_label)}</text>')
    return parts, to_x, to_y


def _svg(parts, title):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{CHART_WIDTH}" height="{CHART_HEIGHT}" '
            f'viewBox="0 0 {CHART_WIDTH} {CHART_HEIGHT}" role="img" aria-label="{html.escape(title)}">'
            + "".join(parts) + "</svg>")


def histogram_svg(scores, label, bins=40):
    """The distribution of the scores: counts in equal bins between the lowest and highest score."""
    low, high = min(scores), max(scores)
    if high - low < 1e-9:
        low, high = low - 5e-4, high + 5e-4
    counts, edges = np.histogram(scores, bins=bins, range=(low, high))
    digits = max(2, min(6, 1 - math.floor(math.log10((high - low) / 5))))
    parts, to_x, to_y = _axes(low, high, 0, max(1, counts.max()), label, "count",
                              lambda v: f"{v:.{digits}f}", lambda v: f"{v:g}")
    for count, left, right in zip(counts, edges[:-1], edges[1:]):
        if count:
            parts.append(f'<rect x="{to_x(left) + 0.5:.1f}" y="{to_y(count):.1f}" '
                         f'width="{max(0.5, to_x(right) - to_x(left) - 1):.1f}" height="{to_y(0) - to_y(count):.1f}" '
                         f'fill="#3b6fb6"><title>{left:.6f} to {right:.6f}: {count}</title></rect>')
    return _svg(parts, f"distribution of {label}")


def curve_svg(frames, scores, marked, label):
    """Score against frame number, with the marked (worst) frames as red dots."""
    y_low, y_high = min(scores), max(scores)
    if y_high - y_low < 1e-9:
        y_low, y_high = y_low - 5e-4, y_high + 5e-4
    pad = (y_high - y_low) * 0.05
    y_low, y_high = y_low - pad, y_high + pad
    digits = max(2, min(6, 1 - math.floor(math.log10((y_high - y_low) / 5))))
    parts, to_x, to_y = _axes(frames[0], max(frames[-1], frames[0] + 1), y_low, y_high, "frame", label,
                              lambda v: f"{v:g}", lambda v: f"{v:.{digits}f}")
    points = " ".join(f"{to_x(f):.1f},{to_y(s):.1f}" for f, s in zip(frames, scores))
    parts.append(f'<polyline points="{points}" fill="none" stroke="#3b6fb6" stroke-width="1.5"/>')
    by_frame = dict(zip(frames, scores))
    for frame in marked:
        if frame in by_frame:
            parts.append(f'<circle cx="{to_x(frame):.1f}" cy="{to_y(by_frame[frame]):.1f}" r="4" fill="#d62728">'
                         f'<title>frame {frame}: {by_frame[frame]:.6f}</title></circle>')
    return _svg(parts, f"{label} per frame")


STYLE = """
body { font-family: sans-serif; margin: 24px; color: #222; max-width: 1340px; }
h1 { font-size: 22px; } h2 { font-size: 18px; margin-top: 28px; }
table.summary td { padding: 2px 14px 2px 0; }
svg text { font-size: 11px; font-family: sans-serif; fill: #333; }
.pair { display: flex; flex-wrap: wrap; gap: 10px; align-items: flex-start; margin: 6px 0 22px; }
.pair figure { margin: 0; }
.pair img { display: block; max-width: 420px; border: 1px solid #ccc; image-rendering: pixelated; }
.pair figcaption { font-size: 12px; color: #555; margin-top: 2px; }
.bar { height: 14px; width: 420px; border: 1px solid #888; }
.scale { display: flex; justify-content: space-between; width: 420px; font-size: 11px; }
.failed { color: #a00; }
"""


def report_html(report, colour, bar_values, ticks):
    """The HTML report, as text.

    report: dict(title, settings (text), label ("SSIM" or "MS-SSIM"), unit ("pair" or "frame"),
      scores (list of (name, frame number or None, score)), failed (list of (name, message)),
      summary (dict or None), worst (list of dict(name, score, image1, image2, map, note))).
    Images are float arrays in [0, 1]; a map is an (H, W) array of SSIM values or None.
    colour(values) turns an array of SSIM values in [-1, 1] into RGB uint8 colours; bar_values(width) gives
    the value at each column of the colour bar, which shows the values `ticks` at equal steps.
    """
    label, unit = report["label"], report["unit"]
    scores = [s for _, _, s in report["scores"]]
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           f"<title>{html.escape(report['title'])}</title><style>{STYLE}</style></head><body>",
           f"<h1>{html.escape(report['title'])}</h1>", f"<p>{html.escape(report['settings'])}</p>"]
    summary = report.get("summary")
    if summary and not summary.get("pairs"):
        out.append(f"<p>No {unit} could be compared.</p>")
    elif summary:
        out.append('<table class="summary">')
        for key, text in (("pairs", f"{unit}s compared"), ("mean", f"mean {label}"), ("median", "median"),
                          ("min", "min"), ("max", "max")):
            value = summary[key]
            out.append(f"<tr><td>{text}</td><td>{value if key == 'pairs' else f'{value:.6f}'}</td></tr>")
        out.append("</table>")
    if report["failed"]:
        out.append(f'<p class="failed">{len(report["failed"])} {unit}(s) could not be compared:</p><ul>')
        out.extend(f'<li class="failed">{html.escape(n)}: {html.escape(m)}</li>' for n, m in report["failed"][:20])
        out.append("</ul>")
    if scores:
        out.append(f"<h2>Distribution of {label} over {len(scores)} {unit}s</h2>")
        out.append(histogram_svg(scores, label))
        frames = [f for _, f, _ in report["scores"]]
        if unit == "frame" and len(scores) > 1:
            out.append(f"<h2>{label} per frame</h2>")
            worst_frames = [w.get("frame") for w in report["worst"]]
            out.append(curve_svg(frames, scores, worst_frames, label))
    if report["worst"]:
        count = len(report["worst"])
        out.append(f"<h2>The worst {unit}</h2>" if count == 1 else f"<h2>The {count} worst {unit}s</h2>")
        ramp = colour(bar_values(THUMBNAIL_WIDTH)[None, :].repeat(14, 0))
        legend = (f'<img class="bar" src="{png_data_url(ramp)}" alt="colour scale of the SSIM map from -1 to 1">'
                  '<div class="scale">' + "".join(f"<span>{t:g}</span>" for t in ticks) + "</div>")
        for item in report["worst"]:
            out.append(f"<h3>{html.escape(item['name'])}: {label} {item['score']:.6f}</h3>")
            if item.get("note"):
                out.append(f"<p>{html.escape(item['note'])}</p>")
            out.append('<div class="pair">')
            for key, caption in (("image1", "A"), ("image2", "B")):
                out.append(f'<figure><img src="{png_data_url(as_display(item[key]))}" alt="{caption}">'
                           f"<figcaption>{caption}</figcaption></figure>")
            if item.get("map") is not None:
                values = np.nan_to_num(np.asarray(item["map"], dtype=np.float32), nan=-1.0)
                out.append(f'<figure><img src="{png_data_url(colour(values))}" alt="SSIM map">'
                           f"<figcaption>SSIM map (lowest {values.min():.3f})</figcaption>{legend}</figure>")
            out.append("</div>")
    out.append("</body></html>")
    return "\n".join(out) + "\n"


def write_report(source, comparison, args, rows, summary):
    """The report of a run, written to --report: its settings, scores and failures, and the worst pairs."""
    from korvex.cli.maps import SCALE, bar_positions, colour_table, colourise, palette
    from korvex.cli.outputs import write_atomically

    if source.noun == "frame":
        planes = "the Y, U and V planes (their mean weighted by samples)" if args.planes == "yuv" else "the Y plane"
        settings = f"{shown(args.first)} against {shown(args.second)}, frame by frame on {planes}"
    elif source.many:
        settings = f"{shown(args.first)} against {shown(args.second)}, {len(rows)} pairs"
    else:
        settings = " against ".join(source.labels(0))
    metric = comparison.metric
    if comparison.multi_scale:
        settings += "; the maps shown are single-scale SSIM maps (padding same), for orientation"
    report = dict(title=f"korvex: {comparison.label}", settings=f"{settings}; {comparison.describe(source.kinds)}",
                  label=comparison.label, unit=source.noun,
                  scores=[(r["name"], r.get("frame"), r[metric]) for r in rows if metric in r],
                  failed=[(r["name"], r["error"]) for r in rows if "error" in r], summary=summary,
                  worst=source.report_items(comparison, summary))
    table, colours = colour_table(), np.array(palette(), dtype=np.uint8).reshape(-1, 3)
    steps = [s for s, _ in SCALE]
    text = report_html(report, lambda values: colours[colourise(values, table)],
                       lambda width: np.interp(np.linspace(0.0, 1.0, width), bar_positions(), steps), steps)
    write_atomically(args.report, lambda file: file.write(text))
    print(f"report written to {shown(args.report)}")
