#include "export/ExportSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/OutputFile.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "api/BoardPort.h"
#include "capture/Replay.h"

namespace tqtool {

namespace {

LRESULT Gather(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (auto* model = static_cast<StrokeModel*>(TQGetWindowUser(window))) {
    model->Add(message, wParam, lParam);
  }
  return 0;
}

// The board's width and largest height follow from its baseline as the
// library reports them for an open port.
void SetBoard(StrokeModel& model, uint32_t baseline) {
  tq::CBoardPort board(nullptr);
  board.m_receiverSpacing = baseline;
  model.SetBoard(board.GetBoardWidth(), board.GetMaxBoardHeight());
}

}  // namespace

bool ReplayIntoModel(const std::string& path, StrokeModel& model, std::string& error,
                     bool filtered) {
  HWND window = TQCreateWindow(&Gather, &model);
  tq::SReplayOptions options;
  options.validation = options.smoothing = options.antiStreak = filtered;
  options.writeCaptures = false;
  tq::SReplayStats stats;
  const tq::ReplayStatus status = tq::ReplayCaptureFile(path.c_str(), window, options, &stats);
  DrainMessages();  // what boards below 2.0 post
  TQDestroyWindow(window);
  // A capture that ends before the pen is lifted (or while the filter still
  // holds the stroke's end) has drawn that stroke all the same: keep it.
  model.Finish();
  SetBoard(model, stats.header.receiverSpacing);
  switch (status) {
    case tq::ReplayStatus::Replayed:
      return true;
    case tq::ReplayStatus::CannotOpen:
      error = "cannot read " + path + ": " +
              std::strerror(static_cast<int>(stats.openError.m_lOsError));
      return false;
    case tq::ReplayStatus::NotRegularFile:
      error = path + " is not a regular file";
      return false;
    case tq::ReplayStatus::NotCapture:
      error = path + " is not a raw capture (its header names no board)";
      return false;
    case tq::ReplayStatus::ReadError:
      error = "cannot read " + path + " to its end";
      return false;
  }
  return false;
}

bool ExportCapture(const ExportSettings& settings, ExportSummary& summary, std::string& error) {
  // The output's place is tried before a long replay, not after it.
  error = OutputProblem(settings.output, {settings.input});
  if (!error.empty()) return false;
  StrokeModel model(settings.pageAtFlush);
  if (!ReplayIntoModel(settings.input, model, error)) return false;
  // The debug style shows the triangulated points too: the filter left out.
  StrokeModel unfiltered(settings.pageAtFlush);
  if (settings.layout.debug && !ReplayIntoModel(settings.input, unfiltered, error, false)) {
    return false;
  }
  const InkDocument document = BuildDocument(model, settings.layout, settings.pens, &unfiltered);
  if (!CanWrite(document, settings.request, error)) return false;
  std::string why;
  const bool written = WriteOutput(settings.output, [&](std::ostream& out) {
    // A document the writer could not finish is not to replace anything.
    if (!WriteDocument(document, settings.request, out, why)) out.setstate(std::ios::badbit);
  });
  if (!written) {
    error = "cannot write '" + settings.output + "'" + (why.empty() ? "" : ": " + why);
    return false;
  }
  summary = {document.pages.size(), document.StrokeCount(), document.PointCount()};
  return true;
}

}  // namespace tqtool
