"""The SSIM map as a picture: a palette PNG on its own colour scale, with the scale and a caption below."""

import io
import os

# The colour scale: equal lengths of the colour bar for each step between
# these values, so that most of it goes to 0.5..1, where photographs and
# codecs score: negative values in blues, 0 black, then an inferno-like ramp
# through purple, red and orange to pale yellow at 1 (identical images).
SCALE = (
    (-1.0, (110, 210, 255)),
    (-0.5, (30, 100, 210)),
    (0.0, (0, 0, 4)),
    (0.5, (60, 15, 105)),
    (0.7, (130, 30, 110)),
    (0.8, (190, 55, 84)),
    (0.9, (235, 95, 40)),
    (0.95, (250, 150, 10)),
    (0.98, (245, 215, 70)),
    (1.0, (252, 255, 164)),
)
SCALE_WORDS = ("-1 light blue, -0.5 blue, 0 black, 0.5 dark purple, 0.7 purple, 0.8 red, 0.9 orange-red, "
               "0.95 orange, 0.98 yellow, 1 pale yellow; each step an equal length of the bar")
LEVELS = 4096  # the map's values are quantised to this many levels over [-1, 1] before colouring
SHADES = 254   # colours along the bar; the picture is a palette image with these, black and white
BLACK, WHITE = SHADES, SHADES + 1


def bar_positions():
    """Where each step of SCALE sits along the colour bar, from 0 to 1: equal lengths."""
    import numpy as np

    return np.linspace(0.0, 1.0, len(SCALE))


def palette():
    """The picture's palette: SHADES colours along the bar, then black and white, as a flat RGB list."""
    import numpy as np

    shares = np.linspace(0.0, 1.0, SHADES)
    colours = np.stack([np.interp(shares, bar_positions(), [c[i] for _, c in SCALE]) for i in range(3)], axis=-1)
    return colours.round().astype(np.uint8).ravel().tolist() + [0, 0, 0, 255, 255, 255]


def colour_table():
    """The palette index of each of LEVELS values from -1 to 1, evenly spaced."""
    import numpy as np

    values = np.linspace(-1.0, 1.0, LEVELS)
    shares = np.interp(values, [s for s, _ in SCALE], bar_positions())
    return (shares * (SHADES - 1)).round().astype(np.uint8)


def colourise(values, table):
    """An (H, W) array of SSIM values as (H, W) palette indices."""
    import numpy as np

    levels = np.clip((values + 1.0) * ((LEVELS - 1) / 2.0) + 0.5, 0, LEVELS - 1).astype(np.intp)
    return table[levels]


def _font(size):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1: one bitmap size
        return ImageFont.load_default()


CAPTION_LINE = 16  # pixels from one line of the caption to the next


def wrapped(text, width, length):
    """Text as lines no longer than `width` by `length(line)`, broken between words (a word longer than the
    width stands on a line of its own)."""
    lines = []
    for word in text.split(" "):
        if lines and length(lines[-1] + " " + word) <= width:
            lines[-1] += " " + word
        else:
            lines.append(word)
    return lines


def map_picture(values, caption, table):
    """PNG bytes: an (H, W) SSIM map with its colour bar, tick labels and a caption.

    A palette image: a third of the bytes of RGB to compress, and PNG stores it
    without filtering, which makes writing a map cheap beside comparing the pair.
    """
    import numpy as np
    from PIL import Image, ImageDraw, PngImagePlugin

    height, width = values.shape
    zoom = max(1, 256 // max(height, width))  # small maps are enlarged to be seen
    picture = Image.fromarray(colourise(values, table))
    if zoom > 1:
        picture = picture.resize((width * zoom, height * zoom), Image.NEAREST)
        caption += f", shown {zoom}x"
    font = _font(12)
    canvas_width = max(picture.width, 520) + 20
    lines = wrapped(caption, canvas_width - 20, lambda text: font.getlength(text))
    bar_top, bar_height = picture.height + 34 + CAPTION_LINE * (len(lines) - 1), 14
    canvas = Image.new("P", (canvas_width, bar_top + bar_height + 26), WHITE)
    canvas.putpalette(palette())
    canvas.paste(picture, (10, 10))
    draw = ImageDraw.Draw(canvas)
    for number, line in enumerate(lines):
        draw.text((10, picture.height + 14 + CAPTION_LINE * number), line, fill=BLACK, font=font)
    left, right = 10, canvas_width - 10
    ramp = np.linspace(0, SHADES - 1, right - left).round().astype(np.uint8)
    canvas.paste(Image.fromarray(ramp[None, :].repeat(bar_height, 0)), (left, bar_top))
    draw.rectangle((left - 1, bar_top - 1, right, bar_top + bar_height), outline=BLACK)
    for share, (tick, _) in zip(bar_positions(), SCALE):
        x = left + round(share * (right - left - 1))
        draw.line((x, bar_top + bar_height, x, bar_top + bar_height + 4), fill=BLACK)
        label = f"{tick:g}"
        draw.text((x - draw.textlength(label, font=font) * share, bar_top + bar_height + 6), label,
                  fill=BLACK, font=font)
    info = PngImagePlugin.PngInfo()
    info.add_text("Description", f"SSIM map. {caption}. Colour scale: {SCALE_WORDS}.")
    buffer = io.BytesIO()
    canvas.save(buffer, format="PNG", pnginfo=info, compress_level=1)
    return buffer.getvalue()


def save_map(path, values, caption, table):
    from korvex.cli.outputs import write_atomically

    data = map_picture(values, caption, table)
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    write_atomically(path, lambda file: file.write(data), binary=True)


# How each padding treats the border, for captions.
BORDERS = {"same": "zeros outside the image", "valid": "only where the window fits inside the image",
           "reflect": "the image mirrored at its border", "replicate": "the edge pixels repeated"}


def map_caption(comparison, result):
    padding = comparison.padding_of(volume="depth" in result)
    text = (f"SSIM {result['ssim']:.4f} (min {result['min_ssim']:.3f}), {comparison.window_text()}, "
            f"padding {padding} ({BORDERS[padding]})")
    if comparison.options["data_range"] != 1.0:
        text += f", data range {comparison.options['data_range']:g}"
    text += comparison.channels_text(colour=result["channels"] > 1)
    if result["channels"] > 1 and comparison.resolved.channels == "all":
        text += f", mean over {result['channels']} channels"
    if "depth" in result:
        text += f", slice {result['depth'] // 2} of {result['depth']}"
    return text


def display_map(comparison, img1, img2):
    """The single-scale SSIM map of a pair, (H, W), for the eye: with --ms-ssim too, which has no one map."""
    import korvex

    options = {k: v for k, v in comparison.options_for(img1).items() if k != "weights"}
    if comparison.multi_scale:
        options["padding"] = "same"
    x, y = img1[None].to(comparison.device), img2[None].to(comparison.device)
    return middle_slice(korvex.ssim_map(x, y, **options)[0].mean(0)).cpu().numpy()


def middle_slice(values):
    """A volume's map (D, H, W) as the picture shows it: its middle plane; an image's map (H, W) as it is."""
    return values[values.shape[0] // 2] if values.dim() == 3 else values
