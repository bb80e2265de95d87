"""What a board wrote, as strokes: pen messages gathered per pen code, the
eraser's footprints beside them, and pages.

A pen stroke arrives as pen-down, moves, pen-up; the pen-up adds no point.
The eraser's footprint arrives the same way, as one stroke of eight points
that walks the rectangle's sides and both diagonals (corners 1, 2, 3, 1, 4,
3, 4, 2); it is told from ink by that shape, since pen code 0 is also a real
pen. The board's flush (board event 0) starts a new page, unless the page is
still empty: the board flushes at rest too.

The whiteboard keeps what the eraser did not touch: a stroke point inside a
footprint made after it is gone. `Page.remaining` gives what is left, stroke
pieces cut where the eraser passed; `Page.strokes` keeps what was written.
"""

from dataclasses import dataclass, field

from . import events as _events


@dataclass(frozen=True)
class Stroke:
    pen: int
    order: int  # place among the page's strokes and footprints
    points: tuple  # (x, y) pairs


@dataclass(frozen=True)
class Footprint:
    order: int
    corners: tuple  # four (x, y) pairs in order around the rectangle


@dataclass
class Page:
    strokes: list = field(default_factory=list)
    footprints: list = field(default_factory=list)

    def empty(self):
        return not self.strokes and not self.footprints

    def by_pen(self, remaining=False):
        """The page's strokes (or what is left of them) per pen code."""
        pens = {}
        for stroke in self.remaining if remaining else self.strokes:
            pens.setdefault(stroke.pen, []).append(stroke)
        return pens

    @property
    def remaining(self):
        """Every stroke cut where a later footprint covers it, pieces of one
        point included; footprints themselves are not ink."""
        boxes = [_box(footprint) for footprint in self.footprints]
        left = []
        for stroke in self.strokes:
            later = [(f, b) for f, b in zip(self.footprints, boxes) if f.order > stroke.order]
            piece = []
            for point in stroke.points:
                if any(_holds(b, point) and inside_footprint(f, point) for f, b in later):
                    if piece:
                        left.append(Stroke(stroke.pen, stroke.order, tuple(piece)))
                    piece = []
                else:
                    piece.append(point)
            if piece:
                left.append(Stroke(stroke.pen, stroke.order, tuple(piece)))
        return left


def is_footprint_outline(points):
    """True when the eight points walk a footprint's outline."""
    p = points
    return (len(p) == 8 and p[0] == p[3] and p[2] == p[5] and p[4] == p[6] and p[1] == p[7]
            and p[0] != p[2])


def footprint_corners(points):
    """The outline walks corners 1, 2, 3, 1, 4, 3, 4, 2, which lie in that
    order around the rectangle."""
    return (points[0], points[1], points[2], points[4])


def inside_footprint(footprint, point):
    """True when the point lies inside the footprint or on its edge: on the
    same side of all four edges of the convex outline."""
    positive = negative = False
    corners = footprint.corners
    px, py = point
    for i in range(4):
        (ax, ay), (bx, by) = corners[i], corners[(i + 1) % 4]
        cross = (bx - ax) * (py - ay) - (by - ay) * (px - ax)
        positive = positive or cross > 0
        negative = negative or cross < 0
    return not (positive and negative)


def _box(footprint):
    xs = [c[0] for c in footprint.corners]
    ys = [c[1] for c in footprint.corners]
    return min(xs), min(ys), max(xs), max(ys)


def _holds(box, point):
    return box[0] <= point[0] <= box[2] and box[1] <= point[1] <= box[3]


class _Model:
    def __init__(self, page_at_flush):
        self.page_at_flush = page_at_flush
        self.pages = [Page()]
        self.open = None  # (pen, [points]) of the stroke being written
        self.order = 0

    def add(self, event):
        kind = event.kind
        if kind == _events.DOWN:
            self.close_stroke()  # a pen-down without the up before it still starts anew
            self.open = (event.pen, [(event.x, event.y)])
        elif kind == _events.MOVE:
            if self.open is None:
                self.open = (event.pen, [])
            self.open[1].append((event.x, event.y))
        elif kind == _events.UP:
            self.close_stroke()
        elif kind == _events.BOARD and event.code == 0 and self.page_at_flush:
            self.close_stroke()
            if not self.pages[-1].empty():
                self.pages.append(Page())

    def close_stroke(self):
        if self.open is None:
            return
        pen, points = self.open
        self.open = None
        page = self.pages[-1]
        if is_footprint_outline(points):
            page.footprints.append(Footprint(self.order, footprint_corners(points)))
        elif points:
            page.strokes.append(Stroke(pen, self.order, tuple(points)))
        else:
            return
        self.order += 1


def strokes(events, page_at_flush=True):
    """The pages of a session from its events (a live board's or a replay's).
    Never empty: the last page is the one being written. A stroke still open
    at the end counts as ended there."""
    model = _Model(page_at_flush)
    for event in events:
        model.add(event)
    model.close_stroke()
    return model.pages
