"""The pipeline: pairs read (in reader processes), compared in order, rows; and the pairs shared by the
processes of torchrun."""

import os
import signal
import sys

from korvex.cli.maps import colour_table, map_caption, save_map
from korvex.cli.messages import CommandLineError, PairError, emit, note_once, progress, shown
from korvex.cli.outputs import map_path


def read_item(source, index):
    """Item `index` of a source: (index, img1, img2, notes, error or None).
    Errors travel as values, so that one bad file costs one row, not the run
    (a CommandLineError, such as a missing Pillow, still ends the run where
    the items arrive)."""
    try:
        img1, img2, notes = source.read(index)
        return index, img1, img2, notes, None
    except (PairError, CommandLineError) as error:
        return index, None, None, [], error


def read_pairs(source, indices, workers):
    """Source.items of a source read by index: the items in the order of `indices`, read
    by `workers` processes ahead of the comparison (0: read here, one at a
    time). The workers start at once, so that they decode the first pairs
    while this process is still starting its comparison."""
    # One pair is read here: a worker process would only add its start-up.
    workers = min(workers, len(indices)) if len(indices) > 1 else 0
    if workers == 0:
        return (read_item(source, i) for i in indices)
    return read_in_processes(source, indices, workers)


# The source of the reader processes, set once in each (not sent with every pair).
_reader_source = None


def _start_reader(source):
    global _reader_source
    _reader_source = source
    # Ctrl-C is the main process's to handle: it stops the pool, and the
    # readers end without a traceback each.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _read_in_reader(index):
    return read_item(_reader_source, index)


def read_in_processes(source, indices, workers, ahead_per_worker=2):
    """read_pairs with reader processes: two pairs per worker in flight.

    A pool of processes rather than torch's DataLoader: when a reader dies
    (killed by the system, as the out-of-memory killer does), the pool tells
    which pairs did not come back, and they are read again here, once, so the
    pairs already compared are kept. DataLoader raises from a signal handler
    wherever this process happens to be, and forgets which pairs were lost.
    """
    import collections
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    pool = ProcessPoolExecutor(workers, initializer=_start_reader, initargs=(source,))
    waiting, in_flight = collections.deque(indices), collections.deque()
    broken = []

    def submit():
        while waiting and len(in_flight) < workers * ahead_per_worker and not broken:
            try:
                in_flight.append((waiting[0], pool.submit(_read_in_reader, waiting[0])))
            except BrokenProcessPool:
                return lost()
            waiting.popleft()

    def lost():
        if not broken:
            broken.append(True)
            note_once("a reader process ended abruptly (killed by the system, perhaps for want of memory); "
                      "the pairs it had not given back are read again in this process")

    def items():
        try:
            while in_flight or waiting:
                if in_flight:
                    index, future = in_flight.popleft()
                    try:
                        item = future.result()
                    except BrokenProcessPool:
                        lost()
                        item = read_item(source, index)
                else:  # after a reader died: the rest are read here
                    item = read_item(source, waiting.popleft())
                submit()
                yield item
        finally:
            pool.shutdown(wait=True, cancel_futures=True)

    submit()
    return items()


def compare_pairs(source, comparison, args, indices, items, say):
    """The rows of the pairs at `indices`, read as `items`, in that order; maps written as they come."""
    table = colour_table() if args.map else None
    width = max(len(shown(source.names[i])) for i in indices) if indices else 0
    rows, told = [], set()
    with_map = bool(args.map) or source.wants_maps
    for index, first, second, notes, error in progress(items, len(indices), source.noun,
                                                       args.quiet or not source.many):
        name = source.names[index]
        row = dict(name=name, **source.extra(index))
        for note in notes:
            note_once(note)
        try:
            if error is not None:
                raise error
            label1, label2 = source.labels(index)
            parts = source.parts(comparison, first, second)
            result, values = comparison.compare(parts, label1, label2, with_map)
            source.compared(comparison, first, second, result, values)
            row.update(result)
            if source.many:
                say(f"{shown(name):{width}}  {result[comparison.metric]:.6f}")
            if args.map and values is not None:
                save_map(map_path(args, source, index), values,
                         (f"{shown(name)}: " if source.many else "") + map_caption(comparison, result), table)
        except PairError as failure:
            row["error"] = str(failure)
            if row["error"] not in told:  # frames that failed for one reason: said once
                told.add(row["error"])
                emit(f"korvex: {failure}", file=sys.stderr)
        rows.append(row)
    return rows


class Shard:
    """This process's share of the pairs: every `size`-th pair from `rank`.
    One process alone has them all."""

    def __init__(self, rank=0, size=1):
        self.rank, self.size = rank, size

    def indices(self, count):
        return list(range(self.rank, count, self.size))

    def gather(self, rows, count):
        """All rows, in pair order, on rank 0 (None elsewhere)."""
        if self.size == 1:
            return rows
        import torch.distributed as dist

        shares = [None] * self.size if self.rank == 0 else None
        dist.gather_object(rows, shares, dst=0)
        if self.rank != 0:
            return None
        return [shares[i % self.size][i // self.size] for i in range(count)]

    def close(self):
        if self.size > 1:
            import torch.distributed as dist

            dist.destroy_process_group()


def local_rank():
    """This process's place among the processes of its machine under torchrun, else None."""
    return int(os.environ["LOCAL_RANK"]) if int(os.environ.get("WORLD_SIZE", "1")) > 1 else None


def join_processes(device):
    """The Shard of this process: under torchrun (WORLD_SIZE > 1) it joins the
    process group, gloo for the CPU and NCCL for CUDA devices."""
    size = int(os.environ.get("WORLD_SIZE", "1"))
    if size <= 1:
        return Shard()
    import torch
    import torch.distributed as dist

    if not dist.is_initialized():
        if device.type == "cuda":
            torch.cuda.set_device(device)  # NCCL gathers through the current device
        dist.init_process_group(backend="nccl" if device.type == "cuda" else "gloo")
    return Shard(dist.get_rank(), dist.get_world_size())


def default_workers():
    """The cores this process may use, shared among the processes on this machine."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    per_machine = int(os.environ.get("LOCAL_WORLD_SIZE", "1"))
    return max(1, cores // max(1, per_machine))
