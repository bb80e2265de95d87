"""The eraser's rules, as the tools apply them: the C++ ink code behind the
native entry beside the library (libtqapi_replay.so).

A footprint arrives as one stroke of eight points that walks the rectangle's
sides and both diagonals (corners 1, 2, 3, 1, 4, 3, 4, 2); a stroke point
inside a footprint made after it is gone."""

import ctypes

from . import _native as n


def _array(kind, values, size=None):
    """A C array of `values` (or `size` zeros), never of length 0."""
    values = list(values)
    return (kind * max(size if size is not None else len(values), 1))(*values)


def _ints(values):
    return _array(ctypes.c_int, values)


def _flat(points):
    return [v for point in points for v in point]


def _outline(points):
    """The four corners when the points walk a footprint's outline, else None."""
    corners = (ctypes.c_int * 8)()
    if not n.replay_entry().tq_footprint_outline(_ints(_flat(points)), len(points), corners):
        return None
    return tuple((corners[i], corners[i + 1]) for i in range(0, 8, 2))


def is_footprint_outline(points):
    """True when the eight points walk a footprint's outline."""
    return _outline(points) is not None


def footprint_corners(points):
    """The corners, in order around the rectangle, of a footprint's outline."""
    corners = _outline(points)
    if corners is None:
        raise ValueError("the points do not walk a footprint's outline")
    return corners


def inside_footprint(footprint, point):
    """True when the point lies inside the footprint or on its edge."""
    return bool(n.replay_entry().tq_inside_footprint(_ints(_flat(footprint.corners)), *point))


def remaining(strokes, footprints):
    """What is left of the strokes (each with `order` and `points`): per piece,
    the index of its stroke and its points, every stroke cut where a later
    footprint covers it."""
    points = [point for stroke in strokes for point in stroke.points]
    xy = _array(ctypes.c_int, (), 2 * len(points))
    lengths = _array(ctypes.c_int, (), len(points))
    owners = _array(ctypes.c_int, (), len(points))
    pieces = n.replay_entry().tq_remaining(
        _ints(_flat(points)), _ints(len(s.points) for s in strokes),
        _array(ctypes.c_int64, (s.order for s in strokes)), len(strokes),
        _ints(_flat(corner for f in footprints for corner in f.corners)),
        _array(ctypes.c_int64, (f.order for f in footprints)), len(footprints),
        xy, lengths, owners)
    left, at = [], 0
    for i in range(pieces):
        length = lengths[i]
        left.append((owners[i], tuple((xy[2 * j], xy[2 * j + 1]) for j in range(at, at + length))))
        at += length
    return left
