"""The image files of a folder, and the pairs two folders make."""

import os
import stat

from korvex.cli.images import is_image_file


def inside(path, folder):
    """Whether a real path is the folder or lies under it."""
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def image_files(folder):
    """(relative paths of the image files under a folder, sorted; [(relative path, why)] of those skipped).

    Only regular files are read: a named pipe or a device with an image's
    name would block or never end. Links to folders are followed, except a
    link back to a folder it lies in, which would never end either.
    """
    found, skipped = [], []
    for root, dirs, files in os.walk(folder, followlinks=True):
        real_root = os.path.realpath(root)
        for name in sorted(dirs):
            if inside(real_root, os.path.realpath(os.path.join(root, name))):
                dirs.remove(name)
                skipped.append((os.path.relpath(os.path.join(root, name), folder), "a link to a folder it lies in"))
        dirs.sort()
        for name in sorted(files):
            if is_image_file(name):
                path = os.path.join(root, name)
                why = not_regular(path)
                if why:
                    skipped.append((os.path.relpath(path, folder), why))
                else:
                    found.append(os.path.relpath(path, folder))
    return found, skipped


def not_regular(path):
    """Why a path that is not a regular file (or a link to one) is not read, or None for a regular file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return "a broken link" if os.path.islink(path) else "cannot be read"
    if stat.S_ISREG(mode):
        return None
    kinds = {stat.S_ISFIFO: "a named pipe", stat.S_ISSOCK: "a socket", stat.S_ISCHR: "a device",
             stat.S_ISBLK: "a device", stat.S_ISDIR: "a folder"}
    return next((kind for test, kind in kinds.items() if test(mode)), "not a regular file")


def match_names(names_a, names_b):
    """(pairs of names, names only in a, names only in b).

    A name found in both is a pair. Of the rest, two names with the same path
    but for the extension (ref/a.png, out/a.jpg: a codec's output) are a pair
    when that stem belongs to one file on each side.
    """
    exact = set(names_a) & set(names_b)
    rest_b = [n for n in names_b if n not in exact]
    stems_a, stems_b = {}, {}
    for n in names_a:
        if n not in exact:
            stems_a.setdefault(os.path.splitext(n)[0], []).append(n)
    for n in rest_b:
        stems_b.setdefault(os.path.splitext(n)[0], []).append(n)
    pairs, paired_b = [], set()
    for n in names_a:
        if n in exact:
            pairs.append((n, n))
            continue
        stem = os.path.splitext(n)[0]
        if len(stems_a[stem]) == 1 and len(stems_b.get(stem, ())) == 1:
            pairs.append((n, stems_b[stem][0]))
            paired_b.add(stems_b[stem][0])
    paired_a = {a for a, _ in pairs}
    return (pairs, [n for n in names_a if n not in paired_a],
            [n for n in rest_b if n not in paired_b])
