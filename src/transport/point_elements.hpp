// Elements that act at one point of the lattice, without length: the slit
// (a transverse cut), zero (re-centring with a random residual), phcor (a
// phase shift set by the longitudinal correction), mon (a monitor: its
// statistics are the reading) and corr (a thin steering corrector). Each
// takes one position ipos; none places the element frame or draws errors.
//
// Their particle loops, and those of the matrix elements, share the slots
// of a charge state among OpenMP threads with a static schedule; each
// iteration writes only its own slot, and the losses are recorded
// afterwards in (charge state, slot) order.
#pragma once

#include <omp.h>

#include <cstdint>

#include "transport/transport_context.hpp"
#include "transport/push_z.hpp"
#include "transport/stepping.hpp"

namespace linac {

struct TransportContext;

void slit_element(TransportContext& sim, std::int32_t n);
void zero_element(TransportContext& sim, std::int32_t n);
void phcor_element(TransportContext& sim, std::int32_t n);
void mon_element(TransportContext& sim, std::int32_t n);
void corr_element(TransportContext& sim, std::int32_t n);

// The reference of an element without length: the reference path of
// length 0, in the nominal pass the history of the position (entrance and
// exit energy w0, phases 0), and the design energy from that history.
void zero_length_reference(TransportContext& sim);

// Calls f(iq, i) for every live slot 0..NPAT + ntest of every charge state
// 1..NQTOT; f must touch slot i of state iq only.
template <class F>
void for_each_live_slot(TransportContext& sim, const F& f) {
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const std::int32_t* status = sim.particles.status[iq];
    const int last = last_slot(sim, iq);
#pragma omp parallel for schedule(static) if (last + 1 >= kMinParallelSlots)
    for (int i = 0; i <= last; ++i)
      if (status[i] >= 0) f(iq, i);
  }
}

// Outcome of a slot in a particle loop that can lose particles.
inline constexpr std::int8_t kSlotIdle = 0;         // not live, or not looked at
inline constexpr std::int8_t kSlotPassed = 1;       // carried through
inline constexpr std::int8_t kSlotLost = 2;         // lost after it was carried through (or cut)
inline constexpr std::int8_t kSlotLostAtEntry = 3;  // lost before it was carried through

// Per-slot outcome storage for one charge state, all kSlotIdle.
std::int8_t* clear_slot_outcomes(TransportContext& sim, int last);

// Records the slots of state iq marked lost (kSlotLost, kSlotLostAtEntry)
// in element line n, in slot order: status := -1, the lost.dat line with
// the particle as it stands, then z := z + z_entry (a particle between
// elements has z = 0, so a point element writes z := z_entry).
void record_slot_losses(TransportContext& sim, int n, int iq, int last, const std::int8_t* outcome);

// Stores outcome_of(i) for every live slot i of charge state iq (slots
// shared among threads by a static schedule; outcome_of may change slot i
// only), then records the lost ones of element line n in slot order and
// sets ilost := -1 when there are any. Returns the outcomes of the slots
// 0..NPAT + ntest (kSlotIdle for the slots that were not live).
template <class F>
const std::int8_t* judge_slots(TransportContext& sim, int n, int iq, const F& outcome_of) {
  const std::int32_t* status = sim.particles.status[iq];
  const int last = last_slot(sim, iq);
  std::int8_t* outcome = clear_slot_outcomes(sim, last);
  int lost = 0;
#pragma omp parallel for schedule(static) reduction(+ : lost) if (last + 1 >= kMinParallelSlots)
  for (int i = 0; i <= last; ++i) {
    if (status[i] < 0) continue;
    outcome[i] = outcome_of(i);
    if (outcome[i] >= kSlotLost) ++lost;
  }
  if (lost > 0) {
    sim.state.ilost = -1;
    record_slot_losses(sim, n, iq, last, outcome);
  }
  return outcome;
}

}  // namespace linac
