#include "export/InkmlWriter.h"

#include <cerrno>
#include <cstring>

#include "export/XmlText.h"
#include "ink/PenColours.h"

namespace tqtool {

namespace {

// The board as the ink's source: integer X and Y in board units, so many to
// the millimetre, over the board's width and largest height.
void WriteDefinitions(XmlText& xml, const InkDocument& document) {
  xml << "<definitions>\n<context xml:id=\"board\">\n<inkSource xml:id=\"board-source\" "
         "description=\"whiteboard pen-capture board\">\n"
         "<traceFormat>\n<channel name=\"X\" type=\"integer\"/>\n"
         "<channel name=\"Y\" type=\"integer\"/>\n</traceFormat>\n<channelProperties>\n";
  for (const char* channel : {"X", "Y"}) {
    xml << "<channelProperty channel=\"" << channel << "\" name=\"resolution\" value=\"";
    xml.Fixed(document.unitsPerMm, 3) << "\" units=\"1/mm\"/>\n";
  }
  xml << "</channelProperties>\n<activeArea width=\"";
  xml.Fixed(document.boardWidth / document.unitsPerMm, 1) << "\" height=\"";
  xml.Fixed(document.boardHeight / document.unitsPerMm, 1) << "\" units=\"mm\"/>\n";
  xml << "</inkSource>\n</context>\n";
  for (int code = 0; code < PenStyles::kCodes; ++code) {
    const PenStyle& style = document.pens.For(code);
    xml << "<brush xml:id=\"pen" << code << "\">\n<annotation type=\"penCode\">" << code
        << "</annotation>\n<brushProperty name=\"color\" value=\"" << ColourText(style.rgb)
        << "\"/>\n<brushProperty name=\"width\" value=\"";
    xml.Fixed(style.widthMm, 2) << "\" units=\"mm\"/>\n<brushProperty name=\"tip\" "
                                   "value=\"ellipse\"/>\n</brush>\n";
  }
  xml << "</definitions>\n";
}

void WriteTrace(XmlText& xml, const InkStroke& stroke) {
  xml << "<trace brushRef=\"#pen" << PenColourIndex(stroke.pen)
      << "\">";
  for (size_t i = 0; i < stroke.points.size(); ++i) {
    if (i > 0) xml << ", ";
    xml << stroke.points[i].x << " " << stroke.points[i].y;
  }
  xml << "</trace>\n";
}

}  // namespace

bool WriteInkml(const InkDocument& document, std::ostream& out, std::string& error) {
  XmlText xml([&out](const char* data, size_t length) {
    return static_cast<bool>(out.write(data, static_cast<std::streamsize>(length)));
  });
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<ink xmlns=\"http://www.w3.org/2003/InkML\">\n"
         "<annotation type=\"creator\">tq export</annotation>\n";
  WriteDefinitions(xml, document);
  for (size_t index = 0; index < document.pages.size(); ++index) {
    xml << "<traceGroup xml:id=\"page" << static_cast<long long>(index + 1)
        << "\" contextRef=\"#board\">\n<annotation type=\"page\">"
        << static_cast<long long>(index + 1) << "</annotation>\n";
    for (const InkStroke& stroke : document.pages[index].strokes) {
      if (!stroke.points.empty()) WriteTrace(xml, stroke);
    }
    xml << "</traceGroup>\n";
  }
  xml << "</ink>\n";
  if (!xml.Flush()) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tqtool
