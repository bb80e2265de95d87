// The one page of `tq serve`: HTML, style and script in one text.
#pragma once

namespace tqtool {

extern const char kServePage[];

}  // namespace tqtool
