#include "fleet/Archiver.h"

#include <fnmatch.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "common/OutputFile.h"
#include "common/Report.h"
#include "export/ExportFormats.h"
#include "export/InkDocument.h"

namespace tqtool {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

std::string Stamp(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
  return text;
}

std::string EventLine(const BoardMessage& m) {
  SPenPoint point{};
  point.x = static_cast<decltype(point.x)>(m.x);
  point.y = static_cast<decltype(point.y)>(m.y);
  point.code = static_cast<decltype(point.code)>(m.code);
  const bool pen = m.message == TQ_MSG_PEN_DOWN || m.message == TQ_MSG_PEN_MOVE || m.message == TQ_MSG_PEN_UP;
  const WPARAM w = pen ? reinterpret_cast<WPARAM>(&point) : static_cast<WPARAM>(m.wParam);
  return FormatEvent(m.message, w, static_cast<LPARAM>(m.lParam));
}

}  // namespace

std::string SessionFile(const std::string& board, int64_t start, std::string& lastFile, int& sameSecond) {
  const std::string file = board + "-" + Stamp(start);
  sameSecond = file == lastFile ? sameSecond + 1 : 1;
  lastFile = file;
  return sameSecond == 1 ? file : file + "-" + std::to_string(sameSecond);
}

std::string UnknownArchiveFormat(const std::vector<std::string>& formats) {
  for (const std::string& format : formats) {
    ExportFormat parsed;
    if (format != "events" && !FormatFromName("x." + format, parsed)) return format;
  }
  return {};
}

Archiver::Archiver(NatsLink& link, ArchiveSettings settings, std::string command)
    : m_link(link), m_settings(std::move(settings)), m_command(std::move(command)), m_startUs(NowUs()) {}

Archiver::~Archiver() {
  for (auto& [name, board] : m_boards) {
    natsMsg_Destroy(board.unacked);
    natsSubscription_Destroy(board.sub);
  }
}

void Archiver::FindBoards() {
  jsStreamNamesList* list = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (js_StreamNames(&list, m_link.Js(), nullptr, &code) != NATS_OK) return;
  for (int i = 0; i < list->Count; ++i) {
    const std::string board = BoardOfStream(list->List[i]);
    if (board.empty() || fnmatch(m_settings.pattern.c_str(), board.c_str(), 0) != 0) continue;
    if (m_boards.count(board) == 0) {
      m_boards[board].name = board;
      Say(m_command, "archiving board " + board);
    }
  }
  jsStreamNamesList_Destroy(list);
}

void Archiver::Drop(Board& board) {
  natsSubscription_Destroy(board.sub);
  board.sub = nullptr;
  natsMsg_Destroy(board.unacked);
  board.unacked = nullptr;
  board.session.reset();
}

bool Archiver::Subscribe(Board& board, std::string& why) {
  const std::string stream = StreamName(board.name);
  const std::string subject = BoardSubject(board.name);
  const std::string& durable = m_settings.durable;
  // The first message not acknowledged is where this consumer starts.
  uint64_t start = 0;
  jsConsumerInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetConsumerInfo(&info, m_link.Js(), stream.c_str(), durable.c_str(), nullptr, &code);
  if (s == NATS_OK) {
    start = info->AckFloor.Stream + 1;
    jsConsumerInfo_Destroy(info);
    s = js_DeleteConsumer(m_link.Js(), stream.c_str(), durable.c_str(), nullptr, &code);
    if (s != NATS_OK) {
      why = "replacing consumer " + durable + ": " + NatsWhy(s);
      return false;
    }
  } else if (s != NATS_NOT_FOUND) {
    why = "looking for consumer " + durable + ": " + NatsWhy(s);
    return false;
  }
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream.c_str();
  options.ManualAck = true;
  jsConsumerConfig& config = options.Config;
  config.AckPolicy = js_AckAll;
  config.DeliverPolicy = start > 1 ? js_DeliverByStartSequence : js_DeliverAll;
  if (start > 1) config.OptStartSeq = start;
  config.AckWait = 300 * kNanosPerSecond;
  config.MaxAckPending = int64_t{1} << 24;
  config.MaxDeliver = -1;
  s = js_PullSubscribe(&board.sub, m_link.Js(), subject.c_str(), durable.c_str(), nullptr, &options, &code);
  if (s != NATS_OK) {
    board.sub = nullptr;
    why = "making consumer " + durable + ": " + NatsWhy(s);
    return false;
  }
  board.fresh = true;
  board.lossesSeen = m_link.Losses();
  return true;
}

