"""The stroke model's rules, case by case, in the same table as the tools'
C++ model: where a stroke starts and ends, where a page breaks, what the
eraser leaves on the board."""

import unittest

import tqapi
from tqapi import Event
from tqapi.strokes import Footprint, footprint_corners, inside_footprint, is_footprint_outline

from support import library


def setUpModule():
    # The eraser's rules are the tools' C++ ink code in the native entry.
    library()


def pen(kind, x, y, code):
    return Event(kind, x, y, code)


def line(code, y, xs):
    steps = [pen("down" if i == 0 else "move", x, y, code) for i, x in enumerate(xs)]
    return steps + [pen("up", xs[-1], y, code)]


def eraser(x, y, size):
    """The outline as the library sends it: corners 1, 2, 3, 1, 4, 3, 4, 2 of
    a rectangle whose corners 1 to 4 lie in order around it, then a pen-up at
    the break marker's place."""
    c = [(x, y), (x + size, y), (x + size, y + size), (x, y + size)]
    walk = [0, 1, 2, 0, 3, 2, 3, 1]
    steps = [pen("down" if i == 0 else "move", *c[w], 0) for i, w in enumerate(walk)]
    return steps + [pen("up", 140, 0, 0)]


FLUSH = [Event("board", code=0, port=1)]


def describe(strokes):
    return "|".join(f"{s.pen}:" + " ".join(f"{x},{y}" for x, y in s.points) for s in strokes)


CASES = [
    # name, events, page at flush, per page: written, left, footprints
    ("one stroke", line(2, 5, [0, 10, 20]), True, ["2:0,5 10,5 20,5"], ["2:0,5 10,5 20,5"], [0]),
    ("pen codes kept apart", line(1, 0, [0, 1]) + line(0, 9, [3]), True,
     ["1:0,0 1,0|0:3,9"], ["1:0,0 1,0|0:3,9"], [0]),
    ("a move without a down starts a stroke",
     [pen("move", 4, 4, 3), pen("move", 5, 4, 3), pen("up", 5, 4, 3)], True,
     ["3:4,4 5,4"], ["3:4,4 5,4"], [0]),
    ("a down without an up ends the stroke before it",
     [pen("down", 0, 0, 1), pen("move", 1, 0, 1), pen("down", 7, 7, 1), pen("up", 7, 7, 1)], True,
     ["1:0,0 1,0|1:7,7"], ["1:0,0 1,0|1:7,7"], [0]),
    ("a footprint is not ink", line(1, 0, [0, 500]) + eraser(1000, 1000, 40), True,
     ["1:0,0 500,0"], ["1:0,0 500,0"], [1]),
    ("a later footprint cuts a stroke in two", line(1, 50, [0, 10, 20, 30, 40]) + eraser(15, 40, 10),
     True, ["1:0,50 10,50 20,50 30,50 40,50"], ["1:0,50 10,50|1:30,50 40,50"], [1]),
    ("points on the footprint's edge are erased", line(1, 50, [0, 10, 20, 30]) + eraser(10, 40, 10),
     True, ["1:0,50 10,50 20,50 30,50"], ["1:0,50|1:30,50"], [1]),
    ("a stroke written after the footprint stays", eraser(0, 0, 100) + line(1, 50, [10, 20]), True,
     ["1:10,50 20,50"], ["1:10,50 20,50"], [1]),
    ("a stroke wholly erased leaves nothing", line(4, 5, [1, 2, 3]) + eraser(0, 0, 10), True,
     ["4:1,5 2,5 3,5"], [""], [1]),
    ("the flush starts a page", line(1, 0, [0, 1]) + FLUSH + line(2, 0, [5, 6]), True,
     ["1:0,0 1,0", "2:5,0 6,0"], ["1:0,0 1,0", "2:5,0 6,0"], [0, 0]),
    ("a flush of an empty page starts none", FLUSH * 2 + line(1, 0, [0, 1]) + FLUSH * 2, True,
     ["1:0,0 1,0", ""], ["1:0,0 1,0", ""], [0, 0]),
    ("a footprint erases only on its own page", line(1, 5, [1, 2]) + FLUSH + eraser(0, 0, 10), True,
     ["1:1,5 2,5", ""], ["1:1,5 2,5", ""], [0, 1]),
    ("without paging the flush changes nothing", line(1, 0, [0, 1]) + FLUSH + line(2, 0, [5]), False,
     ["1:0,0 1,0|2:5,0"], ["1:0,0 1,0|2:5,0"], [0]),
    ("the flush ends an open stroke",
     [pen("down", 0, 0, 1), pen("move", 1, 0, 1)] + FLUSH + [pen("move", 2, 0, 1), pen("up", 2, 0, 1)],
     True, ["1:0,0 1,0", "1:2,0"], ["1:0,0 1,0", "1:2,0"], [0, 0]),
    ("a stroke open at the end counts", [pen("down", 3, 3, 2), pen("move", 4, 3, 2)], True,
     ["2:3,3 4,3"], ["2:3,3 4,3"], [0]),
    ("other events change nothing",
     line(1, 0, [0, 1]) + [Event("line_error", code=8), Event("check"), Event("board", code=2)],
     True, ["1:0,0 1,0"], ["1:0,0 1,0"], [0]),
]


