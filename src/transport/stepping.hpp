// The stepping template of every element driver: after the driver has
// placed the element, built its reference and brought the beam into the
// element frame, step_element advances every live particle of every charge
// state through the element in nstep steps in the element's field, records
// the particles that leave the aperture, and takes the beam out of the
// element with its exit statistics.
//
// The template is instantiated on the element's field source, so the inner
// particle loop is monomorphic: no virtual call, no allocation and no I/O
// inside it. Particles of one charge state are pushed by an OpenMP loop with
// a schedule that hands blocks of slots to threads as they become free, each iteration touching its own slot
// only; the losses of a step are gathered per thread and recorded afterwards
// in (step, charge state, slot) order, so every output is the same for any
// number of threads.
#pragma once

#include <omp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "beam/lost_coord.hpp"
#include "beam/stats.hpp"
#include "transport/transport_context.hpp"
#include "transport/misalign.hpp"
#include "transport/push_t.hpp"
#include "transport/push_z.hpp"
#include "transport/seams.hpp"

namespace linac {

// A step count above the capacity of the reference path stops the run with a
// message naming element line n.
void check_step_count(const TransportContext& sim, int n, double nstep);

// Below this many slots a charge state is pushed by one thread: the cost of
// starting a team would exceed the work.
inline constexpr int kMinParallelSlots = 2048;
// Particles pushed in lockstep by one thread (see push_lanes_z).
inline constexpr int kPushLanes = 4;

// A field source whose strength differs from particle to particle by its
// status (the corrector tags of ecorr) has source_for_status(source,
// status), the source that acts on such a particle.
template <class Field>
concept StatusDependentField = requires(const Field& f, std::int32_t s) {
  source_for_status(f.source, s);
};

// The field that acts on a particle of the given status: the element's
// source for that status with every added field of the loop (the 2-D space
// charge) kept, so tagged and untagged particles feel the same beam field.
template <StatusDependentField Field>
auto field_for_status(const Field& field, std::int32_t status) {
  return FieldAt{source_for_status(field.source, status), field.sc2d};
}

// How a field-map element pushes its particles to the target of a step:
// time_mode (iflag_dudt = 1) carries every live particle to zref in time
// steps instead of one push in z.
struct StepMode {
  bool time_mode = false;
};

// Blocks of kPushLanes slots a thread of push_charge_state takes at a time.
inline constexpr int kBlocksPerGrab = 32;

// Pushes every live slot 0..NPAT + ntest of charge state iq by one step of
// length h (in time mode: to the step's zref); the slots lost in it are left,
// in increasing order, in sim.transport.step_losses.
template <class Field>
void push_charge_state(TransportContext& sim, const Field& field, int iq, double h, StepMode mode = {},
                       const FirstStageCache& cache = {}) {
  TransportState& ts = sim.transport;
  const int max_threads = omp_get_max_threads();
  if (static_cast<int>(ts.thread_losses.size()) < max_threads) ts.thread_losses.resize(max_threads);
  const SlotView view = slot_view(sim, iq);
  const std::int32_t* status = sim.particles.status[iq];
  const int last = last_slot(sim, iq);
  const double wavelength_2pi = sim.ref.wavelength_2pi;
  const TimeSlotView tview = time_slot_view(sim, iq);
  const double zref = ts.step.zref;
  std::vector<std::vector<std::int32_t>>& per_thread = ts.thread_losses;
  const bool avx2 = cpu_has_avx2();
  int team = 1;
#pragma omp parallel if (last + 1 >= kMinParallelSlots)
  {
    std::vector<std::int32_t>& mine = per_thread[omp_get_thread_num()];
    mine.clear();
    // Read only after the region has ended: no barrier needed here.
#pragma omp single nowait
    team = omp_get_num_threads();
    // Blocks of kPushLanes consecutive slots, handed out in runs of
    // kBlocksPerGrab as threads become free; the live slots of a block are
    // pushed together.
    const int nblocks = (last + kPushLanes) / kPushLanes;
#pragma omp for schedule(dynamic, kBlocksPerGrab)
    for (int b = 0; b < nblocks; ++b) {
      const int end = std::min(b * kPushLanes + kPushLanes, last + 1);
      // A block whose live slots share one status shares one field: its
      // slots are pushed in lockstep.
      if constexpr (StatusDependentField<Field>) {
        if (!mode.time_mode) {
          int slots[kPushLanes];
          int count = 0;
          bool same = true;
          for (int i = b * kPushLanes; i < end; ++i) {
            if (status[i] < 0) continue;
            same = same && (count == 0 || status[i] == status[slots[0]]);
            slots[count++] = i;
          }
          if (count == 0) continue;
          if (same) {
            const auto block_field = field_for_status(field, status[slots[0]]);
            bool lost[kPushLanes];
            if (avx2)
              push_lanes_z_avx2<kPushLanes>(block_field, view, slots, count, h, wavelength_2pi,
                                            lost, FirstStageCache{});
            else
              push_lanes_z<kPushLanes>(block_field, view, slots, count, h, wavelength_2pi, lost);
            for (int l = 0; l < count; ++l)
              if (lost[l]) mine.push_back(slots[l]);
            continue;
          }
        }
      }
      // Time mode and blocks of mixed status push slot by slot.
      if (mode.time_mode || StatusDependentField<Field>) {
        for (int i = b * kPushLanes; i < end; ++i) {
          if (status[i] < 0) continue;
          bool lost = false;
          if constexpr (StatusDependentField<Field>) {
            const auto slot_field = field_for_status(field, status[i]);
            lost = mode.time_mode
                       ? advance_slot_to_zref(slot_field, tview, i, zref, h, wavelength_2pi)
                       : push_slot_z(slot_field, view, i, h, wavelength_2pi);
          } else {
            lost = advance_slot_to_zref(field, tview, i, zref, h, wavelength_2pi);
          }
          if (lost) mine.push_back(i);
        }
        continue;
      }
      int slots[kPushLanes];
      int count = 0;
      for (int i = b * kPushLanes; i < end; ++i)
        if (status[i] >= 0) slots[count++] = i;
      if (count == 0) continue;
      bool lost[kPushLanes];
      if (avx2)
        push_lanes_z_avx2<kPushLanes>(field, view, slots, count, h, wavelength_2pi, lost, cache);
      else
        push_lanes_z<kPushLanes>(field, view, slots, count, h, wavelength_2pi, lost, cache);
      for (int l = 0; l < count; ++l)
        if (lost[l]) mine.push_back(slots[l]);
    }
  }
  ts.step_losses.clear();
  for (int t = 0; t < team; ++t)
    ts.step_losses.insert(ts.step_losses.end(), per_thread[t].begin(), per_thread[t].end());
  std::sort(ts.step_losses.begin(), ts.step_losses.end());
}

// Blocks of kPushLanes slots that push_states_steps carries through
// all steps together: their states stay in the first-level cache from step
// to step, while at each step they share the few planes of a field table
// around their common z.
inline constexpr int kStepTileBlocks = 32;
inline constexpr int kTileSlots = kStepTileBlocks * kPushLanes;
// A chunk of the statistics sums is made of whole tiles.
static_assert(kStatChunk % kTileSlots == 0);

// The live slots of the tile of slots first..min(first + kTileSlots,
// last + 1) - 1 through steps 1..nstep of length h, block by block in
// lockstep: lost(k, slot) for each slot lost in step k (the slot leaves
// its block), and after_step(k, slots, count) with the slots still live
// after step k, block by block (slots[b][0 .. count[b]-1], increasing).
// Step k is pushed in step_fields[k - 1] when given (a field with its
// memo of that step), else in field. With steps_together (nothing looks at
// the states between steps: after_step does nothing) a block in a field
// that is +0 everywhere may go through all its remaining steps at once.
template <class Field, class Lost, class AfterStep>
inline void push_tile_steps(const Field& field, const SlotView& view, const std::int32_t* status, int first,
                            int last, double h, int nstep, double wavelength_2pi, const FirstStageCache& cache,
                            bool avx2, Lost&& lost_in, AfterStep&& after_step,
                            const Field* step_fields = nullptr, bool steps_together = false) {
  int slots[kStepTileBlocks][kPushLanes];
  int count[kStepTileBlocks];
  for (int b = 0; b < kStepTileBlocks; ++b) {
    count[b] = 0;
    const int begin = first + b * kPushLanes;
    const int end = std::min(begin + kPushLanes, last + 1);
    for (int i = begin; i < end; ++i)
      if (status[i] >= 0) slots[b][count[b]++] = i;
  }
  static_assert(kPushLanes == 4, "the field-free steps fill one vector register");
  // Blocks that went through all their steps at once.
  bool done[kStepTileBlocks] = {};
  for (int k = 1; k <= nstep; ++k) {
    const Field& fk = step_fields != nullptr ? step_fields[k - 1] : field;
    for (int b = 0; b < kStepTileBlocks; ++b) {
      if (count[b] == 0 || done[b]) continue;
      // In a field that is +0 everywhere a block whose first stages are all
      // kept goes through its remaining steps in one call, its states held
      // in registers from step to step.
      if (steps_together && step_fields == nullptr && cache.valid != nullptr && field_is_zero(fk)) {
        bool all_kept = true;
        for (int l = 0; l < count[b]; ++l) all_kept = all_kept && cache.valid[slots[b][l]] != 0;
        if (all_kept) {
          int lost_step[kPushLanes];
          if (avx2)
            push_block_zero_field_steps_avx2(fk, view, slots[b], count[b], h, nstep - k + 1, lost_step, cache);
          else
            push_block_zero_field_steps(fk, view, slots[b], count[b], h, nstep - k + 1, lost_step, cache);
          int kept = 0;
          for (int l = 0; l < count[b]; ++l) {
            if (lost_step[l] != 0)
              lost_in(k - 1 + lost_step[l], slots[b][l]);
            else
              slots[b][kept++] = slots[b][l];
          }
          count[b] = kept;
          done[b] = true;
          continue;
        }
      }
      bool lost[kPushLanes];
      if (avx2)
        push_lanes_z_avx2<kPushLanes>(fk, view, slots[b], count[b], h, wavelength_2pi, lost, cache);
      else
        push_lanes_z<kPushLanes>(fk, view, slots[b], count[b], h, wavelength_2pi, lost, cache);
      // The lost slots leave the block; the others keep their order.
      int kept = 0;
      for (int l = 0; l < count[b]; ++l) {
        if (lost[l])
          lost_in(k, slots[b][l]);
        else
          slots[b][kept++] = slots[b][l];
      }
      count[b] = kept;
    }
    after_step(k, slots, count);
  }
}

// Every step 1..nstep of length h of the charge states iq_first..iq_last,
// tile by tile: the live slots of a tile of kStepTileBlocks blocks of
// kPushLanes consecutive slots of one charge state go through all steps
// before the next tile, each step block by block in lockstep, so their
// states and end-of-step derivatives stay in the processor's cache instead
// of streaming the whole beam through memory at every step. Only for a push
// in z in one field for every particle with nothing acting on the particles
// between steps; each particle gets exactly the pushes of nstep calls of
// push_charge_state. The work of all the states is handed to the threads
// one piece at a time as each thread becomes free (a particle's push does
// not depend on the thread that does it), so a thread slowed down by others
// on the machine does not hold the team back. cache[iq] holds the kept
// derivatives of state iq; step_fields as push_tile_steps takes them.
//
// With step_sums the statistics sums of the intermediate steps are taken on
// the way (add_step_sums, after prepare_step_sums): a piece is then a chunk
// of kStatChunk slots that one thread carries tile by tile in slot order,
// so each chunk's sums of a step add its particles in slot order as the
// statistics pass would (the whole chunks first, the shorter last chunks of
// the states after them, so that these fill the gaps at the end); else a
// piece is one tile.
//
// The losses are left in sim.transport.state_step_losses[iq] as
// (step << 32) + slot in increasing order.
template <class Field>
void push_states_steps(TransportContext& sim, const Field& field, int iq_first, int iq_last, double h, int nstep,
                       const FirstStageCache* cache, const Field* step_fields = nullptr,
                       bool step_sums = false) {
  TransportState& ts = sim.transport;
  const int max_threads = omp_get_max_threads();
  if (static_cast<int>(ts.thread_step_losses.size()) < max_threads)
    ts.thread_step_losses.resize(max_threads);
  if (static_cast<int>(ts.state_step_losses.size()) <= iq_last) ts.state_step_losses.resize(iq_last + 1);
  constexpr int kStates = kMaxChargeStates + 1;
  std::array<SlotView, kStates> views{};
  std::array<const std::int32_t*, kStates> status{};
  std::array<int, kStates> last{};
  struct Piece {
    int iq, first;
  };
  const int piece_slots = step_sums ? kStatChunk : kTileSlots;
  std::vector<Piece> pieces;
  std::vector<Piece> short_pieces;
  int slots_total = 0;
  for (int iq = iq_first; iq <= iq_last; ++iq) {
    views[iq] = slot_view(sim, iq);
    status[iq] = sim.particles.status[iq];
    last[iq] = last_slot(sim, iq);
    for (int first = 0; first <= last[iq]; first += piece_slots)
      (!step_sums || last[iq] - first + 1 >= piece_slots ? pieces : short_pieces).push_back({iq, first});
    slots_total += last[iq] + 1;
  }
  pieces.insert(pieces.end(), short_pieces.begin(), short_pieces.end());
  const int npieces = static_cast<int>(pieces.size());
  const double wavelength_2pi = sim.ref.wavelength_2pi;
  std::vector<std::vector<std::int64_t>>& per_thread = ts.thread_step_losses;
  const bool avx2 = cpu_has_avx2();
  int team = 1;
#pragma omp parallel if (slots_total >= kMinParallelSlots)
  {
    // Losses as (state << 56) + (step << 32) + slot.
    std::vector<std::int64_t>& mine = per_thread[omp_get_thread_num()];
    mine.clear();
    // Read only after the region has ended: no barrier needed here.
#pragma omp single nowait
    team = omp_get_num_threads();
#pragma omp for schedule(dynamic, 1)
    for (int n = 0; n < npieces; ++n) {
      const int iq = pieces[static_cast<std::size_t>(n)].iq;
      const int first = pieces[static_cast<std::size_t>(n)].first;
      const int end = std::min(last[iq], first + piece_slots - 1);
      const std::int64_t state_key = static_cast<std::int64_t>(iq) << 56;
      for (int t = first; t <= end; t += kTileSlots)
        push_tile_steps(
            field, views[iq], status[iq], t, end, h, nstep, wavelength_2pi, cache[iq], avx2,
            [&](int k, int slot) { mine.push_back(state_key + (static_cast<std::int64_t>(k) << 32) + slot); },
            [&](int k, const int (&slots)[kStepTileBlocks][kPushLanes], const int (&count)[kStepTileBlocks]) {
              if (!step_sums || k >= nstep) return;
              std::int32_t live[kTileSlots];
              int nlive = 0;
              for (int b = 0; b < kStepTileBlocks; ++b)
                for (int l = 0; l < count[b]; ++l) live[nlive++] = slots[b][l];
              add_step_sums(sim, k, iq, live, nlive);
            },
            step_fields, !step_sums);
    }
  }
  std::vector<std::int64_t> all;
  for (int t = 0; t < team; ++t) all.insert(all.end(), per_thread[t].begin(), per_thread[t].end());
  std::sort(all.begin(), all.end());
  for (int iq = iq_first; iq <= iq_last; ++iq) ts.state_step_losses[iq].clear();
  constexpr std::int64_t kStepSlot = (std::int64_t{1} << 56) - 1;
  for (const std::int64_t e : all) ts.state_step_losses[static_cast<std::size_t>(e >> 56)].push_back(e & kStepSlot);
}

// Marks the particles of step_losses lost in step k of element line n: status
// := -1, the lost.dat record with the state from before the failed step, and
// then z := the lab path position of the start of the step.
void record_step_losses(TransportContext& sim, int n, int iq, double s_prev);

// Beam out of the element and exit bookkeeping: misalign_out, the exit
// statistics, and the acceptance record or the plots. Field-map elements
// (field_map) write the field extraction output in the nominal pass.
void finish_element(TransportContext& sim, double length, bool field_map);

// The exit bookkeeping alone (acceptance record, field extraction output,
// imoved, plots), for elements that took the beam out and their exit
// statistics inside the step loop.
void exit_element(TransportContext& sim, double length, bool field_map);

// A field source that memoises per step what every particle shares in the
// push in z (the Enge profile at the stage positions z, z + h/2, z + h):
// prepare_step(z, h) is called before the particles of each step.
template <class Field>
concept StepMemoField = requires(Field& f, double z, double h) { f.source.prepare_step(z, h); };

// The variants of the stepping template.
struct ElementStepping {
  bool field_map = false;  // field-map element: time mode with iflag_dudt = 1, field extraction
  // Statistics after every step whatever IGRAPH, the beam taken out of the
  // element after the particles of the last step (the uds pattern).
  bool stat_every_step = false;
  // Called before the particles of charge state iq are pushed in each step.
  std::function<void(TransportContext&, int)> before_state;
  // Called after the exit statistics, before the exit bookkeeping.
  std::function<void(TransportContext&)> after_exit_stats;
};

// Steps 1..nstep of the current element (element line n) in the field
// `field`, then the exit of the element.
template <class Field>
void step_element(TransportContext& sim, int n, const Field& field, double length,
                  const ElementStepping& how) {
  const ReferenceBlock& r = sim.ref;
  const RefPath& path = sim.ref_path;
  StepGeometry& g = sim.transport.step;
  check_added_fields(sim);
  const StepMode mode{how.field_map && sim.config.iflag_dudt == 1};
  Field f = with_added_fields(sim, field);
  // The end-of-step derivatives are kept from step to step while nothing
  // but the push changes a particle or the field between steps: push in z,
  // one field for every particle, no space-charge kick, no hook.
  const bool keep_first_stage = !mode.time_mode && !StatusDependentField<Field> &&
                                sim.current.scur < kScurMin && !how.before_state;
  TransportState& ts = sim.transport;
  if (keep_first_stage) {
    const auto states = static_cast<std::size_t>(sim.config.NQTOT) + 1;
    if (ts.first_stage_k.size() < states) {
      ts.first_stage_k.resize(states);
      ts.first_stage_valid.resize(states);
    }
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      const auto slots = static_cast<std::size_t>(last_slot(sim, iq)) + 1;
      if (ts.first_stage_k[iq].size() < 6 * slots) ts.first_stage_k[iq].resize(6 * slots);
      ts.first_stage_valid[iq].assign(slots, 0);
    }
  }
  // Nothing acts on the particles between two steps (no space charge, no
  // statistics per step, no hook): every charge state goes through all
  // steps tile by tile, and the losses are recorded afterwards in the
  // order of the steps.
  // With the plots on, the statistics of the intermediate steps are taken
  // on the way (step_sums_possible) and finished below in the order of the
  // steps.
  const bool plots = sim.config.IGRAPH == 1;
  const bool whole_element = ts.whole_element_push && keep_first_stage && !how.stat_every_step &&
                             (!plots || step_sums_possible(sim));
  if (whole_element) {
    // A field with a memo per step gets a copy per step with that step's
    // memo, prepared at the z the step-by-step loop below would give it.
    std::vector<Field> step_fields;
    if constexpr (StepMemoField<Field>) {
      step_fields.assign(static_cast<std::size_t>(r.nstep), f);
      double z_memo = 0.0;
      for (int k = 1; k <= r.nstep; ++k) {
        step_fields[static_cast<std::size_t>(k - 1)].source.prepare_step(z_memo, r.step_len);
        z_memo = z_memo + r.step_len;
      }
    }
    const Field* per_step = step_fields.empty() ? nullptr : step_fields.data();
    if (plots) prepare_step_sums(sim);
    std::array<FirstStageCache, kMaxChargeStates + 1> cache{};
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq)
      cache[iq] = {ts.first_stage_k[iq].data(), ts.first_stage_valid[iq].data()};
    push_states_steps(sim, f, 1, sim.config.NQTOT, r.step_len, r.nstep, cache.data(), per_step, plots);
    std::vector<std::size_t> next(static_cast<std::size_t>(sim.config.NQTOT) + 1, 0);
    for (int k = 1; k <= r.nstep; ++k) {
      g.zref = path(k, kRefZ);
      g.bend_invR = 0.0;
      const double s_prev = path(k - 1, kRefS);
      for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
        const std::vector<std::int64_t>& lost = ts.state_step_losses[iq];
        std::size_t& j = next[static_cast<std::size_t>(iq)];
        ts.step_losses.clear();
        for (; j < lost.size() && (lost[j] >> 32) == k; ++j)
          ts.step_losses.push_back(static_cast<std::int32_t>(lost[j] & 0xffffffff));
        record_step_losses(sim, n, iq, s_prev);
      }
      if (plots && k < r.nstep) stat_from_step_sums(sim, k);
    }
    misalign_out(sim);
    stat(sim, r.nstep);
    if (how.after_exit_stats) how.after_exit_stats(sim);
    exit_element(sim, length, how.field_map);
    return;
  }
  // Start z of the current step as the push in z accumulates it.
  double z_start = 0.0;
  for (int k = 1; k <= r.nstep; ++k) {
    g.zref = path(k, kRefZ);
    const double s_prev = path(k - 1, kRefS);
    g.bend_invR = 0.0;
    if (sim.current.scur >= kScurMin) {
      sim.hooks.space_charge(sim, k);
      sim.hooks.sc_kick(sim, r.step_len);
    }
    if constexpr (StepMemoField<Field>) {
      if (!mode.time_mode) f.source.prepare_step(z_start, r.step_len);
    }
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      if (how.before_state) how.before_state(sim, iq);
      FirstStageCache cache;
      if (keep_first_stage) cache = {ts.first_stage_k[iq].data(), ts.first_stage_valid[iq].data()};
      push_charge_state(sim, f, iq, r.step_len, mode, cache);
      record_step_losses(sim, n, iq, s_prev);
    }
    z_start = z_start + r.step_len;
    if (how.stat_every_step) {
      if (k == r.nstep) misalign_out(sim);
      stat(sim, k);
    } else if (k < r.nstep && sim.config.IGRAPH == 1) {
      stat(sim, k);
    }
  }
  if (!how.stat_every_step) {
    misalign_out(sim);
    stat(sim, r.nstep);
  }
  if (how.after_exit_stats) how.after_exit_stats(sim);
  exit_element(sim, length, how.field_map);
}

template <class Field>
void step_element(TransportContext& sim, int n, const Field& field, double length, bool field_map) {
  ElementStepping how;
  how.field_map = field_map;
  step_element(sim, n, field, length, how);
}

}  // namespace linac
