// The session as W3C InkML 1.0: one <trace> of X Y pairs in board units per
// stroke, a <brush> per pen code, one <traceGroup> per board page. The board
// unit and the scale travel with the ink as the channels' resolution, so a
// reader can size the ink on paper.
#pragma once

#include <ostream>
#include <string>

#include "export/InkDocument.h"

namespace tqtool {

// False with the reason in `error` when `out` refuses the bytes.
bool WriteInkml(const InkDocument& document, std::ostream& out, std::string& error);

}  // namespace tqtool
