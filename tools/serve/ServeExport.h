// The download of one page for a viewer: the same picture `tq export` makes.
#pragma once

#include <cstddef>
#include <string>

#include "ink/StrokeModel.h"

namespace tqtool {

enum class PageFormat { Svg, Pdf };

// Writes page `page` (counted from 0, one of the model's) into `body` with
// its media type; false with the reason when this build cannot make it.
bool ExportPage(const StrokeModel& model, size_t page, PageFormat format, std::string& body,
                std::string& mediaType, std::string& error);

}  // namespace tqtool
