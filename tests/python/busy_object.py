"""Meets a streaming object while another thread holds it: the borrow rules of its methods."""

import threading


def conflict_while_busy(busy, probe, attempts=30):
    """Runs `busy()` on a second thread and calls `probe()` here until one call raises
    RuntimeError; returns its text, or None when `probe` never overlapped `busy`. `probe` must
    leave the object as it was whenever it gets through."""
    for _ in range(attempts):
        started = threading.Event()
        failure = []

        def run():
            started.set()
            try:
                busy()
            except BaseException as error:  # reported below, not lost on the thread
                failure.append(error)

        worker = threading.Thread(target=run)
        worker.start()
        started.wait()
        message = None
        while worker.is_alive() and message is None:
            try:
                probe()
            except RuntimeError as error:
                message = str(error)
        worker.join()
        if failure:
            raise failure[0]
        if message is not None:
            return message
    return None
