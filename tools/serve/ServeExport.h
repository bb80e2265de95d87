// The download of one page for a viewer: the same picture `tq export` makes.
#pragma once

#include <cstddef>
#include <string>

#include "export/InkDocument.h"
#include "ink/StrokeModel.h"

namespace tqtool {

enum class PageFormat { Svg, Pdf };

// Writes `page` of a board `width` by `height` units (as the port reports
// them) in the pens' styles into `body` with its media type; false with the
// reason when this build cannot make it.
bool ExportPage(const InkPage& page, unsigned width, unsigned height, const PenStyles& pens, PageFormat format,
                std::string& body, std::string& mediaType, std::string& error);

}  // namespace tqtool
