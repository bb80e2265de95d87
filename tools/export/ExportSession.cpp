#include "export/ExportSession.h"

#include "common/CaptureInput.h"
#include "common/OutputFile.h"
#include "common/WindowReplay.h"
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
  ReplayOutcome outcome;
  const bool replayed = ReplayIntoWindow(path, window, options, outcome);
  TQDestroyWindow(window);
  // A capture that ends before the pen is lifted (or while the filter still
  // holds the stroke's end) has drawn that stroke all the same: keep it.
  model.Finish();
  if (!replayed) {
    error = outcome.problem;
    return false;
  }
  SetBoard(model, outcome.stats.header.receiverSpacing);
  return true;
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
  std::string why, systemWhy;
  const bool written = WriteOutput(settings.output, [&](std::ostream& out) {
    // A document the writer could not finish is not to replace anything.
    if (!WriteDocument(document, settings.request, out, why)) out.setstate(std::ios::badbit);
  }, systemWhy);
  if (!written) {
    if (why.empty()) why = systemWhy;
    error = "cannot write " + Quoted(settings.output) + (why.empty() ? "" : ": " + why);
    return false;
  }
  summary = {document.pages.size(), document.StrokeCount(), document.PointCount()};
  return true;
}

}  // namespace tqtool
