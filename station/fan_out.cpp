// Several views of the one shift, each told everything in turn.
#include <vector>

#include "station/view.h"

namespace station {
namespace {

class FanOut final : public View {
 public:
  explicit FanOut(std::vector<std::unique_ptr<View>> views) : views_(std::move(views)) {}

  void begin(const ShiftState& state) override { each(&View::begin, state); }
  void refresh(const ShiftState& state) override { each(&View::refresh, state); }
  void stopping(const ShiftState& state) override { each(&View::stopping, state); }
  void finish(const ShiftState& state) override { each(&View::finish, state); }
  void module_found(const ModuleRecord& module) override { each(&View::module_found, module); }
  void module_started(const ModuleRecord& module) override { each(&View::module_started, module); }
  void module_finished(const ModuleRecord& module) override {
    each(&View::module_finished, module);
  }
  void module_removed(const ModuleRecord& module, Clock::time_point removed) override {
    each(&View::module_removed, module, removed);
  }
  void port_unhealthy(const Port& port) override { each(&View::port_unhealthy, port); }

 private:
  template <typename Step, typename... Arguments>
  void each(Step step, const Arguments&... arguments) {
    for (const auto& view : views_) {
      ((*view).*step)(arguments...);
    }
  }

  std::vector<std::unique_ptr<View>> views_;
};

}  // namespace

std::unique_ptr<View> fan_out(std::vector<std::unique_ptr<View>> views) {
  return views.size() == 1 ? std::move(views.front()) : std::make_unique<FanOut>(std::move(views));
}

}  // namespace station
