// The dashboard's view: at every round the shift's model becomes the whole state for
// /api/state, and what changed in it since the round before becomes one event each.
#include <cstdio>
#include <utility>

#include "station/event_hub.h"
#include "station/http_server.h"
#include "station/state_json.h"
#include "station/view.h"

namespace station {
namespace {

// What a browser may have waiting before it is dropped: many times a busy round's events.
constexpr size_t kQueueBound = 512 * 1024;
// Sent when nothing else was for this long, so that a page tells a quiet station from a lost
// one.
constexpr auto kHeartbeat = std::chrono::seconds(1);

std::string text_of(json_object* object) {
  return json_object_to_json_string_ext(object,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

json_object* member(const JsonObject& whole, const char* key) {
  return json_object_object_get(whole.get(), key);
}

class DashboardView final : public View {
 public:
  DashboardView(const std::string& address, int port, std::string token)
      : hub_(kQueueBound), server_(address, port, std::move(token), hub_) {
    std::fprintf(stderr, "kavro-station: dashboard on http://%s:%d/\n", address.c_str(),
                 server_.port());
  }
  ~DashboardView() override { hub_.close(); }

  void begin(const ShiftState& state) override { publish(state); }
  void refresh(const ShiftState& state) override { publish(state); }
  void stopping(const ShiftState& state) override { publish(state); }
  void finish(const ShiftState& state) override { publish(state); }
  void module_found(const ModuleRecord&) override {}
  void module_started(const ModuleRecord&) override {}
  void module_finished(const ModuleRecord&) override {}
  void module_removed(const ModuleRecord&, Clock::time_point) override {}
  void port_unhealthy(const Port&) override {}

 private:
  void publish(const ShiftState& state);
  // An event when the part at `key` changed since the last round.
  void note_part(const JsonObject& whole, const char* key, std::string& last,
                 std::vector<Event>& events);
  // An event per port that changed; false when the ports themselves changed.
  bool note_ports(const JsonObject& whole, const ShiftState& state, std::vector<Event>& events);
  void note_finished(const JsonObject& whole, const ShiftState& state, std::vector<Event>& events);

  EventHub hub_;
  HttpServer server_;
  bool published_ = false;
  std::string shift_;
  std::string summary_;
  std::string chart_;
  std::vector<std::pair<std::string, std::string>> ports_;  // id and JSON of each port
  long finished_ = 0;
  Clock::time_point last_event_;
};

void DashboardView::note_part(const JsonObject& whole, const char* key, std::string& last,
                              std::vector<Event>& events) {
  std::string text = text_of(member(whole, key));
  if (text != last) {
    events.push_back({key, text});
    last = std::move(text);
  }
}

bool DashboardView::note_ports(const JsonObject& whole, const ShiftState& state,
                               std::vector<Event>& events) {
  json_object* ports = member(whole, "ports");
  std::vector<std::pair<std::string, std::string>> now;
  for (size_t index = 0; index < state.ports.size(); ++index) {
    now.emplace_back(port_id(state.ports[index]), text_of(json_object_array_get_idx(ports, index)));
  }
  const bool same_ports = std::ranges::equal(
      now, ports_, [](const auto& one, const auto& other) { return one.first == other.first; });
  for (size_t index = 0; same_ports && index < now.size(); ++index) {
    if (now[index].second != ports_[index].second) {
      events.push_back({"port", now[index].second});
    }
  }
  ports_ = std::move(now);
  return same_ports;
}

void DashboardView::note_finished(const JsonObject& whole, const ShiftState& state,
                                  std::vector<Event>& events) {
  json_object* recent = member(whole, "recent");
  const size_t added = std::min(static_cast<size_t>(state.history.finished - finished_),
                                json_object_array_length(recent));
  // Oldest first, so that a page that puts each on top ends with the newest there.
  for (size_t index = added; index-- > 0;) {
    events.push_back({"finished", text_of(json_object_array_get_idx(recent, index))});
  }
  finished_ = state.history.finished;
}

void DashboardView::publish(const ShiftState& state) {
  const auto now = Clock::now();
  const JsonObject whole = state_json(state, now);
  const std::string text = text_of(whole.get());
  std::vector<Event> events;
  const bool same_ports = note_ports(whole, state, events);
  note_part(whole, "shift", shift_, events);
  note_part(whole, "summary", summary_, events);
  note_part(whole, "chart", chart_, events);
  note_finished(whole, state, events);
  if (!published_ || !same_ports) {
    // A new port moves the others: the page starts again from the whole state.
    events = {{"state", text}};
    published_ = true;
  }
  if (events.empty() && now - last_event_ >= kHeartbeat) {
    events.push_back({"heartbeat", "{\"now\":\"" + utc_iso8601(now) + "\"}"});
  }
  if (!events.empty()) {
    last_event_ = now;
  }
  hub_.publish(text, events);
}

}  // namespace

std::unique_ptr<View> make_dashboard(const std::string& address, int port,
                                     const std::string& token_file) {
  return std::make_unique<DashboardView>(address, port,
                                         token_file.empty() ? "" : read_token(token_file));
}

}  // namespace station
