#include "export/XoppWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "export/XmlText.h"

namespace tqtool {

namespace {

// gzip around deflate, written to a file as the compressed blocks come.
class GzipFile {
 public:
  explicit GzipFile(std::ostream& out) : m_out(out), m_block(64 * 1024) {
    // 15 window bits, plus 16 for the gzip wrapper.
    m_ready = deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                           Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~GzipFile() {
    if (m_ready) deflateEnd(&m_stream);
  }
  GzipFile(const GzipFile&) = delete;
  GzipFile& operator=(const GzipFile&) = delete;

  bool Write(const char* data, size_t length) {
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    m_stream.avail_in = static_cast<uInt>(length);
    return Run(Z_NO_FLUSH);
  }
  bool Finish() { return Run(Z_FINISH); }

 private:
  bool Run(int flush) {
    if (!m_ready) return false;
    int result = Z_OK;
    do {
      m_stream.next_out = m_block.data();
      m_stream.avail_out = static_cast<uInt>(m_block.size());
      result = deflate(&m_stream, flush);
      if (result == Z_STREAM_ERROR) return false;
      const size_t produced = m_block.size() - m_stream.avail_out;
      m_out.write(reinterpret_cast<const char*>(m_block.data()), static_cast<std::streamsize>(produced));
      if (!m_out) return false;
    } while (m_stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return true;
  }

  std::ostream& m_out;
  std::vector<Bytef> m_block;
  z_stream m_stream{};
  bool m_ready = false;
};

void WriteStroke(XmlText& xml, const InkStroke& stroke, const DocumentPage& page,
                 const InkDocument& document) {
  const PenStyle& style = document.pens.For(stroke.pen);
  const double scale = document.PointsPerUnit();
  xml << "<stroke tool=\"pen\" color=\"" << ColourText(style.rgb) << "ff\" width=\"";
  xml.Fixed(style.widthMm * kPointsPerMm, 2) << "\">";
  // A stroke needs two points to be drawn: a dot is a line of no length.
  const size_t count = stroke.points.size() == 1 ? 2 : stroke.points.size();
  for (size_t i = 0; i < count; ++i) {
    const InkPoint& point = stroke.points[i < stroke.points.size() ? i : 0];
    if (i > 0) xml << " ";
    xml.Fixed((point.x - page.left) * scale, 2) << " ";
    xml.Fixed((point.y - page.top) * scale, 2);
  }
  xml << "</stroke>\n";
}

void WritePage(XmlText& xml, const DocumentPage& page, const InkDocument& document) {
  xml << "<page width=\"";
  xml.Fixed(page.width * document.PointsPerUnit(), 2) << "\" height=\"";
  xml.Fixed(page.height * document.PointsPerUnit(), 2) << "\">\n";
  xml << "<background type=\"solid\" color=\"#ffffffff\" style=\"plain\"/>\n<layer>\n";
  for (const InkStroke& stroke : page.strokes) {
    if (!stroke.points.empty()) WriteStroke(xml, stroke, page, document);
  }
  xml << "</layer>\n</page>\n";
}

}  // namespace

bool WriteXopp(const InkDocument& document, std::ostream& out, std::string& error) {
  GzipFile gzip(out);
  XmlText xml([&gzip](const char* data, size_t length) { return gzip.Write(data, length); });
  xml << "<?xml version=\"1.0\" standalone=\"no\"?>\n"
         "<xournal creator=\"tq export\" fileversion=\"4\">\n"
         "<title>Xournal++ document</title>\n";
  for (const DocumentPage& page : document.pages) WritePage(xml, page, document);
  xml << "</xournal>\n";
  if (!xml.Flush() || !gzip.Finish()) {
    error = !out ? std::strerror(errno) : "the compression failed";
    return false;
  }
  return true;
}

}  // namespace tqtool
