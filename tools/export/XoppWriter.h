// The Xournal++ document: gzip-compressed XML with one <page> per board page
// (sized in points, 1/72 inch), one layer, and every stroke that is left on
// the board as a pen stroke in its pen's colour and width.
#pragma once

#include <ostream>
#include <string>

#include "export/InkDocument.h"

namespace tqtool {

// False with the reason in `error` when `out` refuses the bytes.
bool WriteXopp(const InkDocument& document, std::ostream& out, std::string& error);

}  // namespace tqtool
