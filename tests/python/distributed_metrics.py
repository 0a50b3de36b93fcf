"""Run by test_metrics.py under torchrun with two processes: each updates every metric class with its share of
the batches, and rank 0 prints the synchronised results as JSON."""

import json
import os
import sys

import torch.distributed as dist

from test_metrics import CLASSES, batches

dist.init_process_group("gloo")
rank, world = dist.get_rank(), dist.get_world_size()
results = {}
for name, (cls, options, _) in CLASSES.items():
    metric = cls(**options)
    for x, y in batches()[rank::world]:
        metric.update(x, y)
    results[name] = metric.compute().item()
if rank == 0:
    print(json.dumps(results))
dist.destroy_process_group()
# Leave without finalising the interpreter: gloo's worker threads may still be releasing the gathered tensors,
# and one that wants the interpreter while it is being torn down aborts the process.
sys.stdout.flush()
os._exit(0)
