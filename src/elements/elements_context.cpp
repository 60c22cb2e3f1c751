#include "elements/elements_context.hpp"

#include "elements/bend_field.hpp"
#include "elements/mhb.hpp"
#include "elements/rfq/rfq_field.hpp"

namespace linac {

namespace {

// The hooks are installed by the elements context itself, so the transport
// context they receive is always one.
ElementsContext& elements_context(TransportContext& t) { return static_cast<ElementsContext&>(t); }

}  // namespace

ElementsContext::ElementsContext() {
  hooks.bend_field = [](TransportContext& t, double x, double y, double z, double ph, Vec3& E,
                        Vec3& B) { return bend_field_at(elements_context(t), x, y, z, ph, E, B); };
  hooks.mhb_field = [](TransportContext& t, double x, double y, double z, double ph, Vec3& E,
                       Vec3& B) { return mhb_field_at(elements_context(t), x, y, z, ph, E, B); };
  hooks.rfq_field = [](TransportContext& t, double x, double y, double z, double ph, Vec3& E,
                       Vec3& B) { return rfq_field_at(elements_context(t), x, y, z, ph, E, B); };
}

}  // namespace linac
