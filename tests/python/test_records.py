"""Configuration records: defaults, field conversions, the policy enumeration and the views."""
import collections
import gc

import numpy as np
import pytest

from conftest import IDENTITY_ENTRIES, make_config


def test_defaults(ext, kc):
    cfg = ext.KivoTfConfig()
    assert (cfg.name, cfg.policy) == ("", kc.KivoControlBlockPolicy.BestEffort)
    assert type(cfg.policy) is kc.KivoControlBlockPolicy
    assert [(cfg.input_ref_point.origin, cfg.input_ref_point.translation),
            (cfg.output_expr_axes.origin, cfg.output_expr_axes.rotation)] == [
        ("", [0.0, 0.0, 0.0]), ("", [1.0, 0.0, 0.0, 0.0])]
    cfg.name = "a\0b·"                  # full UTF-8 length, NUL included
    assert cfg.name == "a\0b·"


@pytest.mark.parametrize("value", [(1, 2, 3), [1.0, 2, 3.0], range(1, 4), np.array([1.0, 2, 3]),
                                   np.arange(1, 4), collections.deque([1, 2, 3])])
def test_translation_accepts_three_numbers(ext, value):
    t = ext.Translation()
    t.translation = value
    first, second = t.translation, t.translation
    assert first == [1.0, 2.0, 3.0] and all(type(x) is float for x in first)
    first[0] = 5.0                      # a new list on every read
    assert second == [1.0, 2.0, 3.0] and first is not second and t.translation[0] == 1.0


@pytest.mark.parametrize("value", [[1, 2], [1, 2, 3, 4], [1, "2", 3], "abc", None, {1, 2, 3},
                                   (x for x in range(3)), np.zeros((1, 3)), [1j, 2, 3]])
def test_translation_refuses_other_values_and_keeps_field(ext, value):
    t = ext.Translation()
    t.translation = [7, 8, 9]
    with pytest.raises(TypeError):
        t.translation = value
    assert t.translation == [7.0, 8.0, 9.0]


def test_policy_conversions(ext, kc):
    pol, cfg = kc.KivoControlBlockPolicy, ext.KivoTfConfig()
    cfg.policy = pol.HardRt
    assert cfg.policy is pol.HardRt and cfg.policy == 2
    cfg.policy = 3
    assert cfg.policy is pol.StrictRt
    for bad in (7, -1, 1.0, "SoftRt", None, kc.KivoControlReturnCode.Error):
        with pytest.raises(TypeError):
            cfg.policy = bad
        assert cfg.policy is pol.StrictRt


def test_views_refer_to_the_config(ext):
    cfg = ext.KivoTfConfig()
    view = cfg.input_ref_point
    assert cfg.input_ref_point is view
    view.origin = "moving_frame"
    view.translation[0] = 1.0           # changes a copy only
    assert cfg.input_ref_point.origin == "moving_frame"
    assert cfg.input_ref_point.translation == [0, 0, 0]
    view.translation = [4, 5, 6]
    cfg.output_expr_axes.rotation = [0, 1, 0, 0]
    assert cfg.input_ref_point.translation == [4, 5, 6]
    assert cfg.output_expr_axes.rotation == [0, 1, 0, 0]


def test_view_keeps_config_alive(ext):
    cfg = ext.KivoTfConfig()
    cfg.output_ref_point.translation = [1, 2, 3]
    view = cfg.output_ref_point
    del cfg
    gc.collect()
    view.origin = "fixed_frame"
    assert (view.origin, view.translation) == ("fixed_frame", [1, 2, 3])


def test_assigning_a_record_copies_it(ext):
    cfg, rot = ext.KivoTfConfig(), ext.Rotation()
    rot.origin, rot.rotation = "fixed_frame", [0, 0, 0, 1]
    cfg.input_expr_axes = rot
    rot.origin = "changed"
    assert cfg.input_expr_axes.origin == "fixed_frame"
    assert cfg.input_expr_axes.rotation == [0, 0, 0, 1]
    for bad in (None, ext.Translation(), "fixed_frame"):
        with pytest.raises(TypeError):
            cfg.input_expr_axes = bad
    assert cfg.input_expr_axes.origin == "fixed_frame"


def test_block_takes_a_copy_of_a_config_or_subclass(ext):
    sub = type("MyConfig", (ext.KivoTfConfig,), {})()
    sub.name = "from_subclass"
    assert ext.KivoTfWrench(sub).name() == "from_subclass"
    cfg = make_config(ext, IDENTITY_ENTRIES)
    cfg.name = "twist_block"
    twist = ext.KivoTfTwist(cfg)
    cfg.name, cfg.output_ref_point.translation = "other", [1, 0, 0]
    out = np.zeros(6)
    twist.update(np.array([0, 0, 0, 0, 0, 1.0]), out)
    assert twist.name() == "twist_block"
    assert out.tolist() == [0, 0, 0, 0, 0, 1]   # with the changed config: [0, 1, 0, 0, 0, 1]
