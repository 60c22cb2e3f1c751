#include "control/control_context.hpp"

namespace linac {

ControlContext::ControlContext() {
  // The context that installs the hook is the one it receives.
  dispatch_line = [](CorrectionsContext& c, std::int32_t& n) {
    dispatch_element(static_cast<ControlContext&>(c), n);
  };
}

}  // namespace linac
