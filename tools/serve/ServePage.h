// The one page of `tq serve`: the board's current page drawn on a canvas as
// the ink arrives, the earlier pages as their exported pictures, and whether
// the board is there. It asks the server only for /events and /page/K.svg.
//
// Written as tools/serve/page/index.html, page.css and page.js; the build
// puts the style and the script into the document and compiles its bytes in.
#pragma once

namespace tqtool {

extern const char kServePage[];

}  // namespace tqtool
