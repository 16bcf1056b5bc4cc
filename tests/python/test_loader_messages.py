"""The loader's exceptions reach Python as RuntimeError whatever bytes their messages quote.

A configuration file need not be UTF-8, and the loader's message quotes the bytes where parsing
stopped. A message that is not UTF-8 arrives with each undecodable byte written as \\xNN; a message
that is UTF-8 arrives unchanged.
"""
import pytest

from conftest import BLOCK_CLASSES

PARSE_ERROR = "[json.exception.parse_error.101] parse error at line 1, column "

# File name, file contents, the end of the message that quotes them.
UNDECODABLE = [
    pytest.param("utf16.json", '{"tf_wrench_config": {}}'.encode("utf-16"),
                 "1: syntax error while parsing value - invalid literal; last read: '\\xff'",
                 id="utf-16 with byte-order mark"),
    pytest.param("stray.json", b'{"tf_imu_config": {"name": "a\xffb"}}',
                 "30: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; "
                 "last read: '\"a\\xff'",
                 id="invalid byte in a string"),
    pytest.param("lone.json", b'{"tf_pose_config": \x80}',
                 "20: syntax error while parsing value - invalid literal; "
                 "last read: '\"tf_pose_config\": \\x80'",
                 id="lone continuation byte"),
]


@pytest.mark.parametrize("file_name, contents, quoted", UNDECODABLE)
@pytest.mark.parametrize("name", BLOCK_CLASSES)
def test_undecodable_message_is_runtime_error_with_escaped_bytes(ext, tmp_path, name, file_name,
                                                                contents, quoted):
    path = tmp_path / file_name
    path.write_bytes(contents)
    with pytest.raises(Exception) as err:
        getattr(ext, name)(str(path))
    assert type(err.value) is RuntimeError
    assert str(err.value) == f"Failed to parse config file '{path}': {PARSE_ERROR}{quoted}"
    assert err.value.__cause__ is None and err.value.__context__ is None


@pytest.fixture
def non_ascii_dir(tmp_path):
    directory = tmp_path / "réglage µ 設定"
    directory.mkdir()
    return directory


def test_utf8_messages_arrive_unchanged(ext, non_ascii_dir):
    missing = non_ascii_dir / "absent.json"
    with pytest.raises(RuntimeError) as err:
        ext.KivoTfWrench(str(missing))
    assert str(err.value) == f"Could not open config file: {missing}"

    # Text quoted from the file that is UTF-8 stays text, not escapes.
    bad = non_ascii_dir / "bad.json"
    bad.write_bytes('{"tf_twist_config": {"name": "é" ] }'.encode())
    with pytest.raises(RuntimeError) as err:
        ext.KivoTfTwist(config_file=str(bad))
    assert str(err.value) == (
        f"Failed to parse config file '{bad}': {PARSE_ERROR}"
        "35: syntax error while parsing object - unexpected ']'; expected '}'")


def test_non_ascii_configuration_loads(ext, non_ascii_dir):
    path = non_ascii_dir / "cfg.json"
    path.write_text('{"tf_wrench_config": {"name": "capteur d\'effort — poignet"}}',
                    encoding="utf-8")
    assert ext.KivoTfWrench(str(path)).name() == "capteur d'effort — poignet"
