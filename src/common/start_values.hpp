// The start values a run gives its records before anything is read, and
// the defaults of the parameter file's members.
#pragma once

namespace linac {

struct CommonContext;

void set_start_values(CommonContext& sim);
void set_remaining_defaults(CommonContext& sim);

}  // namespace linac
