"""Reports of a run record: a self-contained HTML page and a Prometheus textfile.
They render text; the command writes it (atomically)."""
