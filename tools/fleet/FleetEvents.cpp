#include "fleet/FleetEvents.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace tqtool {

namespace {

std::string Number(const char* key, int64_t value) {
  return std::string(",\"") + key + "\":" + std::to_string(value);
}

// Text without quotes, backslashes or control codes, as board names,
// session ids and version texts are.
std::string Text(const char* key, const std::string& value) {
  std::string clean;
  for (const char c : value) {
    if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) clean += c;
  }
  return std::string(",\"") + key + "\":\"" + clean + "\"";
}

std::string Head(const char* type) { return std::string("{\"v\":1,\"type\":\"") + type + "\""; }

// One flat JSON object: keys to their values, strings unquoted, numbers and
// literals as written.
bool ParseFlat(const std::string& json, std::map<std::string, std::string>& fields) {
  size_t i = 0;
  const auto space = [&] {
    while (i < json.size() && std::isspace(static_cast<unsigned char>(json[i]))) ++i;
  };
  const auto string = [&](std::string& out) {
    if (i >= json.size() || json[i] != '"') return false;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\') {
        if (++i >= json.size()) return false;
      }
      out += json[i];
    }
    if (i >= json.size()) return false;
    ++i;
    return true;
  };
  space();
  if (i >= json.size() || json[i++] != '{') return false;
  for (;;) {
    space();
    if (i < json.size() && json[i] == '}') return true;
    std::string key, value;
    if (!string(key)) return false;
    space();
    if (i >= json.size() || json[i++] != ':') return false;
    space();
    if (i < json.size() && json[i] == '"') {
      if (!string(value)) return false;
    } else {
      while (i < json.size() && json[i] != ',' && json[i] != '}' &&
             !std::isspace(static_cast<unsigned char>(json[i]))) {
        value += json[i++];
      }
      if (value.empty()) return false;
    }
    fields[key] = value;
    space();
    if (i < json.size() && json[i] == ',') {
      ++i;
      continue;
    }
    if (i < json.size() && json[i] == '}') return true;
    return false;
  }
}

bool Whole(const std::map<std::string, std::string>& fields, const char* key, int64_t& value) {
  const auto found = fields.find(key);
  if (found == fields.end()) return false;
  char* end = nullptr;
  value = std::strtoll(found->second.c_str(), &end, 10);
  return end != found->second.c_str() && *end == '\0';
}

int64_t WholeOr(const std::map<std::string, std::string>& fields, const char* key, int64_t otherwise) {
  int64_t value = 0;
  return Whole(fields, key, value) ? value : otherwise;
}

}  // namespace

std::string MessageJson(const BoardMessage& m) {
  switch (m.message) {
    case TQ_MSG_PEN_DOWN:
    case TQ_MSG_PEN_MOVE:
    case TQ_MSG_PEN_UP: {
      const char* type = m.message == TQ_MSG_PEN_DOWN ? "down" : (m.message == TQ_MSG_PEN_MOVE ? "move" : "up");
      return Head(type) + Number("x", m.x) + Number("y", m.y) + Number("pen", m.code) + "}";
    }
    case TQ_MSG_BOARD_EVENT:
      return Head("board") + Number("code", static_cast<int64_t>(m.wParam)) + Number("port", m.lParam) + "}";
    case TQ_MSG_COMM_ERROR:
      return Head("comm") + Number("code", static_cast<int64_t>(m.wParam)) + "}";
    case TQ_MSG_BOARD_CHECK:
      return Head("check") + Number("code", static_cast<int64_t>(m.wParam)) + Number("port", m.lParam) + "}";
    case TQ_MSG_BOARD_0x90:
      return Head("0x90") + Number("code", static_cast<int64_t>(m.wParam)) + Number("port", m.lParam) + "}";
    default:
      return {};
  }
}

std::string OpenJson(const std::string& board, const std::string& session, int64_t start,
                     unsigned width, unsigned height, const std::string& version) {
  return Head("open") + Text("board", board) + Text("session", session) + Number("start", start) +
         Number("width", width) + Number("height", height) + Text("version", version) + "}";
}

std::string StateJson(bool connected, bool live) {
  return Head("state") + ",\"connected\":" + (connected ? "true" : "false") +
         ",\"live\":" + (live ? "true" : "false") + "}";
}

std::string CloseJson() { return Head("close") + "}"; }

bool ParseEvent(const std::string& json, FleetEvent& event) {
  std::map<std::string, std::string> f;
  if (!ParseFlat(json, f) || f.count("type") == 0) return false;
  event = {};
  const std::string& type = f["type"];
  BoardMessage& m = event.message;
  event.kind = FleetKind::Message;
  if (type == "down" || type == "move" || type == "up") {
    int64_t x = 0, y = 0, pen = 0;
    if (!Whole(f, "x", x) || !Whole(f, "y", y) || !Whole(f, "pen", pen)) return false;
    m.message = type == "down" ? TQ_MSG_PEN_DOWN : (type == "move" ? TQ_MSG_PEN_MOVE : TQ_MSG_PEN_UP);
    m.x = static_cast<int>(x);
    m.y = static_cast<int>(y);
    m.code = static_cast<int>(pen);
    m.lParam = type == "up" ? 0 : pen;
  } else if (type == "board" || type == "comm" || type == "0x90") {
    int64_t code = 0;
    if (!Whole(f, "code", code)) return false;
    m.message = type == "board" ? TQ_MSG_BOARD_EVENT : (type == "comm" ? TQ_MSG_COMM_ERROR : TQ_MSG_BOARD_0x90);
    m.wParam = static_cast<uint64_t>(code);
    m.lParam = WholeOr(f, "port", 0);
  } else if (type == "check") {
    m.message = TQ_MSG_BOARD_CHECK;
    m.wParam = static_cast<uint64_t>(WholeOr(f, "code", 0));
    m.lParam = WholeOr(f, "port", 0);
  } else if (type == "open") {
    int64_t width = 0, height = 0;
    if (!Whole(f, "width", width) || !Whole(f, "height", height)) return false;
    event.kind = FleetKind::Open;
    event.width = static_cast<unsigned>(width);
    event.height = static_cast<unsigned>(height);
    event.board = f["board"];
    event.session = f["session"];
    event.version = f["version"];
    event.start = WholeOr(f, "start", 0);
  } else if (type == "close") {
    event.kind = FleetKind::Close;
  } else if (type == "state") {
    event.kind = FleetKind::State;
    event.connected = f["connected"] == "true";
    event.live = f["live"] == "true";
  } else {
    event.kind = FleetKind::Unknown;
  }
  return true;
}

}  // namespace tqtool
