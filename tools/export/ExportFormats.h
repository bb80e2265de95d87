// The document formats of `tq export`, chosen by a file name's extension, and
// the one call that writes a document in any of them.
#pragma once

#include <ostream>
#include <string>

#include "export/InkDocument.h"

namespace tqtool {

enum class ExportFormat { Xopp, Inkml, Pdf, Png, Svg };

// From the extension of `name` (".xopp", ".PDF", ...); false for any other.
bool FormatFromName(const std::string& name, ExportFormat& format);

struct ExportRequest {
  ExportFormat format = ExportFormat::Pdf;
  size_t pageIndex = 0;  // PNG and SVG: the one page drawn, from 0
  double dpi = kDefaultDpi;  // PNG
};

// False with the reason when the request cannot be met before anything is
// written: a page the document lacks, a PNG too large.
bool CanWrite(const InkDocument& document, const ExportRequest& request, std::string& error);
// False with the reason in `error`.
bool WriteDocument(const InkDocument& document, const ExportRequest& request, std::ostream& out,
                   std::string& error);

}  // namespace tqtool
