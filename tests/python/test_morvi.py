"""The Python module against the program's files, on bad arrays and on unreadable files.

Run by ctest with PYTHONPATH at the built module; MORVI_BINARY names the morvi program and
MORVI_DATA_DIR the folder of ground-truth sequences (tests that need it are skipped without it).
"""
import os
import shutil
import subprocess

import cv2
import numpy as np
import pytest

import morvi

DATA_DIR = os.environ.get("MORVI_DATA_DIR", "")
MORVI_BINARY = os.environ.get("MORVI_BINARY", "")


def texture(height, width, shift, channels=3):
    """A small textured frame; `shift` moves the texture to the right."""
    y, x = np.mgrid[0:height, 0:width]
    planes = [((x - shift) * 37 + y * 11 + c * 60) % 200 + 20 for c in range(channels)]
    return np.stack(planes, axis=-1).astype(np.uint8)


def test_estimate_equals_the_programs_flo_file(tmp_path):
    venus = os.path.join(DATA_DIR, "middlebury", "Venus")
    if not DATA_DIR or not os.path.isdir(venus):
        pytest.skip("ground-truth data set not available")
    frames = tmp_path / "frames"
    frames.mkdir()
    for name in ("frame10.png", "frame11.png"):
        shutil.copy(os.path.join(venus, name), frames / name)
    subprocess.run([MORVI_BINARY, "--seed", "21", str(frames)], check=True, stdout=subprocess.DEVNULL)

    first = cv2.imread(str(frames / "frame10.png"), cv2.IMREAD_UNCHANGED)
    second = cv2.imread(str(frames / "frame11.png"), cv2.IMREAD_UNCHANGED)
    flow = morvi.estimate_flow(first, second, seed=21, threads=2)
    assert flow.dtype == np.float32 and flow.shape == first.shape[:2] + (2,)
    morvi.write_flo(tmp_path / "module.flo", flow)
    assert (tmp_path / "module.flo").read_bytes() == (frames / "frame10_morvi.flo").read_bytes()
    assert morvi.evaluate(morvi.read_flo(os.path.join(venus, "flow10.flo")), flow)["epe"] < 0.5


def test_matched_start_occlusions_and_confidence_equal_the_programs_files(tmp_path):
    venus = os.path.join(DATA_DIR, "middlebury", "Venus")
    if not DATA_DIR or not os.path.isdir(venus):
        pytest.skip("ground-truth data set not available")
    frames = tmp_path / "frames"
    frames.mkdir()
    for name in ("frame10.png", "frame11.png"):
        crop = cv2.imread(os.path.join(venus, name), cv2.IMREAD_UNCHANGED)[100:220, 150:310]
        cv2.imwrite(str(frames / name), crop)
    subprocess.run([MORVI_BINARY, "--seed", "22", "--init", "matches", "--occlusions", "--confidence", str(frames)],
                   check=True, stdout=subprocess.DEVNULL)

    first = cv2.imread(str(frames / "frame10.png"), cv2.IMREAD_UNCHANGED)
    second = cv2.imread(str(frames / "frame11.png"), cv2.IMREAD_UNCHANGED)
    flow, mask = morvi.estimate_flow_and_occlusions(first, second, seed=22, init="matches")
    morvi.write_flo(tmp_path / "module.flo", flow)
    assert (tmp_path / "module.flo").read_bytes() == (frames / "frame10_morvi.flo").read_bytes()
    assert mask.dtype == np.uint8 and mask.shape == first.shape[:2]
    assert np.array_equal(mask, cv2.imread(str(frames / "frame10_morviocc.pgm"), cv2.IMREAD_UNCHANGED))
    flow_too, confidence = morvi.estimate_flow(first, second, seed=22, init="matches", confidence=True)
    assert np.array_equal(flow_too, flow)
    assert confidence.dtype == np.float32 and confidence.shape == first.shape[:2]
    written = cv2.imread(str(frames / "frame10_morviconf.png"), cv2.IMREAD_UNCHANGED)
    assert written.dtype == np.uint16
    assert confidence.min() >= 0.0 and confidence.max() <= 1.0
    # the file holds the map rounded to 16 bits (a product exactly halfway may round either way)
    assert np.abs(np.round(confidence.astype(np.float64) * 65535) - written).max() <= 1
    fused_dir = tmp_path / "fused"
    subprocess.run([MORVI_BINARY, "--seed", "22", "--init", "fused", str(frames), ".png", "8", str(fused_dir)],
                   check=True, stdout=subprocess.DEVNULL)
    morvi.write_flo(tmp_path / "fused.flo", morvi.estimate_flow(first, second, seed=22, init="fused"))
    assert (tmp_path / "fused.flo").read_bytes() == (fused_dir / "frame10_morvi.flo").read_bytes()
    with pytest.raises(ValueError, match="init must be 'pyramid', 'matches' or 'fused', not 'fast'"):
        morvi.estimate_flow(first, second, init="fast")
    with pytest.raises(ValueError, match="solver must be 'reference' or 'fast', not 'x'"):
        morvi.estimate_flow(first, second, solver="x")
    with pytest.raises(ValueError, match="solver"):
        morvi.estimate_flow_and_occlusions(first, second, solver="matches")