class StrokeModelTest(unittest.TestCase):
    def test_strokes_pages_and_erasing(self):
        for name, events, page_at_flush, written, left, footprints in CASES:
            with self.subTest(name):
                pages = tqapi.strokes(events, page_at_flush=page_at_flush)
                self.assertEqual([describe(p.strokes) for p in pages], written)
                self.assertEqual([describe(p.remaining) for p in pages], left)
                self.assertEqual([len(p.footprints) for p in pages], footprints)

    def test_strokes_per_pen(self):
        page = tqapi.strokes(line(1, 0, [0, 1]) + line(3, 5, [2]) + line(1, 9, [4, 5]))[0]
        self.assertEqual({code: describe(s) for code, s in page.by_pen().items()},
                         {1: "1:0,0 1,0|1:4,9 5,9", 3: "3:2,5"})

    def test_footprint_outline_is_told_from_ink_by_its_shape(self):
        outline = [(0, 0), (9, 0), (9, 9), (0, 0), (0, 9), (9, 9), (0, 9), (9, 0)]
        ink = outline[:7] + [(9, 1)]  # eight points of a pen that happen to revisit places
        for points, expected in [(outline, True), (ink, False), (outline[:7], False),
                                 ([(3, 3)] * 8, False)]:
            with self.subTest(points=points):
                self.assertEqual(is_footprint_outline(points), expected)

    def test_inside_a_rotated_footprint(self):
        diamond = Footprint(0, ((10, 0), (20, 10), (10, 20), (0, 10)))  # the eraser at 45 degrees
        for point, inside in [((10, 10), True), ((10, 0), True), ((15, 5), True), ((1, 1), False),
                              ((19, 19), False), ((20, 10), True), ((21, 10), False),
                              ((5, 16), False)]:
            with self.subTest(point=point):
                self.assertEqual(inside_footprint(diamond, point), inside)


    def test_outlines_corners_and_insides_as_the_tools_tell_them(self):
        walk = [0, 1, 2, 0, 3, 2, 3, 1]
        outlines = [
            # name, corners in order around the rectangle, (point, inside)
            ("upright", ((0, 0), (9, 0), (9, 9), (0, 9)),
             [((4, 4), True), ((9, 9), True), ((10, 4), False), ((-1, 0), False)]),
            ("at 45 degrees", ((10, 0), (20, 10), (10, 20), (0, 10)),
             [((10, 10), True), ((15, 5), True), ((1, 1), False), ((16, 16), False)]),
            # Cross products beyond 32 bits: the whole signed 16-bit range.
            ("the board's whole range", ((-32768, -32768), (32767, -32768), (32767, 32767), (-32768, 32767)),
             [((0, 0), True), ((32767, 0), True), ((-32768, 32767), True), ((40000, 0), False),
              ((0, -40000), False)]),
        ]
        for name, corners, points in outlines:
            with self.subTest(name):
                outline = [corners[w] for w in walk]
                self.assertTrue(is_footprint_outline(outline))
                self.assertEqual(footprint_corners(outline), corners)
                footprint = Footprint(0, corners)
                for point, inside in points:
                    self.assertEqual(inside_footprint(footprint, point), inside, point)
        with self.assertRaises(ValueError):
            footprint_corners([(0, 0)] * 8)


if __name__ == "__main__":
    unittest.main()
