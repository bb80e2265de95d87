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
The eraser's rules are the tools' own (see `footprints`).
"""

from dataclasses import dataclass, field

from . import events as _events
from . import footprints as _footprints
# The eraser's rules, as this module has always offered them.
from .footprints import footprint_corners, inside_footprint, is_footprint_outline


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
        """True for a page nobody wrote on or erased."""
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
        return [Stroke(self.strokes[i].pen, self.strokes[i].order, points)
                for i, points in _footprints.remaining(self.strokes, self.footprints)]


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