def test_scale_equals_the_programs_scale(tmp_path):
    venus = os.path.join(DATA_DIR, "middlebury", "Venus")
    if not DATA_DIR or not os.path.isdir(venus):
        pytest.skip("ground-truth data set not available")
    frames = tmp_path / "frames"
    frames.mkdir()
    for name in ("frame10.png", "frame11.png"):
        crop = cv2.imread(os.path.join(venus, name), cv2.IMREAD_UNCHANGED)[100:221, 150:311]
        cv2.imwrite(str(frames / name), crop)
    subprocess.run([MORVI_BINARY, "--seed", "23", "--scale", "0.5", str(frames)], check=True,
                   stdout=subprocess.DEVNULL)

    first = cv2.imread(str(frames / "frame10.png"), cv2.IMREAD_UNCHANGED)
    second = cv2.imread(str(frames / "frame11.png"), cv2.IMREAD_UNCHANGED)
    flow = morvi.estimate_flow(first, second, seed=23, threads=2, scale=0.5)
    assert flow.shape == (121, 161, 2)
    morvi.write_flo(tmp_path / "module.flo", flow)
    assert (tmp_path / "module.flo").read_bytes() == (frames / "frame10_morvi.flo").read_bytes()
    for bad in (0.0, 2.0, -0.5, float("nan"), 1.0000001):
        with pytest.raises(ValueError, match="scale"):
            morvi.estimate_flow(first, second, scale=bad)
        with pytest.raises(ValueError, match="scale"):
            morvi.estimate_flow_and_occlusions(first, second, scale=bad)


def test_flo_round_trip_keeps_every_bit(tmp_path):
    rng = np.random.default_rng(7)
    flow = rng.normal(scale=20.0, size=(5, 7, 2)).astype(np.float32)
    flow[0, 0] = (np.nan, np.inf)
    flow[4, 6] = (-0.0, 1e10)
    morvi.write_flo(str(tmp_path / "a.flo"), flow)
    data = (tmp_path / "a.flo").read_bytes()
    assert data[:4] == b"PIEH" and len(data) == 12 + 8 * 5 * 7
    back = morvi.read_flo(tmp_path / "a.flo")
    assert back.dtype == np.float32 and back.shape == (5, 7, 2)
    assert back.tobytes() == flow.tobytes()


def test_non_contiguous_views_give_the_flow_of_their_copies():
    first = texture(60, 90, 0)
    second = texture(60, 90, 2)
    views = (first[::2, 10:70], second[::2, 10:70])  # every other row of a column range
    assert not views[0].flags.c_contiguous
    copies = tuple(np.ascontiguousarray(view) for view in views)
    from_views = morvi.estimate_flow(*views, seed=4, threads=1)
    from_copies = morvi.estimate_flow(*copies, seed=4, threads=1)
    assert from_views.tobytes() == from_copies.tobytes()
    rgb_view = first[:, :, ::-1]  # a negative stride over the channels
    unmoved = morvi.warp_back(rgb_view, np.zeros((60, 90, 2), np.float32))
    assert unmoved.tobytes() == np.ascontiguousarray(rgb_view).tobytes()


def test_read_only_and_memory_mapped_arrays_are_read(tmp_path):
    first = texture(24, 32, 0)
    second = texture(24, 32, 1)
    flow = morvi.estimate_flow(first, second, seed=6, threads=1)
    np.save(tmp_path / "flow.npy", flow)
    np.save(tmp_path / "first.npy", first)
    mapped_flow = np.load(tmp_path / "flow.npy", mmap_mode="r")
    mapped_first = np.load(tmp_path / "first.npy", mmap_mode="r")
    locked_second = second.copy()
    locked_second.setflags(write=False)
    buffered_flow = np.frombuffer(flow.tobytes(), np.float32).reshape(flow.shape)
    for frozen in (mapped_flow, mapped_first, locked_second, buffered_flow):
        assert not frozen.flags.writeable

    assert morvi.estimate_flow(mapped_first, locked_second, seed=6, threads=1).tobytes() == flow.tobytes()
    morvi.write_flo(tmp_path / "mapped.flo", mapped_flow)
    assert morvi.read_flo(tmp_path / "mapped.flo").tobytes() == flow.tobytes()
    assert np.array_equal(morvi.flow_to_colour(buffered_flow), morvi.flow_to_colour(flow))
    assert np.array_equal(morvi.warp_back(locked_second, mapped_flow), morvi.warp_back(second, flow))
    assert morvi.evaluate(mapped_flow, buffered_flow)["epe"] == 0.0


