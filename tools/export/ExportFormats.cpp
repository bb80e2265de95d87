#include "export/ExportFormats.h"

#include <cctype>

#include "export/CairoWriter.h"
#include "export/InkmlWriter.h"
#include "export/XoppWriter.h"

namespace tqtool {

namespace {

struct NamedFormat {
  const char* extension;
  ExportFormat format;
};

constexpr NamedFormat kFormats[] = {{".xopp", ExportFormat::Xopp},
                                    {".inkml", ExportFormat::Inkml},
                                    {".pdf", ExportFormat::Pdf},
                                    {".png", ExportFormat::Png},
                                    {".svg", ExportFormat::Svg}};

bool OnePageFormat(ExportFormat format) {
  return format == ExportFormat::Png || format == ExportFormat::Svg;
}

}  // namespace

bool FormatFromName(const std::string& name, ExportFormat& format) {
  const size_t dot = name.find_last_of("./");
  if (dot == std::string::npos || name[dot] != '.') return false;
  std::string extension = name.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const NamedFormat& named : kFormats) {
    if (extension == named.extension) {
      format = named.format;
      return true;
    }
  }
  return false;
}

bool CanWrite(const InkDocument& document, const ExportRequest& request, std::string& error) {
  if (!OnePageFormat(request.format)) return true;
  if (request.pageIndex >= document.pages.size()) {
    error = "the session has " + std::to_string(document.pages.size()) + " page" +
            (document.pages.size() == 1 ? "" : "s") + ", no page " +
            std::to_string(request.pageIndex + 1);
    return false;
  }
  return request.format != ExportFormat::Png ||
         PngFits(document.pages[request.pageIndex], document.unitsPerMm, request.dpi, error);
}

bool WriteDocument(const InkDocument& document, const ExportRequest& request, std::ostream& out,
                   std::string& error) {
  if (!CanWrite(document, request, error)) return false;
  switch (request.format) {
    case ExportFormat::Xopp:
      return WriteXopp(document, out, error);
    case ExportFormat::Inkml:
      return WriteInkml(document, out, error);
    case ExportFormat::Pdf:
      return WritePdfDocument(document, out, error);
    case ExportFormat::Png:
      return WritePngPage(document, request.pageIndex, request.dpi, out, error);
    case ExportFormat::Svg:
      return WriteSvgPage(document, request.pageIndex, out, error);
  }
  return false;
}

}  // namespace tqtool
