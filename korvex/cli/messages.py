"""What the command line says: its two kinds of problem, notes said once, lines above the progress bar, and a
standard output whose reader may leave."""

import io
import os
import sys


class CommandLineError(Exception):
    """A problem the user can fix; printed as one line, exit status 2."""


class PairError(Exception):
    """A pair that cannot be compared; printed as one line, exit status 1."""


def shown(name):
    """A file name as it can be printed on one line: names holding newlines or
    other control characters are shown quoted, with escapes."""
    name = str(name)
    return name if name.isprintable() else repr(name)


def few(names, count=3):
    """The first few names of a list, for a message."""
    if not names:
        return "no image files"
    return ", ".join(shown(n) for n in names[:count]) + (f" and {len(names) - count} more" if len(names) > count
                                                          else "")


# The notes given in this run: each is said once.
_notes_given = set()


def forget_notes():
    """A new run says its notes again (tests run the command many times in one process)."""
    _notes_given.clear()


def note_once(text):
    if text not in _notes_given:
        _notes_given.add(text)
        emit(f"korvex: note: {text}", file=sys.stderr)


def progress(items, total, noun, hidden):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience: go on without it
        return items
    return tqdm(items, total=total, unit=noun, file=sys.stderr, disable=True if hidden else None, leave=False)


def emit(line, file=None):
    """Prints a line above the progress bar, if there is one."""
    try:
        from tqdm import tqdm

        tqdm.write(line, file=file or sys.stdout)
    except ImportError:
        print(line, file=file)


class ReaderMayLeave(io.TextIOBase):
    """Standard output whose reader may stop reading (`korvex ... | head -1`):
    then the printing stops and the work goes on, so the CSV, JSON and maps
    are still written. Later writes, and Python's own flush at exit, go to
    the null device."""

    def __init__(self, stream):
        self.stream, self.gone = stream, False

    def write(self, text):
        if not self.gone:
            try:
                self.stream.write(text)
            except BrokenPipeError:
                self.leave()
        return len(text)

    def flush(self):
        if not self.gone:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self.leave()

    def leave(self):
        self.gone = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, self.stream.fileno())
            os.close(null)
        except (OSError, ValueError, io.UnsupportedOperation):  # a stream without a file (tests capture output)
            pass

    def isatty(self):
        return not self.gone and self.stream.isatty()

    def fileno(self):
        return self.stream.fileno()

    @property
    def encoding(self):
        return self.stream.encoding