def test_numpy_integers_are_integers_but_floats_and_truth_values_are_not():
    first = texture(16, 20, 0)
    second = texture(16, 20, 1)
    flow = morvi.estimate_flow(first, second, seed=5, threads=1)
    same = morvi.estimate_flow(first, second, seed=np.uint32(5), threads=np.int64(1))
    assert same.tobytes() == flow.tobytes()
    for bad in (1.0, np.float64(1.0), True, np.bool_(True), np.int64(0), np.int64(1025)):
        with pytest.raises(ValueError, match="threads"):
            morvi.estimate_flow(first, second, threads=bad)
    for bad in (5.0, np.float32(5.0), np.int64(-1), np.uint64(2**32)):
        with pytest.raises(ValueError, match="seed"):
            morvi.estimate_flow(first, second, seed=bad)


def test_bad_arrays_and_arguments_raise_value_error():
    frame = texture(12, 16, 0)
    with pytest.raises(ValueError, match="dtype float32"):
        morvi.estimate_flow(frame.astype(np.float32), frame)
    with pytest.raises(ValueError, match="differ in size"):
        morvi.estimate_flow(frame, frame[:, :15])
    with pytest.raises(ValueError, match="differ in channel count"):
        morvi.estimate_flow(frame, frame[:, :, 0])
    with pytest.raises(ValueError, match="empty"):
        morvi.estimate_flow(np.zeros((0, 16, 3), np.uint8), frame)
    with pytest.raises(ValueError, match=r"shape \(H, W\) or \(H, W, C\)"):
        morvi.estimate_flow(frame.ravel(), frame.ravel())
    with pytest.raises(ValueError, match="5 channels"):
        morvi.estimate_flow(np.zeros((12, 16, 5), np.uint8), np.zeros((12, 16, 5), np.uint8))
    with pytest.raises(ValueError, match="seed"):
        morvi.estimate_flow(frame, frame, seed=-1)
    with pytest.raises(ValueError, match="threads"):
        morvi.estimate_flow(frame, frame, threads=0)
    with pytest.raises(ValueError, match="smoothness"):
        morvi.estimate_flow(frame, frame, smoothness=float("nan"))
    flow = np.zeros((12, 16, 2), np.float32)
    with pytest.raises(ValueError, match="float64"):
        morvi.flow_to_colour(flow.astype(np.float64))
    with pytest.raises(ValueError, match=r"shape \(H, W, 2\)"):
        morvi.write_flo("unused.flo", flow[:, :, 0])
    with pytest.raises(ValueError, match="scale"):
        morvi.flow_to_colour(flow, scale=0.0)
    with pytest.raises(ValueError, match="sizes differ"):
        morvi.evaluate(flow, flow[:, :15])
    with pytest.raises(ValueError, match="flow is 16x11"):
        morvi.warp_back(frame, flow[:11])


def test_unreadable_or_unwritable_files_raise_os_error(tmp_path):
    with pytest.raises(OSError, match="missing.flo"):
        morvi.read_flo(tmp_path / "missing.flo")
    with pytest.raises(OSError):
        morvi.read_flo(tmp_path)
    (tmp_path / "short.flo").write_bytes(b"PIEH\x02\x00\x00\x00\x02\x00\x00\x00")
    with pytest.raises(OSError, match="short.flo"):
        morvi.read_flo(tmp_path / "short.flo")
    with pytest.raises(OSError, match="is a directory"):
        morvi.write_flo(tmp_path, np.zeros((2, 2, 2), np.float32))
    with pytest.raises(OSError, match="missing/a.flo: No such file or directory"):
        morvi.write_flo(tmp_path / "missing" / "a.flo", np.zeros((2, 2, 2), np.float32))


def test_every_function_has_a_docstring():
    for name in ("estimate_flow", "read_flo", "write_flo", "flow_to_colour", "warp_back", "evaluate"):
        assert name + "(" in getattr(morvi, name).__doc__
