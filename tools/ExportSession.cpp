#include "ExportSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "PendingFile.h"
#include "TqWindow.h"
#include "api/BoardPort.h"
#include "capture/CaptureFile.h"

namespace tqtool {

namespace {

LRESULT Gather(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (auto* model = static_cast<StrokeModel*>(TQGetWindowUser(window))) {
    model->Add(message, wParam, lParam);
  }
  return 0;
}

bool AcceptHeader(const tq::SCaptureHeader& header) {
  return header.protocolNumber > 0.0 && header.protocolNumber < 100.0 &&
         header.boardVersion > 0.0 && header.boardVersion < 100.0;
}

// The body of the capture through the decoders, read block by block so that
// memory follows the ink, not the capture's length.
void Feed(std::FILE* in, tq::CBoardPort& port) {
  std::vector<uint8_t> block(64 * 1024);
  size_t held = 0;
  for (;;) {
    const size_t read = std::fread(block.data() + held, 1, block.size() - held, in);
    held += read;
    size_t pos = 0;
    while (held - pos >= port.m_packetLength) {
      port.DispatchReceived(block.data() + pos, static_cast<int>(port.m_packetLength));
      pos += port.m_packetLength;
    }
    std::memmove(block.data(), block.data() + pos, held - pos);
    held -= pos;
    if (read == 0) break;
  }
  // A live recording rarely ends on a packet boundary; the framing decides.
  if (held > 0) port.DispatchReceived(block.data(), static_cast<int>(held));
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

}  // namespace

bool ReplayIntoModel(const std::string& path, StrokeModel& model, std::string& error) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t headerBytes[tq::kCaptureHeaderSize] = {};
  const size_t got = std::fread(headerBytes, 1, sizeof headerBytes, in);
  const tq::SCaptureHeader header = tq::DecodeCaptureHeader(headerBytes);
  if (got != sizeof headerBytes || !AcceptHeader(header)) {
    std::fclose(in);
    error = path + " is not a raw capture (its header names no board)";
    return false;
  }
  HWND window = TQCreateWindow(&Gather, &model);
  {
    tq::CBoardPort port(window);
    port.m_boardVersion = header.boardVersion;
    port.m_receiverSpacing = header.receiverSpacing;
    port.m_packetLength = header.protocolNumber < 2.0 ? 5 : 9;
    model.SetBoard(port.GetBoardWidth(), port.GetMaxBoardHeight());
    Feed(in, port);
  }
  DrainMessages();  // what boards below 2.0 post
  TQDestroyWindow(window);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) error = "cannot read " + path;
  return !failed;
}

bool ExportCapture(const ExportSettings& settings, ExportSummary& summary, std::string& error) {
  if (SameFile(settings.input, settings.output)) {
    error = "the document would replace the capture " + settings.input;
    return false;
  }
  // The output's place is tried before a long replay, not after it.
  PendingFile out;
  if (!out.Open(settings.output, error)) {
    error = "cannot write " + settings.output + ": " + error;
    return false;
  }
  StrokeModel model(settings.pageAtFlush);
  if (!ReplayIntoModel(settings.input, model, error)) return false;
  const InkDocument document = BuildDocument(model, settings.layout, settings.pens);
  if (!WriteDocument(document, settings.request, out.Stream(), error) || !out.Commit(error)) {
    error = "cannot write " + settings.output + ": " + error;
    return false;
  }
  summary = {document.pages.size(), document.StrokeCount(), document.PointCount()};
  return true;
}

}  // namespace tqtool
