"""A bag read a chunk at a time (`Bag.blocks`) hands out exactly what it hands out message by
message (`Bag.messages`): the same connections, bag times and bytes in the same order, the same
counts, and on a damaged bag the same messages before the same failure."""
import numpy as np
import pytest

import bagmaker
from kivo_tf_tools._bag_files import Bag, BagDamage


def one_by_one(bag, connections):
    got, damage = [], None
    try:
        for connection, ns, raw in bag.messages(connections):
            got.append((connection.id, ns, bytes(raw)))
    except BagDamage as error:
        damage = error.read
    return got, damage, dict(bag.read)


def by_blocks(bag, connections):
    got, damage = [], None
    try:
        for block in bag.blocks(connections):
            got += [(int(block.ids[k]), int(block.times[k]), block.raw(k))
                    for k in range(len(block))]
    except BagDamage as error:
        damage = error.read
    return got, damage, dict(bag.read)


def same_reading(path):
    bag = Bag(str(path))
    try:
        readings = []
        for connections in (None, [c for c in bag.connections if c.topic in ("/ft", "/tf")]):
            readings.append(one_by_one(bag, connections))
            assert by_blocks(bag, connections) == readings[-1]
    finally:
        bag.close()
    return readings[0]


def shuffled_records(kind, rng):
    records = bagmaker.scene_records(kind) * 3
    return [records[k] for k in rng.permutation(len(records))]


@pytest.mark.parametrize("kind, compression, chunk_bytes", [
    ("ros1", None, None), ("ros1", "bz2", 300), ("ros1", "lz4", 1), ("sqlite3", None, None),
    ("sqlite3", "zstd", None), ("mcap", None, None), ("mcap", "zstd", None)])
@pytest.mark.parametrize("in_order", [True, False])
def test_blocks_equal_messages(tmp_path, kind, compression, chunk_bytes, in_order):
    """Chunks of one message and of many, compressed or not, written in time order or not (ROS 1
    chunks then overlap in time), equal stamps on several topics."""
    records = (bagmaker.scene_records(kind) if in_order
               else shuffled_records(kind, np.random.default_rng(3)))
    bag = bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind, records, compression,
                             chunk_bytes, in_order)
    got, damage, _ = same_reading(bag)
    assert damage is None and len(got) == len(records)


@pytest.mark.parametrize("kind", bagmaker.KINDS)
@pytest.mark.parametrize("seed", range(6))
def test_damaged_bag_fails_after_the_same_messages(tmp_path, kind, seed):
    rng = np.random.default_rng(seed)
    bag = bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind,
                             bagmaker.scene_records(kind) * 4, chunk_bytes=2000)
    path = bag if kind == "ros1" else next(p for p in bag.iterdir() if p.suffix != ".yaml")
    data = bytearray(path.read_bytes())
    for at in rng.integers(len(data) // 4, len(data) - 200, size=1 + seed % 3):
        data[at] ^= 1 << int(rng.integers(8))
    path.write_bytes(bytes(data))
    try:
        same_reading(bag)
    except Exception as error:  # a bag that does not open is refused alike by both
        assert "cannot read the bag" in str(error)
