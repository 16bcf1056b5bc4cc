"""Messages read straight from their bytes equal rosbags' deserialisation of the same bytes: every
message type the tools read, ROS 1 and CDR in both byte orders, frame ids of every length (all
alignments), and bytes that are not such a message refused."""
import numpy as np
import pytest

import bagmaker
from kivo_tf_tools import _decode
from kivo_tf_tools._bag_messages import signal_of

TYPES = {
    "geometry_msgs/msg/WrenchStamped": "KivoTfWrench",
    "geometry_msgs/msg/TwistStamped": "KivoTfTwist",
    "geometry_msgs/msg/PoseStamped": "KivoTfPose",
    "sensor_msgs/msg/Imu": "KivoTfImu",
}
ENCODINGS = ["ros1", "cdr-le", "cdr-be"]


def serialize(store, encoding, message, msgtype):
    if encoding == "ros1":
        return bytes(store.serialize_ros1(message, msgtype))
    return bytes(store.serialize_cdr(message, msgtype, little_endian=encoding == "cdr-le"))


def deserialize(store, encoding, raw, msgtype):
    if encoding == "ros1":
        return store.deserialize_ros1(raw, msgtype)
    return store.deserialize_cdr(raw, msgtype)


def store_of(encoding):
    return bagmaker.typestore("ros1" if encoding == "ros1" else "mcap")


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("msgtype", TYPES)
def test_signals_equal_rosbags(encoding, msgtype):
    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    decode = _decode.decoder(store, msgtype, encoding == "ros1")
    assert decode is not None
    rng = np.random.default_rng(len(msgtype))
    for length in range(0, 12):  # every alignment of what follows the frame id
        values = rng.normal(size=7).tolist()
        covariances = (rng.normal(size=9), rng.normal(size=9))
        stamp = (2**32 - 3) * 10**9 + 999_999_999 if encoding == "ros1" else 1_700_000_000_5
        frame = "é" * (length // 2) + "f" * (length % 2)
        message = bagmaker.sensor_message(store, kind, msgtype, stamp, frame, values,
                                          covariances)
        raw = serialize(store, encoding, message, msgtype)
        got = decode(raw)
        back = deserialize(store, encoding, raw, msgtype)
        want = list(signal_of(TYPES[msgtype])(back))
        if msgtype == "sensor_msgs/msg/Imu":
            want += [*back.linear_acceleration_covariance, *back.angular_velocity_covariance]
        assert list(got.values) == want
        assert got.frame == back.header.frame_id == frame
        assert got.stamp == stamp
        assert got.seq == getattr(back.header, "seq", None)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_transforms_equal_rosbags(encoding):
    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    decode = _decode.tf_decoder(store, encoding == "ros1")
    assert decode is not None
    rng = np.random.default_rng(3)
    pairs = []
    for k in range(7):
        q = rng.normal(size=4)
        pairs.append((("p" * k, "child" + "x" * (3 * k)), (rng.normal(size=3).tolist(),
                                                          (q / np.linalg.norm(q)).tolist())))
    message = bagmaker.tf_message(store, kind, 123_456_789_012, pairs)
    raw = serialize(store, encoding, message, "tf2_msgs/msg/TFMessage")
    got = decode(raw)
    back = deserialize(store, encoding, raw, "tf2_msgs/msg/TFMessage").transforms
    assert len(got) == len(back) == 7
    for mine, theirs in zip(got, back):
        t, q = theirs.transform.translation, theirs.transform.rotation
        assert mine == (theirs.header.frame_id, theirs.child_frame_id, 123_456_789_012,
                        (t.x, t.y, t.z, q.w, q.x, q.y, q.z))


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("spoil", ["short", "long", "bad utf-8", "no encapsulation"])
def test_bytes_that_are_not_the_message_are_refused(encoding, spoil):
    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    msgtype = "geometry_msgs/msg/WrenchStamped"
    raw = bytearray(serialize(store, encoding, bagmaker.sensor_message(
        store, kind, msgtype, 10**9, "abc", [1.0] * 6), msgtype))
    if spoil == "short":
        raw = raw[:-9]
    elif spoil == "long":
        raw += bytes(8)
    elif spoil == "bad utf-8":
        raw[raw.index(b"abc")] = 0xFF
    elif encoding != "ros1":
        raw[1] = 7
    else:
        raw = raw[:3]
    with pytest.raises(_decode.Undecodable):
        _decode.decoder(store, msgtype, encoding == "ros1")(bytes(raw))


def test_a_type_of_another_layout_gets_no_decoder():
    """A bag whose definition of a type differs from the layout read here is read by rosbags."""
    odd = bagmaker.typestore("mcap")
    odd.fielddefs["geometry_msgs/msg/WrenchStamped"] = odd.fielddefs["std_msgs/msg/Header"]
    assert _decode.decoder(odd, "geometry_msgs/msg/WrenchStamped", False) is None


@pytest.mark.parametrize("encoding", ["ros1", "cdr-le"])
@pytest.mark.parametrize("msgtype", TYPES)
def test_output_messages_are_the_bytes_rosbags_writes(encoding, msgtype):
    """The output of a block written from its fields equals rosbags' serialisation of the same
    message built field by field (the tools' other way of writing it)."""
    from kivo_tf_tools._bag_messages import make_output

    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    encode = _decode.encoder(store, msgtype, encoding == "ros1")
    assert encode is not None
    rng = np.random.default_rng(11)
    for length in range(0, 9):
        width = 7 if msgtype.endswith("PoseStamped") else 6
        row = rng.normal(size=width).tolist()
        covariances = (rng.normal(size=9), rng.normal(size=9))
        stamp = 4_000_000_123_456_789 if encoding == "ros1" else 1_700_000_000_000_000_001
        frame = "ü" * (length // 2) + "f" * (length % 2)
        template = bagmaker.sensor_message(store, kind, msgtype, stamp, "x", [0.0] * 7)
        if encoding == "ros1":
            template.header.seq = 77
        made = make_output(TYPES[msgtype], template, row, frame, covariances)
        want = serialize(store, encoding, made, msgtype)
        got = encode(stamp, frame, 77 if encoding == "ros1" else None, row, covariances)
        assert got == want


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("msgtype", TYPES)
def test_many_at_once_equal_one_by_one(encoding, msgtype):
    """Messages of several lengths and frame ids, with damaged ones among them: the rows read
    together equal the messages read one by one, and the damaged ones are left to them."""
    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    one = _decode.decoder(store, msgtype, encoding == "ros1")
    many = _decode.many_decoder(store, msgtype, encoding == "ros1")
    rng = np.random.default_rng(5)
    raws = []
    for k in range(40):
        frame = ["arm", "wrist", "ab", "ba", ""][k % 5]
        message = bagmaker.sensor_message(store, kind, msgtype, 10**9 + k, frame,
                                          rng.normal(size=7).tolist(),
                                          (rng.normal(size=9), rng.normal(size=9)))
        raws.append(serialize(store, encoding, message, msgtype))
    raws[7] = raws[7][:-1]  # short
    raws[12] = b"\x00\x01\x02"  # nothing of the layout
    start = 20 if encoding == "ros1" else 16  # a byte of the frame id "wrist"
    raws[21] = raws[21][:start] + b"\xff" + raws[21][start + 1:]  # not UTF-8
    sizes = np.array([len(raw) for raw in raws], dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
    got = many(b"".join(raws), starts, sizes)
    assert got.misfits == [7, 12, 21]
    for k, raw in enumerate(raws):
        if k in got.misfits:
            continue
        want = one(raw)
        assert (int(got.stamps[k]), got.frames[k]) == (want.stamp, want.frame)
        assert got.values[k].tolist() == list(want.values)
        if got.seq is not None:
            assert int(got.seq[k]) == want.seq


def joined(raws):
    sizes = np.array([len(raw) for raw in raws], dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
    return b"".join(raws), starts, sizes


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_transforms_read_together_equal_one_by_one(encoding):
    """TFMessages of 0 to 3 transforms and frame ids of every length, with damaged ones among
    them: read together, each whole message gives what it gives alone, in order, and a damaged
    one gives nothing and is marked."""
    from kivo_tf_tools import _bag_scan

    store = store_of(encoding)
    kind = "ros1" if encoding == "ros1" else "mcap"
    one = _decode.tf_decoder(store, encoding == "ros1")
    rng = np.random.default_rng(9)
    raws = []
    for k in range(30):
        pairs = [((f"/p{'a' * ((k + j) % 5)}", "c" * (k % 7)),
                  (rng.normal(size=3).tolist(), rng.normal(size=4).tolist()))
                 for j in range(k % 4)]
        raws.append(serialize(store, encoding, bagmaker.tf_message(store, kind, 10**9 + k, pairs),
                              "tf2_msgs/msg/TFMessage"))
    raws[5] = raws[5][:-3]  # short
    raws[9] = raws[9] + bytes(8)  # trailing bytes
    raws[14] = b"\x00"
    message, parents, children, stamps, poses, fits, names = _bag_scan.decode_tf(
        *joined(raws), encoding == "ros1")
    names = [name.decode() for name in names]
    got = [(names[p], names[c], s, tuple(v)) for p, c, s, v in
           zip(parents.tolist(), children.tolist(), stamps.tolist(), poses.tolist())]
    want, where = [], []
    for k, raw in enumerate(raws):
        try:
            transforms = one(raw)
        except _decode.Undecodable:
            assert not fits[k]
            continue
        assert fits[k]
        want += [tuple(tf) for tf in transforms]
        where += [k] * len(transforms)
    assert got == want and message.tolist() == where
    assert fits.tolist().count(0) == 3


@pytest.mark.parametrize("encoding", ["ros1", "cdr-le"])
@pytest.mark.parametrize("msgtype", TYPES)
def test_output_messages_made_together_equal_one_by_one(encoding, msgtype):
    store = store_of(encoding)
    ros1 = encoding == "ros1"
    one = _decode.encoder(store, msgtype, ros1)
    many = _decode.many_encoder(store, msgtype, ros1)
    rng = np.random.default_rng(2)
    count = 12
    width = 7 if msgtype.endswith("PoseStamped") else 6
    stamps = rng.integers(0, (2**32 if ros1 else 2**31) * 10**9 - 1, size=count)
    frames = [["sensor", "", "ä", "wrist_link"][k % 4] for k in range(count)]
    seq = rng.integers(0, 2**32, size=count) if ros1 else None
    values = rng.normal(size=(count, width))
    covariances = (rng.normal(size=(count, 9)), rng.normal(size=(count, 9)))
    data, starts, sizes = many(stamps, frames, seq, values, covariances)
    for k in range(count):
        want = one(int(stamps[k]), frames[k], int(seq[k]) if ros1 else None, values[k].tolist(),
                   (covariances[0][k].tolist(), covariances[1][k].tolist()))
        assert data[starts[k]:starts[k] + sizes[k]] == want
