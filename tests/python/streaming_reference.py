"""A plain reference for the streaming engine: one automaton and one tail per group, as the
streaming scanner is described, built on ahocorasick-rs. Results are row ids, group by group."""

import ahocorasick_rs


class ReferenceGroup:
    def __init__(self, rows):
        self.ids = [i for i, _ in rows]
        self.overlap = max((len(p) for _, p in rows), default=0)
        self.automaton = (
            ahocorasick_rs.BytesAhoCorasick([p for _, p in rows], matchkind=ahocorasick_rs.MatchKind.Standard)
            if rows
            else None
        )
        self.tail = b""

    def search(self, data):
        if self.automaton is None:
            return []
        return [self.ids[i] for i, _, _ in self.automaton.find_matches_as_indexes(data, overlapping=False)]

    def scan_chunk(self, chunk):
        combined = self.tail + chunk
        self.tail = combined[-self.overlap :] if self.overlap else b""
        return self.search(combined)

    def finalize(self):
        found = self.search(self.tail) if self.tail else []
        self.tail = b""
        return found


class ReferenceStream:
    def __init__(self, patterns, num_groups):
        assert num_groups >= 1
        # Groups past the table's length are empty and never match: they need no state.
        used = min(num_groups, len(patterns))
        self.groups = [ReferenceGroup([(i, p) for i, p in enumerate(patterns) if i % num_groups == g]) for g in range(used)]
        self.bytes_processed = 0

    def scan_chunk(self, chunk):
        if not chunk:
            return []
        self.bytes_processed += len(chunk)
        return [i for group in self.groups for i in group.scan_chunk(chunk)]

    def finalize(self):
        return [i for group in self.groups for i in group.finalize()]

    def reset(self):
        for group in self.groups:
            group.tail = b""
        self.bytes_processed = 0

    def run(self, steps):
        out = []
        for step in steps:
            if step == "finalize":
                out.append(self.finalize())
            elif step == "reset":
                out.append(self.reset())
            else:
                out.append(self.scan_chunk(step))
        return out + [self.bytes_processed]
