"""A bag read a chunk at a time (`Bag.blocks`) hands out exactly what it hands out message by
message (`Bag.messages`): the same connections, bag times and bytes in the same order, the same
counts, and on a damaged bag the same messages before the same failure. A bag written a block at a
time is the file rosbags writes message by message."""
import numpy as np
import pytest

import bagmaker
from kivo_tf_tools import _ros1, _rosbag2
from kivo_tf_tools._bag_files import Bag, BagDamage
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import Writer as Writer2
from rosbags.rosbag2.enums import StoragePlugin


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


def open_writer(kind, cls, path):
    if kind == "ros1":
        writer = cls(path)
        writer.chunk_threshold = 5000  # many chunks
    else:
        plugin = StoragePlugin.MCAP if kind == "mcap" else StoragePlugin.SQLITE3
        writer = cls(path, version=9, storage_plugin=plugin)
    writer.open()
    store = bagmaker.typestore(kind)
    connections = [writer.add_connection(topic, "std_msgs/msg/String", typestore=store)
                   for topic in ("/a", "/b", "/c")]
    return writer, connections


@pytest.mark.parametrize("kind", bagmaker.KINDS)
def test_bulk_writes_make_the_file_rosbags_makes(tmp_path, kind):
    """Messages of random sizes (MCAP: over several 1 MiB chunks), equal times among them,
    written a block of random length at a time, and one by one."""
    rng = np.random.default_rng(4)
    count = 3000 if kind == "mcap" else 400
    ids = rng.integers(0, 3, size=count)
    times = np.sort(rng.integers(10**9, 10**9 + 10**6, size=count))
    raws = [bytes(rng.integers(0, 256, size=int(n), dtype=np.uint8))
            for n in rng.integers(0, 1200, size=count)]
    paths = {}
    for name, cls in (("theirs", Writer1 if kind == "ros1" else Writer2),
                      ("ours", _ros1.writer_class() if kind == "ros1" else
                       _rosbag2.writer_class())):
        paths[name] = tmp_path / name / ("bag.bag" if kind == "ros1" else "bag")
        paths[name].parent.mkdir()
        writer, connections = open_writer(kind, cls, paths[name])
        if name == "theirs":
            for k in range(count):
                writer.write(connections[ids[k]], int(times[k]), raws[k])
        else:
            out_ids = np.array([connections[k].id for k in ids], dtype=np.int64)
            at = 0
            while at < count:
                end = min(count, at + int(rng.integers(1, 300)))
                sizes = np.array([len(r) for r in raws[at:end]], dtype=np.int64)
                starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
                writer.write_many(out_ids[at:end], times[at:end], b"".join(raws[at:end]),
                                  starts, sizes)
                at = end
        writer.close()
    assert bagmaker.read_raw(paths["ours"]) == bagmaker.read_raw(paths["theirs"])
    if kind == "ros1":
        assert paths["ours"].read_bytes() == paths["theirs"].read_bytes()
    if kind == "mcap":
        (ours,), (theirs,) = (list(paths[n].glob("*.mcap")) for n in ("ours", "theirs"))
        assert ours.read_bytes() == theirs.read_bytes()


def ros1_record(fields, data):
    header = b"".join(len(f).to_bytes(4, "little") + f for f in fields)
    return len(header).to_bytes(4, "little") + header + len(data).to_bytes(4, "little") + data


MESSAGE_FIELDS = [b"op=\x02", b"conn=" + (3).to_bytes(4, "little"),
                  b"time=" + (7).to_bytes(4, "little") + (9).to_bytes(4, "little")]


@pytest.mark.parametrize("fields, error", [
    (MESSAGE_FIELDS, ""),
    (MESSAGE_FIELDS + [b"extra=field"], ""),  # a field this reader does not know is skipped
    ([MESSAGE_FIELDS[2], MESSAGE_FIELDS[0], MESSAGE_FIELDS[1]], ""),  # any order
    (MESSAGE_FIELDS[:2], "expected a message record at an index entry"),  # no time
    ([b"op=\x02\x02", *MESSAGE_FIELDS[1:]], "a record's op is not one byte"),
    ([b"conn", *MESSAGE_FIELDS[1:]], "a record header field is damaged"),
])
def test_ros1_records_are_read_by_their_fields(fields, error):
    from kivo_tf_tools import _bag_scan

    connection = ros1_record([b"op=\x07", b"conn=" + (3).to_bytes(4, "little")], b"topic=/x")
    chunk = connection + ros1_record(fields, b"payload")
    conn, time, starts, sizes, read, got = _bag_scan.ros1_messages(
        chunk, np.array([0], dtype=np.int64))
    assert got == error
    if not error:
        assert (read, conn.tolist(), time.tolist()) == (1, [3], [7 * 10**9 + 9])
        assert chunk[starts[0]:starts[0] + sizes[0]] == b"payload"


@pytest.mark.parametrize("seed", range(20))
def test_scanners_refuse_random_bytes_without_reading_outside_them(seed):
    """Any bytes give whole results, a reason where they stop, or a ValueError for a message
    placed outside the buffer; never a crash."""
    from kivo_tf_tools import _bag_scan

    rng = np.random.default_rng(seed)
    data = bytes(rng.integers(0, 256, size=int(rng.integers(0, 400)), dtype=np.uint8))
    offsets = rng.integers(-2, len(data) + 3, size=5).astype(np.int64)
    *_, read, error = _bag_scan.ros1_messages(data, offsets)
    assert read == 5 or error
    _, _, starts, sizes, error = _bag_scan.mcap_messages(data)
    assert ((starts + sizes) <= len(data)).all() and (error or len(data) == 0 or len(starts))
    starts = np.sort(rng.integers(0, len(data) + 1, size=6)).astype(np.int64)
    sizes = np.minimum(rng.integers(0, 80, size=6), len(data) - starts).astype(np.int64)
    for ros1 in (True, False):
        stamps, seq, frames, fits, values, names = _bag_scan.decode_stamped(
            data, starts, sizes, ros1, 6)
        assert values.shape == (6, 6) and (frames[fits == 0] == -1).all()
        message, *_, poses, fits, names = _bag_scan.decode_tf(data, starts, sizes, ros1)
        assert poses.shape == (len(message), 7) and set(message.tolist()) <= set(
            np.flatnonzero(fits).tolist())
    with pytest.raises(ValueError, match="outside the buffer"):
        _bag_scan.decode_stamped(data, np.array([len(data)], dtype=np.int64),
                                 np.array([1], dtype=np.int64), True, 6)