bool Archiver::Write(const Session& session) {
  StrokeModel model = session.model;
  model.Finish();
  const InkDocument document = BuildDocument(model, PageLayout{}, PenStyles{});
  const std::string base = m_settings.out + "/" + session.file;
  bool all = true;
  for (const std::string& format : m_settings.formats) {
    const std::string path = base + "." + format;
    std::string why;
    bool written = false;
    if (format == "events") {
      written = WriteOutput(path, [&](std::ostream& out) {
        for (const std::string& line : session.lines) out << line << '\n';
      }, why);
    } else {
      ExportRequest request;
      FormatFromName(path, request.format);
      std::string writerWhy;
      written = CanWrite(document, request, why) && WriteOutput(path, [&](std::ostream& out) {
        if (!WriteDocument(document, request, out, writerWhy)) out.setstate(std::ios::badbit);
      }, why);
      if (!writerWhy.empty()) why = writerWhy;
    }
    if (written) {
      ++m_counts.documents;
    } else {
      ++m_counts.failures;
      all = false;
      Failed("archive", "writing " + path, why);
    }
  }
  ++m_counts.sessions;
  return all;
}

void Archiver::Acknowledge(Board& board) {
  if (board.unacked == nullptr) return;
  // One acknowledgement covers every message before it too.
  natsMsg_Ack(board.unacked, nullptr);
  natsMsg_Destroy(board.unacked);
  board.unacked = nullptr;
}

void Archiver::Take(Board& board, natsMsg* msg, uint64_t sequence) {
  natsMsg_Destroy(board.unacked);
  board.unacked = msg;
  board.last = sequence;
  board.fresh = false;
  FleetEvent event;
  const std::string json(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
  if (!ParseEvent(json, event)) return;
  if (event.kind == FleetKind::Open) {
    // A session never closed (its publisher died) ends where the next begins.
    if (board.session) Write(*board.session);
    board.session = std::make_unique<Session>();
    Session& s = *board.session;
    s.board = board.name;
    s.id = event.session;
    s.start = event.start;
    s.model.SetBoard(event.width, event.height);
    s.file = SessionFile(board.name, event.start, board.lastFile, board.sameSecond);
  } else if (event.kind == FleetKind::Close) {
    if (board.session) {
      const bool written = Write(*board.session);
      board.session.reset();
      if (written) Acknowledge(board);
    }
  } else if (event.kind == FleetKind::Message && board.session) {
    const BoardMessage& m = event.message;
    Session& s = *board.session;
    if (m.message == TQ_MSG_PEN_DOWN || m.message == TQ_MSG_PEN_MOVE || m.message == TQ_MSG_PEN_UP) {
      s.model.Pen(m.message, m.x, m.y, m.code);
    } else if (m.message == TQ_MSG_BOARD_EVENT) {
      s.model.BoardEvent(static_cast<unsigned>(m.wParam));
    }
    const std::string line = EventLine(m);
    if (!line.empty()) s.lines.push_back(line);
  }
}

bool Archiver::Follow(Board& board) {
  if (board.sub == nullptr) {
    if (!m_link.Connected()) return true;
    std::string why;
    if (!Subscribe(board, why)) {
      Say(m_command, "board " + board.name + ": " + why + "; trying on");
      return true;
    }
  }
  if (board.lossesSeen != m_link.Losses()) return false;
  natsMsgList list{nullptr, 0};
  jsErrCode code = static_cast<jsErrCode>(0);
  const int64_t wait = std::max<int64_t>(20, 200 / static_cast<int64_t>(m_boards.size()));
  const natsStatus s = natsSubscription_Fetch(&list, board.sub, 1024, wait, &code);
  if (s == NATS_TIMEOUT) return true;
  if (s != NATS_OK) return !m_link.Connected() ? true : false;
  bool whole = true;
  for (int i = 0; i < list.Count; ++i) {
    natsMsg* msg = list.Msgs[i];
    list.Msgs[i] = nullptr;
    jsMsgMetaData* meta = nullptr;
    if (!whole || natsMsg_GetMetaData(&meta, msg) != NATS_OK) {
      natsMsg_Destroy(msg);
      continue;
    }
    const uint64_t sequence = meta->Sequence.Stream;
    jsMsgMetaData_Destroy(meta);
    if (!board.fresh && sequence <= board.last) {
      natsMsg_Destroy(msg);  // a redelivery of one already taken
    } else if (!board.fresh && sequence != board.last + 1) {
      natsMsg_Destroy(msg);  // one went missing: read the session again
      whole = false;
    } else {
      Take(board, msg, sequence);
    }
  }
  natsMsgList_Destroy(&list);
  if (whole && !board.session) Acknowledge(board);
  return whole;
}

void Archiver::Run(const std::function<bool()>& stop) {
  bool awaySaid = false;
  while (!stop()) {
    const int64_t now = NowUs();
    if (!awaySaid && m_boards.empty() && !m_link.Connected() && now - m_startUs > 2000000) {
      awaySaid = true;
      Say(m_command, "the engine is not reachable yet; trying on");
    }
    if (m_link.Connected() && (m_boards.empty() || now - m_lastScanUs > 2000000)) {
      m_lastScanUs = now;
      FindBoards();
    }
    if (m_boards.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    for (auto& [name, board] : m_boards) {
      if (stop()) break;
      if (!Follow(board)) {
        ++m_counts.rebuilds;
        Drop(board);
      }
    }
  }
  for (auto& [name, board] : m_boards) {
    if (board.session) Write(*board.session);
  }
}

}  // namespace tqtool
